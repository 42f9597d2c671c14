// The JUnit writer and the cases it is given.
#include "report/junit.h"

#include "report/json.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace zeph::bench {

JUnitCase junitCase(const std::string& file, const ScenarioOutcome& outcome) {
    JUnitCase c{file, "zeph-host.run", outcome.seconds, outcome.result.failures, false, "", false};
    if (outcome.crash && !c.failures.empty()) {
        // The crash (the last failure) heads the entry: its message is what a report shows first.
        std::rotate(c.failures.begin(), c.failures.end() - 1, c.failures.end());
        c.error = true;
    }
    return c;
}

JUnitCase junitCase(const CheckResult& r) {
    JUnitCase c{r.name, "zeph-host.validate", r.seconds, {}, false, "", false};
    if (r.status == CheckResult::Status::Skipped) {
        c.skipped = true;
        for (const std::string& m : r.messages)
            c.output += m + "\n";
    } else if (r.status != CheckResult::Status::Passed) {
        c.failures = r.messages;
        c.failures.insert(c.failures.begin(), std::string(statusName(r.status)));
        c.error = r.status == CheckResult::Status::Crashed;
    } else {
        for (const std::string& m : r.messages)
            c.output += m + "\n";
    }
    return c;
}

std::string xmlEscape(const std::string& text) {
    std::string out;
    for (char c : utf8(text)) {
        switch (c) {
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '&':
            out += "&amp;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            // XML 1.0 allows no control characters but tab and line ends.
            if (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t' && c != '\r')
                out += '?';
            else
                out += c;
        }
    }
    return out;
}

bool writeJUnit(const std::string& path, const std::string& suite,
                const std::vector<JUnitCase>& cases) {
    size_t failures = 0, errors = 0, skipped = 0;
    double total = 0;
    for (const JUnitCase& c : cases) {
        total += c.seconds;
        if (c.skipped)
            ++skipped;
        else if (c.error)
            ++errors;
        else if (!c.failures.empty())
            ++failures;
    }
    std::ostringstream x;
    x << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    x << "<testsuites>\n<testsuite name=\"" << xmlEscape(suite) << "\" tests=\"" << cases.size()
      << "\" failures=\"" << failures << "\" errors=\"" << errors << "\" skipped=\"" << skipped
      << "\" time=\"" << total << "\">\n";
    for (const JUnitCase& c : cases) {
        x << "  <testcase name=\"" << xmlEscape(c.name) << "\" classname=\""
          << xmlEscape(c.className) << "\" time=\"" << c.seconds << "\">\n";
        if (c.skipped)
            x << "    <skipped message=\"" << xmlEscape(c.output) << "\"/>\n";
        if (!c.failures.empty()) {
            std::string all;
            for (const std::string& f : c.failures)
                all += f + "\n";
            const char* tag = c.error ? "error" : "failure";
            x << "    <" << tag << " message=\"" << xmlEscape(c.failures.front()) << "\">"
              << xmlEscape(all) << "</" << tag << ">\n";
        }
        if (!c.output.empty())
            x << "    <system-out>" << xmlEscape(c.output) << "</system-out>\n";
        x << "  </testcase>\n";
    }
    x << "</testsuite>\n</testsuites>\n";
    std::ofstream out(path, std::ios::binary);
    if (!out)
        return false;
    out << x.str();
    return static_cast<bool>(out);
}

} // namespace zeph::bench
