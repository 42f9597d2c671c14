// A trace on the serve page: the panel as it stood after any call of the session, the calls around
// it, and the session converted to a scenario to download. It only reads: nothing is played.
//
// The panel is told from the traffic alone, as the host told it to the component: a control is
// there once the host listed it (XI), gave one of its properties (TG) or delivered a press on it,
// or once the component set one of its properties (TP); a property holds what the last of those
// said. So it shows what the component was shown and what it did, with no facility of the bench's
// in between, and needs no module.
#pragma once

#include "serve/server.h"
#include "trace/trace_reader.h"

#include <map>
#include <string>
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
};

class TraceView : public PageView {
public:
    // file: the trace's path, which names the downloaded scenario.
    TraceView(trace::Trace trace, const std::string& file);

    const std::string& page() const override;
    const std::string& scenario() const override { return m_scenario; }
    std::string scenarioName() const override { return m_scenarioName; }
    // "summary": the header, the number of calls and the conversion's notes. "at?call=N": the
    // panel after call N (0-based), the calls around it (around=K each side, default 12) and, with
    // seek=next or seek=previous, N moved first to the next or previous notification.
    ActionReply read(const std::string& name,
                     const std::map<std::string, std::string>& query) const override;

    // The panels as they stood once call `call` was made (for a command: once the host took it).
    TracePanels panelsAfter(size_t call) const;
    const trace::Trace& trace() const { return m_trace; }
    // How many moments are kept to start from: what the view costs beyond the trace itself.
    size_t checkpoints() const { return m_checkpoints.size(); }

    struct Change {
        size_t call = 0;
        std::string panel, control;
        std::string property, value; // when set: the property now holds the value
        bool set = false;
        bool press = false; // a press reached the control
    };

private:
    ActionReply at(const std::map<std::string, std::string>& query) const;

    trace::Trace m_trace;
    std::string m_scenario, m_scenarioName;
    std::vector<std::string> m_notes;
    std::vector<Change> m_changes; // in call order
    // The panels after the first `changes` changes, now and then, so that a moment late in a long
    // trace is not replayed from the start.
    struct Checkpoint {
        size_t changes = 0;
        TracePanels panels;
    };
    std::vector<Checkpoint> m_checkpoints;
};

// The trace page, as served.
const std::string& traceViewPage();

} // namespace zeph::bench
