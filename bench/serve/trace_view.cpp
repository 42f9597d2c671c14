// The trace view: the facility's panel as the trace's play left it at each call, a window of the
// trace's calls, and the play's scenario.
#include "serve/trace_view.h"

#include "facility/text.h"
#include "report/json.h"
#include "scenario/runner.h"
#include "serve/facility_json.h"
#include "serve/trace_view_text.h"
#include "trace/trace_tools.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <unistd.h>

namespace zeph::bench {

namespace {

using nlohmann::json;
using trace::Call;

// The calls the page may ask for on each side of the moment.
constexpr long long kMaxAround = 200;
using trace_view::cut;
using trace_view::dump;
using trace_view::kMaxText;

// The panel's controls in one answer stop once their texts come to this much.
constexpr size_t kPanelBudget = 2u << 20;

ActionReply refuse(int status, const std::string& why) {
    return {status, errorJson(why)};
}

json callJson(const Call& c, size_t i) {
    return {{"index", i},
            {"us", c.time},
            {"thread", c.thread},
            {"depth", c.depth},
            {"kind", trace::kindName(c.kind)},
            {"toHost", c.toHost},
            {"what", utf8(cut(c.describe()))},
            {"outcome", utf8(cut(trace::outcome(c)))}};
}

// A moment a step of the session starts at: a call into the component, not one made inside another.
bool startsStep(const trace::Calls& calls, size_t i) {
    const Call::Kind k = calls.kind(i);
    return calls.depth(i) == 0 && !calls.toHost(i) &&
           (k == Call::Kind::Notification || k == Call::Kind::Create || k == Call::Kind::Destroy);
}

std::optional<long long> number(const std::map<std::string, std::string>& query,
                                const std::string& name, long long otherwise) {
    auto it = query.find(name);
    return it == query.end() ? std::optional<long long>(otherwise) : toNumber(it->second);
}

// The text kept at or before the call in a history of (call, text), sorted by call.
const std::string* lastBy(const std::vector<std::pair<uint32_t, std::string>>& history,
                          size_t call) {
    auto after = std::upper_bound(history.begin(), history.end(), call,
                                  [](size_t at, const auto& h) { return at < h.first; });
    return after == history.begin() ? nullptr : &std::prev(after)->second;
}

// How far the play is, for a moment not yet played.
json playing(size_t played, size_t total) {
    return {{"done", played}, {"total", total}};
}

} // namespace

const std::string& TraceView::page() const {
    return traceViewPage();
}

void TraceView::waitPlayed() const {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_ended.wait(lock, [&] { return m_over; });
}

std::string TraceView::scenario() const {
    std::string out;
    writeScenario([&](const std::string& piece) {
        out += piece;
        return true;
    });
    return out;
}

bool TraceView::writeScenario(const std::function<bool(const std::string&)>& write) const {
    waitPlayed();
    if (!m_spill) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return write(m_scenario);
    }
    if (m_spillFailed) // a full disk: say so rather than hand over part of the scenario as whole
        return write("# NOTE the scenario could not be kept: its file could not be written\n");
    // Read at an offset of each download's own: downloads at once do not move each other.
    std::string piece(size_t(64) << 10, '\0');
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(fileno(m_spill), piece.data(), piece.size(), at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0;
        at += n;
        if (!write(piece.substr(0, size_t(n))))
            return false;
    }
}

size_t TraceView::settings() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_settings;
}

// Only what the view keeps, each property as the last setting at or before the call said, long
// values cut, and no more controls once their texts come to the budget.
std::optional<TracePanels> TraceView::panelsAfter(size_t call) const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (call >= m_played && !m_over)
        return std::nullopt;
    TracePanels s;
    s.more = call >= m_moreAt;
    std::map<uint32_t, size_t> panels; // panel's name -> its place in s.panels, filled below
    std::map<std::string_view, std::vector<Facility::ControlView>> byPanel;
    size_t spent = 0;
    for (const Control& c : m_controls) {
        if (c.since > call)
            break; // the controls are kept in the order they came
        if (spent > kPanelBudget) {
            s.more = true;
            break;
        }
        Facility::ControlView out{m_names[c.name], {}, {}};
        for (const auto& [at, kind] : c.kinds)
            if (at <= call)
                out.kind = m_names[kind];
        spent += m_names[c.panel].size() + out.id.size() + 64;
        for (const auto& [name, history] : c.properties) {
            auto last = std::upper_bound(history.begin(), history.end(), call,
                                         [](size_t at, const Setting& v) { return at < v.call; });
            if (last == history.begin())
                continue;
            const Setting& v = *std::prev(last);
            const size_t size = std::min<size_t>(v.size, kMaxText);
            out.properties[m_names[name]] =
                m_values[v.block].substr(v.at, size) + (size < v.size ? "..." : "");
            spent += m_names[name].size() + size + 8;
        }
        byPanel[m_names[c.panel]].push_back(std::move(out));
    }
    for (auto& [id, controls] : byPanel)
        s.panels.push_back(Facility::PanelView{std::string(id), std::move(controls)});
    return s;
}

ActionReply TraceView::read(const std::string& name,
                            const std::map<std::string, std::string>& query) const {
    if (name == "at")
        return at(query);
    if (name == "notes")
        return notes();
    if (name != "summary")
        return refuse(404, "nothing is served here");
    return {200, dump({{"title", utf8(cut(trace::headerLine(m_trace.header)))},
                       {"component", utf8(cut(m_trace.header.component))},
                       {"calls", m_trace.calls.size()},
                       {"played", m_played.load()},
                       {"limited", m_trace.limited},
                       {"cutAt", m_trace.cutAt ? json(*m_trace.cutAt) : json()},
                       {"scenario", m_scenarioName}})};
}

// The conversion's notes once the play is over; till then how far it is.
ActionReply TraceView::notes() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_over)
        return {200, dump({{"playing", playing(m_played, m_trace.calls.size())}})};
    return {200, m_notes};
}

ActionReply TraceView::at(const std::map<std::string, std::string>& query) const {
    const trace::Calls& calls = m_trace.calls;
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
            if (startsStep(calls, i)) {
                now = i;
                break;
            }
    } else if (seek != query.end() && seek->second == "previous") {
        for (size_t i = now; i-- > 0;)
            if (startsStep(calls, i)) {
                now = i;
                break;
            }
    } else if (seek != query.end()) {
        return refuse(400, "seek: next or previous");
    }
    json timeline = json::array();
    const size_t from = now > size_t(*around) ? now - size_t(*around) : 0;
    for (size_t i = from; i < calls.size() && i <= now + size_t(*around); ++i)
        timeline.push_back(callJson(calls[i], i));
    json answer = {{"call", now},          {"calls", calls.size()}, {"us", calls.time(now)},
                   {"timeline", timeline}, {"more", false},         {"panels", nullptr},
                   {"routers", nullptr},   {"whose", nullptr},      {"playing", nullptr}};
    const std::optional<TracePanels> panels = panelsAfter(now);
    if (!panels) {
        answer["playing"] = playing(m_played, calls.size());
        return {200, dump(answer)};
    }
    answer["more"] = panels->more;
    answer["panels"] = json::array();
    for (const Facility::PanelView& p : panels->panels)
        answer["panels"].push_back(panelJson(p));
    const std::lock_guard<std::mutex> lock(m_mutex);
    const std::string* routers = lastBy(m_routers, now);
    const std::string* whose = lastBy(m_instances, now);
    answer["routers"] = routers ? json::parse(*routers) : json::array();
    answer["whose"] = whose ? json::parse(*whose) : json::array();
    return {200, dump(answer)};
}

} // namespace zeph::bench
