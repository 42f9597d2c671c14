// The conversion of a trace to a scenario: one converter plays the trace's calls as steps
// (trace_scenario.cpp), each call made a step or the facility lines its commands need
// (trace_steps.cpp). Internal to the conversion.
#pragma once

#include "trace/trace_tools.h"

#include "scenario/runner.h"
#include "trace/traced_component.h"

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace zeph::bench::trace::conversion {

// A trace time in seconds as "%.6f" writes it: in whole numbers below 10^9 s, where the division
// in doubles is exact to far less than the last digit; printf beyond (a hostile trace's times).
std::string seconds(uint64_t us);

// A step to play: its line is written when it is played (play), once its instance is known.
Step make(Step::Kind kind, std::vector<long long> numbers, std::vector<std::string> words = {},
          std::optional<std::string> text = std::nullopt);

// One component the trace shows: made by its CREATE, addressed by the host id that CREATE gave
// it and by the handle it returned.
struct Instance {
    std::string name;
    uint32_t host = 0;
    uint64_t handle = 0;
    bool alive = false;
};

class Converter {
public:
    Converter(const Trace& t, std::vector<std::string>& notes, const PlayWatch& watch)
        : m_trace(t), m_notes(notes), m_watch(watch), m_playback(t),
          m_runner(m_playback.source(), options(bool(watch.events)),
                   [this](const Event& e) { heard(e); }) {
        Facility& f = m_runner.facility();
        f.setReplyOverride([this](const std::string&, const std::optional<std::string>&) {
            return m_playback.reply();
        });
        f.setPanelShowOverride([this] { return m_playback.reply().has_value(); });
        // What the component wrote is caught only where the trace holds some: catching costs a
        // few system calls a notification.
        for (size_t i = 0; i < t.calls.size(); ++i)
            if (t.calls.kind(i) == Call::Kind::Debug) {
                f.setCaptureDebug(true);
                break;
            }
        m_playback.onCommand = [this](size_t i, const Call& c) {
            reached(i);
            command(i, c);
        };
        m_playback.onNote = [this](const std::string& what, size_t i) { note(what, i); };
    }
    std::string run();

private:
    void reached(size_t call) {
        if (m_watch.call && !m_watch.call(call))
            m_stop = true;
    }
    // everyEvent: a watcher hears every event (the page draws the facility from them); else only
    // breaches are heard, and the facility spares the words of the rest.
    static RunOptions options(bool everyEvent) {
        RunOptions o;
        o.checkExpectations = false; // what the component does is what the recording says
        if (!everyEvent)
            o.sinkHears = {Event::Kind::HostError};
        return o;
    }
    void findInstances();
    Instance* byHandle(uint64_t handle);
    void top(size_t at, size_t end);
    std::optional<Step> stimulus(const Call& c, size_t at);
    // unanswered: a parent text the component never answered, whose answer goes unrecorded.
    void play(Step step, bool unanswered = false);
    void command(size_t i, const Call& c);
    void heard(const Event& e);
    void note(const std::string& what, size_t call) {
        if (m_done) // the runner unloading what the trace left loaded: nothing the trace shows
            return;
        std::string text = "at " + seconds(m_trace.calls.time(call)) + " s: " + what;
        Step comment;
        comment.source = "# NOTE " + text;
        if (m_watch.note)
            m_watch.note(text);
        else
            m_notes.push_back(std::move(text));
        m_runner.play(comment, m_file);
    }

    const Trace& m_trace;
    std::vector<std::string>& m_notes;
    const PlayWatch& m_watch;
    bool m_stop = false;
    TracedComponents m_playback;
    Runner m_runner;
    const std::string m_file = "trace";
    int m_line = 0;
    std::vector<Instance> m_instances;
    bool m_named = false;
    Instance* m_current = nullptr; // the instance the step in progress addresses
    size_t m_at = 0;
    std::set<std::string> m_touched;    // what the step in progress read or changed of the facility
    std::optional<size_t> m_lastParent; // the parent notification whose answer is still out
    size_t m_created = 0;               // the instances loaded so far
    size_t m_skip = 0;                  // top-level calls already played with the call before them
    size_t m_steps = 0;
    bool m_done = false;
    std::map<long long, std::vector<Step>> m_after; // by router: the lines that end a step's inline
};

} // namespace zeph::bench::trace::conversion
