// Transcript, JSON-lines and JUnit writers over the events of a run.
#include "report/transcript.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace zeph::bench {

namespace {
std::string printable(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += "\\n";
        else if (static_cast<unsigned char>(c) < 0x20)
            out += '?';
        else
            out += c;
    }
    return out;
}

// Texts from a component may hold any bytes; JSON needs valid UTF-8.
std::string utf8(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}
} // namespace

TextTranscript::TextTranscript(std::ostream& out, bool colour, bool showExpectations)
    : m_out(out), m_colour(colour), m_showExpectations(showExpectations) {}

std::string TextTranscript::paint(const char* code, const std::string& text) const {
    if (!m_colour)
        return text;
    return std::string("\x1b[") + code + "m" + text + "\x1b[0m";
}

void TextTranscript::operator()(const Event& e) {
    char time[32];
    std::snprintf(time, sizeof time, "%8lld ms  ", static_cast<long long>(e.time));
    const std::string blank(12, ' ');
    const std::string who = e.component ? "[" + std::to_string(e.component) + "] " : "";
    switch (e.kind) {
    case Event::Kind::Step:
        m_out << paint("2", time) << paint("1", who + e.text)
              << paint("2", "   (line " + std::to_string(e.line) + ")") << "\n";
        break;
    case Event::Kind::Notify:
        m_out << paint("2", time) << paint("36", who + "=> " + printable(e.text)) << "\n";
        break;
    case Event::Kind::Command: {
        std::string line = blank + who + "<= " + printable(e.text);
        if (isQuery(e.text) || mnemonic(e.text) == "PS")
            line += e.reply ? "   -> \"" + printable(*e.reply) + "\"" : "   -> (no reply)";
        m_out << line << "\n";
        break;
    }
    case Event::Kind::Answer:
        m_out << blank << who
              << paint("35", "answer " + (e.reply ? "\"" + printable(*e.reply) + "\"" : "(null)"))
              << "\n";
        break;
    case Event::Kind::Parent:
        break;
    case Event::Kind::Note:
        m_out << blank << who << paint("2", "- " + e.text) << "\n";
        break;
    case Event::Kind::HostError:
        m_out << blank << who << paint("31;1", "! " + printable(e.text)) << "\n";
        break;
    case Event::Kind::Expect:
        if (m_showExpectations)
            m_out << blank << paint("32", "ok " + e.text) << "\n";
        break;
    case Event::Kind::Debug:
        m_out << blank << who << paint("33", "stderr: " + printable(e.text)) << "\n";
        break;
    case Event::Kind::Failure:
        m_out << blank
              << paint("31;1", "FAIL " + e.file + ":" + std::to_string(e.line) + ": " + e.text)
              << "\n";
        break;
    }
}

std::string eventJson(const Event& e) {
    nlohmann::json j;
    j["time"] = e.time;
    j["event"] = kindName(e.kind);
    j["component"] = e.component;
    j["text"] = utf8(e.text);
    if (e.kind == Event::Kind::Command || e.kind == Event::Kind::Answer)
        j["reply"] = e.reply ? nlohmann::json(utf8(*e.reply)) : nlohmann::json(nullptr);
    if (!e.file.empty()) {
        j["file"] = utf8(e.file);
        j["line"] = e.line;
    }
    return j.dump();
}

std::string summaryJson(const std::string& file, int expectations,
                        const std::vector<std::string>& failures) {
    nlohmann::json j;
    j["event"] = "summary";
    j["file"] = utf8(file);
    j["expectations"] = expectations;
    j["passed"] = failures.empty();
    j["failures"] = nlohmann::json::array();
    for (const std::string& f : failures)
        j["failures"].push_back(utf8(f));
    return j.dump();
}

void JsonTranscript::operator()(const Event& e) {
    m_out << eventJson(e) << "\n";
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
