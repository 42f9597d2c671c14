// Showing a trace, as text or JSON, and the first call where two traces part.
#include "trace/trace_tools.h"

#include "report/json.h"
#include "report/text.h"

#include <nlohmann/json.hpp>

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
    return "trace of " + h.component + " (" + std::to_string(h.componentSize) + " bytes of " +
           utc(h.componentTime) + "), " +
           (h.tapVersion ? "tap version " + std::to_string(h.tapVersion) : "written by the bench") +
           ", process " + std::to_string(h.pid) + ", started " + utc(h.startedUs / 1000000);
}

void showText(const Trace& t, std::ostream& out) {
    out << headerLine(t.header) << "\n";
    for (const Call& c : t.calls) {
        // The arrows of run's transcript: => into the component, <= out of it.
        const bool aside = c.kind == Call::Kind::Debug || c.kind == Call::Kind::Fault ||
                           c.kind == Call::Kind::Limit;
        const char* arrow = aside ? "!! " : c.toHost ? "<= " : "=> ";
        out << seconds(c.time) << " t" << c.thread << " " << std::string(size_t(c.depth) * 2, ' ')
            << arrow << c.describe() << outcome(c) << "\n";
    }
    if (t.limited)
        out << "(the trace stops here: its size limit was reached)\n";
}

void showJson(const Trace& t, std::ostream& out) {
    const Header& h = t.header;
    out << nlohmann::json{{"component", utf8(h.component)},
                          {"componentSize", h.componentSize},
                          {"componentTime", h.componentTime},
                          {"tapVersion", h.tapVersion},
                          {"pid", h.pid},
                          {"startedUs", h.startedUs},
                          {"limited", t.limited}}
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

std::string firstDifference(const Trace& a, const Trace& b) {
    const auto line = [](const Call& c) {
        return std::string(size_t(c.depth) * 2, ' ') + c.describe() + outcome(c);
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
