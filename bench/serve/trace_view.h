// A trace on the serve page: the panel as it stood after any call of the session, the calls around
// it, and the session converted to a scenario to download. It only reads: nothing is played.
//
// The panel is told from the traffic alone, as the host told it to the component: a control is
// there once the host listed it (XI), gave one of its properties (TG) or delivered a press on it,
// or once the component set one of its properties (TP); a property holds what the last of those
// said. So it shows what the component was shown and what it did, with no facility of the bench's
// in between, and needs no module.
//
// The trace is kept as read (linear in the file); what the view adds is bounded by what it keeps
// of the panels (kMaxControls, kMaxProperties) and one setting per property change it keeps.
#pragma once

#include "serve/server.h"
#include "trace/trace_reader.h"

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace zeph::bench {

// One control as the trace shows it at a moment.
struct TraceControl {
    std::string id;
    bool pressed = false; // a press reached it: the page draws it as a button
    std::map<std::string, std::string> properties;
};

// Every panel the trace names, each with its controls in the order they first appeared.
struct TracePanels {
    std::map<std::string, std::vector<TraceControl>> panels;
    std::map<std::pair<std::string, std::string>, size_t> index; // panel, control -> position
    size_t controls = 0;
    // The trace names more by then than is here: controls past the first kMaxControls or past
    // what one answer holds, properties of a control past its first kMaxProperties.
    bool more = false;
};

class TraceView : public PageView {
public:
    // What the view keeps of the panels, whatever the trace holds: a page shows no more, and a
    // hostile trace cannot make the view grow faster than the file.
    static constexpr size_t kMaxControls = 4096, kMaxProperties = 64;

    // file: the trace's path, which names the downloaded scenario.
    TraceView(trace::Trace trace, const std::string& file);

    const std::string& page() const override;
    // Converted when asked for, not kept: a download is rare, and the text may be as large as the
    // trace.
    std::string scenario() const override;
    std::string scenarioName() const override { return m_scenarioName; }
    // "summary": the header and the number of calls. "notes": what the conversion cannot say (the
    // first few, and how many). "at?call=N": the panel after call N (0-based), the calls around it
    // (around=K each side, default 12) and, with seek=next or seek=previous, N moved first to the
    // next or previous notification. Each answer stays within a few MB: long texts are cut, and
    // the panel's controls stop at a budget.
    ActionReply read(const std::string& name,
                     const std::map<std::string, std::string>& query) const override;

    // The panels as they stood once call `call` was made (for a command: once the host took it).
    TracePanels panelsAfter(size_t call) const;
    const trace::Trace& trace() const { return m_trace; }
    // Property settings kept: what the view costs beyond the trace itself.
    size_t settings() const { return m_settings; }

private:
    ActionReply at(const std::map<std::string, std::string>& query) const;
    ActionReply notes() const;
    void change(size_t call, std::string_view panel, std::string_view control,
                const std::string_view* property, std::string_view value, bool press);
    uint32_t intern(std::string_view name);

    trace::Trace m_trace;
    std::string m_scenarioName;
    // Names of panels, controls and properties, each once.
    std::deque<std::string> m_names; // never moved: m_nameIds looks at them
    std::unordered_map<std::string_view, uint32_t> m_nameIds;
    // A property's history: the calls that set it and what to, in call order.
    struct Setting {
        uint32_t call = 0, block = 0, at = 0, size = 0; // the value, in m_values[block]
    };
    struct Control {
        uint32_t panel = 0, name = 0;
        uint32_t since = 0, pressedAt = UINT32_MAX; // the calls it appeared and was pressed at
        std::map<uint32_t, std::vector<Setting>> properties; // by name
    };
    std::vector<Control> m_controls;                                // in the order they appeared
    std::map<std::pair<uint32_t, uint32_t>, uint32_t> m_controlIds; // panel, name -> control
    std::vector<std::string> m_values; // blocks of values, none ever moved
    size_t m_settings = 0;
    size_t m_moreAt = SIZE_MAX; // the first call that named more than is kept
    // One conversion at a time, however many ask at once; the notes' answer is kept once made.
    mutable std::mutex m_converting;
    mutable std::optional<std::string> m_notes;
};

// The trace page, as served.
const std::string& traceViewPage();

} // namespace zeph::bench
