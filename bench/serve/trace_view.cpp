// The trace view: the panel told from the trace's traffic, a window of its calls, and its scenario.
#include "serve/trace_view.h"

#include "facility/text.h"
#include "recording_host.h"
#include "report/json.h"
#include "trace/trace_tools.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <optional>

namespace zeph::bench {

namespace {

using nlohmann::json;
using trace::Call;
using Change = TraceView::Change;

// A checkpoint is kept at least this many changes apart, and never closer than the panels' size,
// so that the copies together stay within a small multiple of the changes themselves.
constexpr size_t kCheckpointEvery = 1024;
// The calls the page may ask for on each side of the moment.
constexpr long long kMaxAround = 200;

std::string dump(const json& j) {
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

ActionReply refuse(int status, const std::string& why) {
    return {status, errorJson(why)};
}

// What one command's text and the host's reply say of the panel.
void commandChanges(size_t i, const Call& c, std::vector<Change>& out) {
    const std::string cmd = c.describe();
    const std::string mn = host::mnemonic(cmd);
    const std::vector<std::string> f = commandFields(cmd);
    if (mn == "TP" && f.size() >= 3) {
        // As the facility reads it: "name=value", or a bare name set empty.
        const size_t eq = f[0].find('=');
        out.push_back({i, f[1], f[2], f[0].substr(0, eq),
                       eq == std::string::npos ? "" : f[0].substr(eq + 1), true, false});
    } else if (mn == "TG" && f.size() >= 3 && c.result &&
               c.result->compare(0, f[2].size() + 1, f[2] + "=") == 0) {
        out.push_back({i, f[0], f[1], f[2], c.result->substr(f[2].size() + 1), true, false});
    } else if (mn == "XI" && !f.empty() && c.result) {
        for (size_t start = 0; start <= c.result->size();) {
            const size_t comma = std::min(c.result->find(',', start), c.result->size());
            if (comma > start)
                out.push_back(
                    {i, f[0], c.result->substr(start, comma - start), "", "", false, false});
            start = comma + 1;
        }
    }
}

std::vector<Change> changesOf(const trace::Trace& t) {
    std::vector<Change> out;
    for (size_t i = 0; i < t.calls.size(); ++i) {
        const Call& c = t.calls[i];
        if (c.kind == Call::Kind::Command) {
            commandChanges(i, c, out);
        } else if (c.kind == Call::Kind::Notification && c.type == 2 &&
                   c.message->u.call.data.kind == ZB_DATA_BUTTON) {
            const zb_button_data& b = c.message->u.call.data.button;
            out.push_back({i, trace::text(b.panel), trace::text(b.control), "", "", false, true});
        }
    }
    return out;
}

void apply(TracePanels& s, const Change& c) {
    const auto key = std::make_pair(c.panel, c.control);
    std::vector<TraceControl>& controls = s.panels[c.panel];
    auto at = s.index.find(key);
    if (at == s.index.end()) {
        at = s.index.emplace(key, controls.size()).first;
        controls.push_back(TraceControl{c.control, false, {}});
        ++s.controls;
    }
    TraceControl& control = controls[at->second];
    control.pressed = control.pressed || c.press;
    if (c.set)
        control.properties[c.property] = c.value;
}

// The download's name: the trace file's own, its characters kept to a safe few.
std::string scenarioNameFor(const std::string& file) {
    std::string stem = std::filesystem::path(file).stem().string();
    for (char& ch : stem)
        if (!std::isalnum(static_cast<unsigned char>(ch)) && ch != '.' && ch != '-' && ch != '_')
            ch = '_';
    return (stem.empty() || stem[0] == '.' ? "trace" + stem : stem) + ".zs";
}

json panelsJson(const TracePanels& s) {
    json panels = json::array();
    for (const auto& [id, controls] : s.panels) {
        json list = json::array();
        for (const TraceControl& c : controls) {
            json properties = json::object();
            for (const auto& [name, value] : c.properties)
                properties[utf8(name)] = utf8(value);
            list.push_back({{"panel", utf8(id)},
                            {"id", utf8(c.id)},
                            {"kind", c.pressed ? "button" : ""},
                            {"properties", properties}});
        }
        panels.push_back({{"id", utf8(id)}, {"controls", list}});
    }
    return panels;
}

json callJson(const trace::Trace& t, size_t i) {
    const Call& c = t.calls[i];
    return {{"index", i},
            {"us", c.time},
            {"thread", c.thread},
            {"depth", c.depth},
            {"kind", trace::kindName(c.kind)},
            {"toHost", c.toHost},
            {"what", utf8(c.describe())},
            {"outcome", utf8(trace::outcome(c))}};
}

// A moment a step of the session starts at: a call into the component, not one made inside another.
bool startsStep(const Call& c) {
    return c.depth == 0 && !c.toHost &&
           (c.kind == Call::Kind::Notification || c.kind == Call::Kind::Create ||
            c.kind == Call::Kind::Destroy);
}

std::optional<long long> number(const std::map<std::string, std::string>& query,
                                const std::string& name, long long otherwise) {
    auto it = query.find(name);
    return it == query.end() ? std::optional<long long>(otherwise) : toNumber(it->second);
}

} // namespace

TraceView::TraceView(trace::Trace t, const std::string& file)
    : m_trace(std::move(t)), m_scenarioName(scenarioNameFor(file)) {
    m_scenario = trace::toScenario(m_trace, m_notes);
    m_changes = changesOf(m_trace);
    TracePanels s;
    size_t last = 0;
    for (size_t k = 0; k < m_changes.size(); ++k) {
        apply(s, m_changes[k]);
        if (k + 1 - last >= std::max(kCheckpointEvery, s.controls)) {
            last = k + 1;
            m_checkpoints.push_back({last, s});
        }
    }
}

const std::string& TraceView::page() const {
    return traceViewPage();
}

TracePanels TraceView::panelsAfter(size_t call) const {
    const size_t n =
        size_t(std::upper_bound(m_changes.begin(), m_changes.end(), call,
                                [](size_t at, const Change& c) { return at < c.call; }) -
               m_changes.begin());
    auto cp = std::upper_bound(m_checkpoints.begin(), m_checkpoints.end(), n,
                               [](size_t at, const Checkpoint& c) { return at < c.changes; });
    TracePanels s;
    size_t from = 0;
    if (cp != m_checkpoints.begin()) {
        s = std::prev(cp)->panels;
        from = std::prev(cp)->changes;
    }
    for (size_t k = from; k < n; ++k)
        apply(s, m_changes[k]);
    return s;
}

ActionReply TraceView::read(const std::string& name,
                            const std::map<std::string, std::string>& query) const {
    if (name == "at")
        return at(query);
    if (name != "summary")
        return refuse(404, "nothing is served here");
    json notes = json::array();
    for (const std::string& n : m_notes)
        notes.push_back(utf8(n));
    return {200, dump({{"title", utf8(trace::headerLine(m_trace.header))},
                       {"component", utf8(m_trace.header.component)},
                       {"calls", m_trace.calls.size()},
                       {"limited", m_trace.limited},
                       {"notes", notes},
                       {"scenario", m_scenarioName}})};
}

ActionReply TraceView::at(const std::map<std::string, std::string>& query) const {
    const std::vector<Call>& calls = m_trace.calls;
    if (calls.empty())
        return refuse(404, "the trace holds no call");
    const long long last = static_cast<long long>(calls.size()) - 1;
    const std::optional<long long> call = number(query, "call", -1);
    if (!call || *call < 0 || *call > last)
        return refuse(400, "call: a number from 0 to " + std::to_string(last));
    const std::optional<long long> around = number(query, "around", 12);
    if (!around || *around < 0 || *around > kMaxAround)
        return refuse(400, "around: a number from 0 to " + std::to_string(kMaxAround));
    auto seek = query.find("seek");
    size_t now = size_t(*call);
    if (seek != query.end() && seek->second == "next") {
        for (size_t i = now + 1; i < calls.size(); ++i)
            if (startsStep(calls[i])) {
                now = i;
                break;
            }
    } else if (seek != query.end() && seek->second == "previous") {
        for (size_t i = now; i-- > 0;)
            if (startsStep(calls[i])) {
                now = i;
                break;
            }
    } else if (seek != query.end()) {
        return refuse(400, "seek: next or previous");
    }
    json timeline = json::array();
    const size_t from = now > size_t(*around) ? now - size_t(*around) : 0;
    for (size_t i = from; i < calls.size() && i <= now + size_t(*around); ++i)
        timeline.push_back(callJson(m_trace, i));
    return {200, dump({{"call", now},
                       {"calls", calls.size()},
                       {"us", calls[now].time},
                       {"panels", panelsJson(panelsAfter(now))},
                       {"timeline", timeline}})};
}

} // namespace zeph::bench
