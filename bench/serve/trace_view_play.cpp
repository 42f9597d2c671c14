// The trace view's play: the trace converted on a thread of its own, the facility watched as it
// goes, and what each call changed kept (compactly) for the answers (trace_view.cpp) to read.
#include "serve/trace_view.h"

#include "facility/text.h"
#include "report/json.h"
#include "scenario/runner.h"
#include "serve/facility_json.h"
#include "serve/trace_view_text.h"
#include "trace/trace_tools.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <filesystem>

namespace zeph::bench {

namespace {

using nlohmann::json;
using trace_view::cut;
using trace_view::dump;

// The conversion's notes in one answer: the first of them, and how many there are.
constexpr size_t kMaxNotes = 200;
// Values are kept in blocks of at least this size, so that none is ever moved or doubled.
constexpr size_t kValueBlock = 1u << 20;
// The routers' states kept, in all: a trace that routes without end keeps its first ones.
constexpr size_t kRouterBudget = 32u << 20;

// The download's name: the trace file's own, its characters kept to a safe few.
std::string scenarioNameFor(const std::string& file) {
    std::string stem = std::filesystem::path(file).stem().string();
    for (char& ch : stem)
        if (!std::isalnum(static_cast<unsigned char>(ch)) && ch != '.' && ch != '-' && ch != '_')
            ch = '_';
    return (stem.empty() || stem[0] == '.' ? "trace" + stem : stem) + ".zs";
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
} // namespace zeph::bench
