// The trace view: the facility's panel as the trace's play left it at each call, a window of the
// trace's calls, and the play's scenario.
#include "serve/trace_view.h"

#include "facility/text.h"
#include "report/json.h"
#include "scenario/runner.h"
#include "serve/facility_json.h"
#include "trace/trace_tools.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <optional>
#include <unistd.h>

namespace zeph::bench {

namespace {

using nlohmann::json;
using trace::Call;

// The calls the page may ask for on each side of the moment.
constexpr long long kMaxAround = 200;
// A text in an answer is cut here: a command or a reply may be 64 KiB, and a window holds hundreds.
constexpr size_t kMaxText = 4096;
// The panel's controls in one answer stop once their texts come to this much.
constexpr size_t kPanelBudget = 2u << 20;
// The conversion's notes in one answer: the first of them, and how many there are.
constexpr size_t kMaxNotes = 200;
// Values are kept in blocks of at least this size, so that none is ever moved or doubled.
constexpr size_t kValueBlock = 1u << 20;
// The routers' states kept, in all: a trace that routes without end keeps its first ones.
constexpr size_t kRouterBudget = 32u << 20;

std::string dump(const json& j) {
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

ActionReply refuse(int status, const std::string& why) {
    return {status, errorJson(why)};
}

std::string cut(const std::string& text) {
    return text.size() <= kMaxText ? text : text.substr(0, kMaxText) + "...";
}

// The download's name: the trace file's own, its characters kept to a safe few.
std::string scenarioNameFor(const std::string& file) {
    std::string stem = std::filesystem::path(file).stem().string();
    for (char& ch : stem)
        if (!std::isalnum(static_cast<unsigned char>(ch)) && ch != '.' && ch != '-' && ch != '_')
            ch = '_';
    return (stem.empty() || stem[0] == '.' ? "trace" + stem : stem) + ".zs";
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

TraceView::TraceView(trace::Trace t, const std::string& file)
    : m_trace(std::move(t)), m_scenarioName(scenarioNameFor(file)), m_spill(std::tmpfile()) {
    m_thread = std::thread([this] { play(); });
}

TraceView::~TraceView() {
    m_stop = true;
    m_thread.join();
    if (m_spill)
        std::fclose(m_spill);
}

// The conversion, watched: each change the facility makes is the call's in progress, read from the
// facility once the play moves on to the next call.
void TraceView::play() {
    trace::PlayWatch watch;
    watch.begin = [this](Runner& r) { m_runner = &r; };
    watch.call = [this](size_t call) {
        flush();
        m_now = call;
        m_played = std::min(call, m_trace.calls.size());
        if (call >= m_trace.calls.size())
            m_runner = nullptr; // the play is over: what the runner does as it ends is no call's
        return !m_stop;
    };
    watch.played = [this](const Step& s) {
        if (!m_runner)
            return;
        using K = Step::Kind;
        if (s.kind == K::Control && s.words.size() >= 2)
            touched(s.words[0], s.words[1], std::nullopt);
        else if (s.kind == K::Load || s.kind == K::Unload)
            m_instancesTouched = true;
        else if (describesFacility(s.kind) || s.kind == K::Route || s.kind == K::DbChange)
            m_routersTouched = true;
    };
    watch.events = [this](const Event& e) { heard(e); };
    // The first notes are shown, the rest only counted.
    json shown = json::array();
    size_t count = 0;
    watch.note = [&](const std::string& n) {
        if (count++ < kMaxNotes)
            shown.push_back(utf8(cut(n)));
    };
    if (m_spill)
        watch.recording = [this](const std::string& line) {
            if (std::fwrite(line.data(), 1, line.size(), m_spill) != line.size() ||
                std::fputc('\n', m_spill) == EOF)
                m_spillFailed = true;
        };
    std::vector<std::string> unused;
    std::string scenario = trace::playTrace(m_trace, unused, watch);
    for (const std::string& n : trace::readingNotes(m_trace)) {
        watch.note(n);
        if (watch.recording)
            watch.recording("# NOTE " + n);
        else
            scenario += "# NOTE " + n + "\n";
    }
    if (m_spill && std::fflush(m_spill) != 0)
        m_spillFailed = true;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_notes = dump({{"count", count}, {"notes", shown}});
        m_scenario = std::move(scenario);
        m_over = true;
        m_played = m_trace.calls.size();
    }
    m_ended.notify_all();
}

// A command the component made: a text put changes one property, a routing command the routers.
void TraceView::heard(const Event& e) {
    if (!m_runner || e.kind != Event::Kind::Command)
        return;
    const std::string m = mnemonic(e.text);
    if (m == "TP") {
        std::vector<std::string> f = commandFields(e.text);
        if (f.size() < 3)
            return;
        const size_t eq = f[0].find('=');
        touched(m_runner->facility().facilityPanel(e.component, f[1]), std::move(f[2]),
                f[0].substr(0, eq));
    } else if (Facility::routerOf(e.text)) {
        m_routersTouched = true;
    }
}

void TraceView::touched(std::string panel, std::string control,
                        std::optional<std::string> property) {
    m_touched.emplace_back(std::move(panel), std::move(control), std::move(property));
}

// What the call in progress changed, read back from the facility now that it is done.
void TraceView::flush() {
    if (!m_runner || (m_touched.empty() && !m_routersTouched && !m_instancesTouched))
        return;
    const Facility& f = m_runner->facility();
    std::string routers, instances;
    if (m_routersTouched) {
        routers = dump(routersJson(f.routers()));
        if (routers == m_lastRouters)
            routers.clear();
    }
    if (m_instancesTouched) {
        json list = json::array();
        for (const Runner::InstanceView& in : m_runner->instances())
            list.push_back(instanceJson(in.name, f.loaded(in.endpoint), f.panelsOf(in.endpoint)));
        instances = dump(list);
        if (instances == m_lastInstances)
            instances.clear();
    }
    const std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& [panel, control, property] : m_touched) {
        if (property) {
            // One property: the rest of a control of thousands is not read again.
            if (!f.hasControl(panel, control))
                continue;
            Facility::ControlView one{
                control, {}, {{*property, f.property(panel, control, *property)}}};
            keep(panel, one, false);
        } else if (std::optional<Facility::ControlView> c = f.control(panel, control)) {
            keep(panel, *c, true);
        }
    }
    if (!routers.empty()) {
        if (m_routerBytes + routers.size() > kRouterBudget) {
            m_moreAt = std::min(m_moreAt, m_now);
        } else {
            m_routerBytes += routers.size();
            m_lastRouters = routers;
            m_routers.emplace_back(uint32_t(m_now), std::move(routers));
        }
    }
    if (!instances.empty()) {
        m_lastInstances = instances;
        m_instances.emplace_back(uint32_t(m_now), std::move(instances));
    }
    m_touched.clear();
    m_routersTouched = m_instancesTouched = false;
}

uint32_t TraceView::intern(std::string_view name) {
    auto it = m_nameIds.find(name);
    if (it != m_nameIds.end())
        return it->second;
    m_names.emplace_back(name);
    return m_nameIds.emplace(m_names.back(), uint32_t(m_names.size() - 1)).first->second;
}

// A control as the facility holds it now, kept where it differs from what was kept (whole: its
// kind too).
void TraceView::keep(const std::string& panel, const Facility::ControlView& c, bool whole) {
    const uint32_t call = uint32_t(m_now);
    const auto more = [&] { m_moreAt = std::min(m_moreAt, m_now); };
    const auto p = m_nameIds.find(panel), n = m_nameIds.find(c.id);
    auto known = p == m_nameIds.end() || n == m_nameIds.end()
                     ? m_controlIds.end()
                     : m_controlIds.find({p->second, n->second});
    if (known == m_controlIds.end()) {
        if (m_controls.size() >= kMaxControls)
            return more();
        Control fresh;
        fresh.panel = intern(panel);
        fresh.name = intern(c.id);
        fresh.since = call;
        known =
            m_controlIds.emplace(std::make_pair(fresh.panel, fresh.name), m_controls.size()).first;
        m_controls.push_back(std::move(fresh));
    }
    Control& ctl = m_controls[known->second];
    if (whole && (ctl.kinds.empty() ? !c.kind.empty() : m_names[ctl.kinds.back().second] != c.kind))
        ctl.kinds.emplace_back(call, intern(c.kind));
    for (const auto& [property, value] : c.properties) {
        const auto name = m_nameIds.find(property);
        auto history =
            name == m_nameIds.end() ? ctl.properties.end() : ctl.properties.find(name->second);
        if (history == ctl.properties.end()) {
            if (ctl.properties.size() >= kMaxProperties) {
                more();
                continue;
            }
            history = ctl.properties.emplace(intern(property), std::vector<Setting>{}).first;
        } else {
            const Setting& last = history->second.back();
            if (std::string_view(m_values[last.block]).substr(last.at, last.size) == value)
                continue;
        }
        if (m_values.empty() ||
            m_values.back().capacity() - m_values.back().size() < value.size()) {
            m_values.emplace_back();
            m_values.back().reserve(std::max(kValueBlock, value.size()));
        }
        const uint32_t block = uint32_t(m_values.size() - 1);
        history->second.push_back(
            {call, block, uint32_t(m_values.back().size()), uint32_t(value.size())});
        m_values.back().append(value);
        ++m_settings;
    }
}

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
