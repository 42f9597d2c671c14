// JSON writers over the events of a run and the figures of a soak.
#include "report/json.h"

#include <nlohmann/json.hpp>

#include <cstdio>

namespace zeph::bench {

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

std::string eventJson(const Event& e) {
    nlohmann::json j;
    j["time"] = e.time;
    j["event"] = kindName(e.kind);
    j["component"] = e.component;
    if (!e.instance.empty())
        j["instance"] = utf8(e.instance);
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
                        const std::vector<std::string>& failures, const ScenarioCrash* crash) {
    nlohmann::json j;
    j["event"] = "summary";
    j["file"] = utf8(file);
    j["expectations"] = expectations;
    j["passed"] = failures.empty();
    j["failures"] = nlohmann::json::array();
    for (const std::string& f : failures)
        j["failures"].push_back(utf8(f));
    if (crash)
        j["crash"] = {{"step", utf8(crash->step)},
                      {"line", crash->line},
                      {"signal", crash->signal},
                      {"why", crash->why}};
    return j.dump();
}

void JsonTranscript::operator()(const Event& e) {
    m_out << eventJson(e) << "\n";
}

std::string soakJson(const SoakResult& r) {
    // Fixed formats, so that figures from different runs line up for a script comparing them.
    // A soak of facilities says how many; one of components alone has no such field.
    char facilities[32] = "";
    if (r.facilities)
        std::snprintf(facilities, sizeof facilities, "\"facilities\":%d,", r.facilities);
    char line[512];
    std::snprintf(
        line, sizeof line,
        "{\"components\":%d,%s\"notifications_sent\":%lld,\"notifications_delivered\":%zu,"
        "\"commands\":%zu,\"seconds\":%.6f,\"notifications_per_second\":%.0f,"
        "\"heap_bytes_per_component\":%.0f,\"bench_heap_bytes_per_component\":%.0f,"
        "\"rss_bytes_per_component\":%.0f,\"host_errors\":%zu}",
        r.components, facilities, r.sent, r.delivered, r.commands, r.seconds, r.perSecond,
        r.heapPerComponent, r.benchHeapPerComponent, r.rssPerComponent, r.breaches);
    return line;
}

} // namespace zeph::bench
