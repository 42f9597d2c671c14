// Showing a trace, as text or JSON, and the first call where two traces part.
#include "trace/trace_tools.h"

#include "report/json.h"
#include "report/text.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace zeph::bench::trace {

namespace {
std::string utc(uint64_t seconds) {
    char when[32] = "?";
    const std::time_t t = std::time_t(seconds);
    std::tm tm{};
    if (gmtime_r(&t, &tm))
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return when;
}

std::string seconds(uint64_t us) {
    char t[32];
    std::snprintf(t, sizeof t, "%10.6f", double(us) / 1e6);
    return t;
}
} // namespace

const char* kindName(Call::Kind k) {
    switch (k) {
    case Call::Kind::Create:
        return "create";
    case Call::Kind::Notification:
        return "notification";
    case Call::Kind::Command:
        return "command";
    case Call::Kind::Release:
        return "release";
    case Call::Kind::Destroy:
        return "destroy";
    case Call::Kind::Debug:
        return "debug";
    case Call::Kind::Fault:
        return "fault";
    case Call::Kind::Limit:
        return "limit";
    }
    return "?";
}

// What came back, in words: a created component, a reply, an answer; nothing for the rest.
std::string outcome(const Call& c) {
    if (!c.returned)
        return c.kind == Call::Kind::Debug || c.kind == Call::Kind::Fault ||
                       c.kind == Call::Kind::Limit
                   ? ""
                   : " (never returned)";
    if (c.kind == Call::Kind::Create)
        return c.value ? "" : " -> null (no component)";
    if (c.result)
        return " -> \"" + printable(*c.result) + "\"";
    return c.kind == Call::Kind::Command || (c.kind == Call::Kind::Notification && c.type == 3)
               ? " -> null"
               : "";
}

std::string headerLine(const Header& h) {
    std::string created;
    if (h.processUs) { // to the µs: what tells apart processes given one pid in one second
        char us[8];
        std::snprintf(us, sizeof us, ".%06u", unsigned(h.processUs % 1000000));
        created = utc(h.processUs / 1000000);
        created = " created " + created.insert(std::min(created.size(), size_t(19)), us);
    }
    return "trace of " + h.component + " (" + std::to_string(h.componentSize) + " bytes of " +
           utc(h.componentTime) + "), " +
           (h.tapVersion ? "tap version " + std::to_string(h.tapVersion) : "written by the bench") +
           ", process " + std::to_string(h.pid) + created + ", started " +
           utc(h.startedUs / 1000000);
}

std::vector<std::string> readingNotes(const Trace& t) {
    if (!t.cutAt)
        return {};
    return {"the trace is cut short at byte " + std::to_string(*t.cutAt) +
            ": its last record was written in part (a full disk, or the host stopped while "
            "writing); what precedes it is read"};
}

std::string indent(int depth) {
    if (depth <= kIndentLevels)
        return std::string(size_t(depth > 0 ? depth : 0) * 2, ' ');
    return std::string(size_t(kIndentLevels) * 2, ' ') + "[depth " + std::to_string(depth) + "] ";
}

std::string toScenarioNoted(const Trace& t, std::vector<std::string>& notes) {
    std::string scenario = toScenario(t, notes);
    for (const std::string& n : readingNotes(t)) {
        notes.push_back(n);
        scenario += "# NOTE " + n + "\n";
    }
    return scenario;
}

void showText(const Trace& t, std::ostream& out) {
    out << headerLine(t.header) << "\n";
    for (const Call& c : t.calls) {
        // The arrows of run's transcript: => into the component, <= out of it.
        const bool aside = c.kind == Call::Kind::Debug || c.kind == Call::Kind::Fault ||
                           c.kind == Call::Kind::Limit;
        const char* arrow = aside ? "!! " : c.toHost ? "<= " : "=> ";
        // Several instances: each call says whose it is, as a scenario addresses them.
        const std::string whose =
            t.instances > 1 && c.instance ? "@i" + std::to_string(c.instance) + " " : "";
        out << seconds(c.time) << " t" << c.thread << " " << whose << indent(c.depth) << arrow
            << c.describe() << outcome(c) << "\n";
    }
    if (t.limited)
        out << "(the trace stops here: its size limit was reached)\n";
    for (const std::string& n : readingNotes(t))
        out << "NOTE: " << n << "\n";
}

void showJson(const Trace& t, std::ostream& out) {
    const Header& h = t.header;
    out << nlohmann::json{{"component", utf8(h.component)},
                          {"componentSize", h.componentSize},
                          {"componentTime", h.componentTime},
                          {"tapVersion", h.tapVersion},
                          {"pid", h.pid},
                          {"startedUs", h.startedUs},
                          {"processUs", h.processUs},
                          {"limited", t.limited},
                          {"cutAt", t.cutAt ? nlohmann::json(*t.cutAt) : nlohmann::json()}}
               .dump()
        << "\n";
    for (const Call& c : t.calls) {
        nlohmann::json j{{"us", c.time},          {"thread", c.thread},
                         {"depth", c.depth},      {"kind", kindName(c.kind)},
                         {"type", c.type},        {"what", utf8(c.describe())},
                         {"returned", c.returned}};
        if (c.result)
            j["result"] = utf8(*c.result);
        out << j.dump() << "\n";
    }
}

std::string firstDifference(const Trace& a, const Trace& b, bool replies) {
    const auto line = [replies](const Call& c) {
        const bool hosts = c.kind == Call::Kind::Command && c.returned && !replies;
        return indent(c.depth) + c.describe() + (hosts ? "" : outcome(c));
    };
    const size_t n = std::min(a.calls.size(), b.calls.size());
    for (size_t i = 0; i < n; ++i) {
        const Call& x = a.calls[i];
        const Call& y = b.calls[i];
        if (x.kind == y.kind && x.depth == y.depth && line(x) == line(y))
            continue;
        return "call " + std::to_string(i + 1) + " differs:\n  A at" + seconds(x.time) +
               " s: " + line(x) + "\n  B at" + seconds(y.time) + " s: " + line(y) + "\n";
    }
    if (a.calls.size() == b.calls.size())
        return {};
    const bool aLonger = a.calls.size() > b.calls.size();
    const Call& more = aLonger ? a.calls[n] : b.calls[n];
    return std::string(aLonger ? "B" : "A") + " ends after " + std::to_string(n) + " calls; " +
           (aLonger ? "A" : "B") + " goes on with:\n  " + line(more) + "\n";
}

} // namespace zeph::bench::trace
