// The readable transcript, one line per event.
#include "report/text.h"

#include "recording_host.h"

#include <cstdio>

namespace zeph::bench {

std::string Painter::operator()(const char* code, const std::string& text) const {
    if (!m_on)
        return text;
    return std::string("\x1b[") + code + "m" + text + "\x1b[0m";
}

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

TextTranscript::TextTranscript(std::ostream& out, bool colour, bool showExpectations)
    : m_out(out), m_paint(colour), m_showExpectations(showExpectations) {}

void TextTranscript::operator()(const Event& e) {
    char time[32];
    std::snprintf(time, sizeof time, "%8lld ms  ", static_cast<long long>(e.time));
    const std::string blank(12, ' ');
    // A named instance is called by its name; otherwise a component past the first by its number.
    const std::string who = !e.instance.empty() ? "[" + e.instance + "] "
                            : e.component       ? "[" + std::to_string(e.component) + "] "
                                                : "";
    const Painter& paint = m_paint;
    switch (e.kind) {
    case Event::Kind::Step:
        // A step addressed to an instance names it already ("@mon2 press 1 Tarnel").
        m_out << paint("2", time) << paint("1", (e.instance.empty() ? who : "") + e.text)
              << paint("2", "   (line " + std::to_string(e.line) + ")") << "\n";
        break;
    case Event::Kind::Notify:
        m_out << paint("2", time) << paint("36", who + "=> " + printable(e.text)) << "\n";
        break;
    case Event::Kind::Command: {
        std::string line = blank + who + "<= " + printable(e.text);
        if (host::isAnswered(e.text))
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
            m_out << blank << (e.text.compare(0, 1, "@") == 0 ? "" : who)
                  << paint("32", "ok " + e.text) << "\n";
        break;
    case Event::Kind::Debug:
        m_out << blank << who << paint("33", "stderr: " + printable(e.text)) << "\n";
        break;
    case Event::Kind::Warning:
        m_out << blank
              << paint("33;1", "WARN " + e.file + ":" + std::to_string(e.line) + ": " + e.text)
              << "\n";
        break;
    case Event::Kind::Failure:
        m_out << blank
              << paint("31;1", "FAIL " + e.file + ":" + std::to_string(e.line) + ": " + e.text)
              << "\n";
        break;
    }
}

void printSoak(std::ostream& out, const std::string& module, const SoakResult& r) {
    const auto count = [](long long n, const char* one, const char* many) {
        return std::to_string(n) + " " + (n == 1 ? one : many);
    };
    const std::string facilities =
        r.facilities ? " in " + count(r.facilities, "facility", "facilities") : std::string();
    const std::string components = count(r.components, "component", "components");
    char text[1024];
    std::snprintf(
        text, sizeof text,
        ": %s%s, %lld notifications sent\n"
        "  delivered      %zu notifications (facility-caused included), %zu commands\n"
        "  time           %.3f s\n"
        "  throughput     %.0f notifications/s\n"
        "  memory         %.0f heap bytes per component (configured), plus %.0f for its bench "
        "endpoint and facility\n"
        "  resident       %.0f bytes per component, the bench's part included\n"
        "  host errors    %zu\n",
        components.c_str(), facilities.c_str(), r.sent, r.delivered, r.commands, r.seconds,
        r.perSecond, r.heapPerComponent, r.benchHeapPerComponent, r.rssPerComponent, r.breaches);
    out << "soak " << module << text;
}

} // namespace zeph::bench
