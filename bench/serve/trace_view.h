// A trace on the serve page: the panel as it stood after any call of the session, the calls around
// it, and the session converted to a scenario to download. Nothing is played from the page.
//
// The panel is the bench facility's: the view plays the trace as trace scenario converts it (one
// play, trace::playTrace), on a thread of its own from the moment the view is made, and keeps what
// the facility's panels, routers and instances were at each call. A moment already played is
// answered at once; one not yet played says how far the play is, and the page asks again.
//
// What the view keeps is the facility's changes, each by the call that made it: per property its
// settings in call order (each its own index, searched by call), per control its kinds, and the
// routers' and instances' JSON each time they changed. It is bounded by what it keeps of the panels
// (kMaxControls, kMaxProperties) and one setting per property change it keeps.
#pragma once

#include "facility/facility.h"
#include "serve/server.h"
#include "trace/trace_reader.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <vector>

namespace zeph::bench {

class Runner;

// The facility's panels at a moment, as much of them as the view keeps.
struct TracePanels {
    std::vector<Facility::PanelView> panels; // in id order, controls in the order they came
    // The facility held more by then than is here: controls past the first kMaxControls or past
    // what one answer holds, properties of a control past its first kMaxProperties.
    bool more = false;
};

class TraceView : public PageView {
public:
    // What the view keeps of the panels, whatever the trace holds: a page shows no more, and a
    // hostile trace cannot make the view grow faster than the file.
    static constexpr size_t kMaxControls = 4096, kMaxProperties = 64;

    // file: the trace's path, which names the downloaded scenario. The play starts here.
    TraceView(trace::Trace trace, const std::string& file);
    // Stops the play at the next call into the component, and waits for it.
    ~TraceView() override;
    TraceView(const TraceView&) = delete;
    TraceView& operator=(const TraceView&) = delete;

    const std::string& page() const override;
    // The play's recording, once the play is over (waits for it).
    std::string scenario() const override;
    // The recording from the file it was written to, a piece at a time.
    bool writeScenario(const std::function<bool(const std::string&)>& write) const override;
    std::string scenarioName() const override { return m_scenarioName; }
    // "summary": the header, the number of calls and how many are played. "notes": what the
    // conversion cannot say (the first few, and how many), or how far the play is. "at?call=N": the
    // panel after call N (0-based), or how far the play is; the calls around it (around=K each
    // side, default 12) and, with seek=next or seek=previous, N moved first to the next or
    // previous notification. Each answer stays within a few MB: long texts are cut, and the
    // panel's controls stop at a budget.
    ActionReply read(const std::string& name,
                     const std::map<std::string, std::string>& query) const override;

    // The panels as they stood once call `call` was made; nullopt while the play has not passed it.
    std::optional<TracePanels> panelsAfter(size_t call) const;
    // The calls whose moment is known: every call before this one.
    size_t played() const { return m_played.load(); }
    // Waits until the play is over.
    void waitPlayed() const;
    const trace::Trace& trace() const { return m_trace; }
    // Property settings kept: what the view costs beyond the trace itself.
    size_t settings() const;

private:
    ActionReply at(const std::map<std::string, std::string>& query) const;
    ActionReply notes() const;
    void play();
    // The play's hooks (its thread only).
    void heard(const Event& e);
    void touched(std::string panel, std::string control, std::optional<std::string> property);
    void flush();
    void keep(const std::string& panel, const Facility::ControlView& c, bool whole);
    uint32_t intern(std::string_view name);

    trace::Trace m_trace;
    std::string m_scenarioName;

    // Kept as the play goes; guarded by m_mutex.
    mutable std::mutex m_mutex;
    // Names of panels, controls, properties and kinds, each once.
    std::deque<std::string> m_names; // never moved: m_nameIds looks at them
    std::unordered_map<std::string_view, uint32_t> m_nameIds;
    struct Setting {
        uint32_t call = 0, block = 0, at = 0, size = 0; // the value, in m_values[block]
    };
    struct Control {
        uint32_t panel = 0, name = 0, since = 0;
        std::vector<std::pair<uint32_t, uint32_t>> kinds;    // call, kind's name
        std::map<uint32_t, std::vector<Setting>> properties; // by name, each in call order
    };
    std::vector<Control> m_controls;                                // in the order they came
    std::map<std::pair<uint32_t, uint32_t>, uint32_t> m_controlIds; // panel, name -> control
    std::vector<std::string> m_values; // blocks of values, none ever moved
    size_t m_settings = 0;
    size_t m_moreAt = SIZE_MAX; // the first call at which the facility held more than is kept
    // The routers' and the instances' JSON, each time it changed: call, text.
    std::vector<std::pair<uint32_t, std::string>> m_routers, m_instances;
    size_t m_routerBytes = 0;
    bool m_over = false;
    // The play's recording goes to an unnamed file (m_spill), read back for each download: a trace
    // of notes converts into more text than the trace itself. In memory only where no file can be
    // made.
    std::FILE* m_spill = nullptr;
    bool m_spillFailed = false;
    std::string m_scenario;
    std::string m_notes; // the notes' answer
    mutable std::condition_variable m_ended;

    // The play's own (its thread only).
    Runner* m_runner = nullptr;
    size_t m_now = 0; // the call in progress
    std::vector<std::tuple<std::string, std::string, std::optional<std::string>>> m_touched;
    bool m_routersTouched = false, m_instancesTouched = false;
    std::string m_lastRouters, m_lastInstances;

    std::atomic<size_t> m_played{0};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// The trace page, as served.
const std::string& traceViewPage();

} // namespace zeph::bench
