// Plays scenario steps against a component through the simulated facility. One runner serves
// `zeph-host run`, the shell and validate.
//
// Each step goes through the same stages: an expectation is checked against what was sent; a
// facility line is applied to the facility; any other step is delivered to the component; then
// the step and what it caused are recorded. When an expectation fails, the rest of that step's
// expectations of the same kind are passed over and the next step starts afresh from what has been
// sent by then, so that one mistake is reported once.
#pragma once

#include "facility/facility.h"
#include "scenario/step.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zeph::bench {

// "*" in an expected command matches one field; otherwise the texts must be equal.
bool commandMatches(const std::string& pattern, const std::string& command);

struct RunOptions {
    std::string basePath;
    bool checkExpectations = true;
    // A scenario without a single expectation fails: it would pass whatever the component did.
    bool requireExpectations = false;
    // A text put (TP) to a control that no `control` line declared fails; otherwise it warns.
    bool strict = false;
    // The factory of a module named by a load line's module= (its stem); a null source, with the
    // reason in error, when there is none. Unset: no load line may name a module.
    std::function<host::ComponentSource(const std::string& module, std::string& error)> modules =
        nullptr;
    // The kinds of event the sink hears; empty: every kind. A player listening for a few (the
    // trace converter, for breaches) spares the facility and itself the words of the others.
    std::vector<Event::Kind> sinkHears = {};
};

struct RunResult {
    int expectations = 0;
    std::vector<std::string> failures; // "file:line: what went wrong"
    std::vector<std::string> warnings; // the same form
    bool loadFailed = false;           // the factory returned null
    bool ok() const { return failures.empty(); }
};

class Runner {
public:
    Runner(host::ComponentSource factory, RunOptions options, EventSink sink = nullptr);
    ~Runner();
    Runner(const Runner&) = delete;
    Runner& operator=(const Runner&) = delete;

    // Plays every step, then destroys a component still loaded.
    RunResult run(const Scenario& scenario);
    // One step at a time, for the shell; finish() ends the run.
    void play(const Step& step, const std::string& file);
    void finish();
    // The end of a whole scenario of FILE: finish(), then fail one with no expectation at all.
    void conclude(const std::string& file);
    // The next step's answer to its parent text goes unrecorded: nobody saw one (the trace of a
    // host stopped inside the notification), and an answer line would claim one.
    void leaveAnswerUnrecorded() { m_answerUnrecorded = true; }
    // Expectations from here on look only at commands sent after this call (what "skip" does).
    void forgetSent();
    // Lets go of what each instance sent, raised and wrote so far, between steps of a run that
    // checks nothing (a long conversion keeps its memory flat); the recording keeps it all.
    void forgetRecords();
    const RunResult& result() const { return m_result; }
    // The run as a scenario with every expectation filled in from what was sent.
    const std::string& recording() const { return m_recording; }
    // The recording handed over, the runner's left empty (a long conversion holds it once).
    std::string takeRecording() { return std::move(m_recording); }
    // Room for a recording of about this many bytes, taken at once: a long one then grows without
    // a copy of itself beside it (only what is written of the room is resident).
    void reserveRecording(size_t bytes) { m_recording.reserve(bytes); }
    // Each line of the recording handed to sink as it is made, and none kept: a long play whose
    // recording is written elsewhere (a file) holds none of it.
    void recordTo(std::function<void(const std::string& line)> sink) {
        m_recordSink = std::move(sink);
    }
    // The endpoint the scenario's unnamed component lives on.
    int endpoint() const { return m_instances[0].endpoint; }
    // Every instance the run has heard of, the unnamed one first (named "").
    struct InstanceView {
        std::string name;
        int endpoint = 0;
        bool faulted = false; // its component faulted (a DLL's) and is dead, though still loaded
    };
    std::vector<InstanceView> instances() const;
    // The endpoint of the instance by that name; nullopt for one never heard of.
    std::optional<int> endpointOf(const std::string& name) const;
    Facility& facility() { return m_facility; }

private:
    // The stages of a step (expect.cpp, apply.cpp, runner.cpp).
    void check(const Step& step);
    void apply(const Step& step);
    void deliver(const Step& step);
    // How far each instance's records reached before a step.
    struct Mark {
        size_t sent = 0, parents = 0, debugs = 0;
    };
    void record(const Step& step, const std::vector<Mark>& before);
    void appendLine(const std::string& line);
    void resynchronise();

    // One component of the facility as the scenario names it, and what it sent and heard. The
    // unnamed one is always first; the others come with their first load line.
    struct Instance {
        std::string name;
        int endpoint = 0;
        std::vector<std::string> sent;
        size_t cursor = 0; // the next command an expectation compares with
        size_t mark = 0;   // where the commands since the previous expectation begin
        std::vector<std::string> parents;
        size_t parentCursor = 0;
        std::vector<std::string>
            debugs; // what it wrote to its diagnostics, one text a notification
        size_t debugCursor = 0;
        // Set by a failed expectation until the next step: the commands (or parent texts) no
        // longer line up with the expectations, so the rest are passed over.
        bool commandsLost = false;
        bool parentsLost = false;
        std::optional<std::optional<std::string>> lastAnswer;
        bool everLoaded = false;
        // Its component faulted and is dead: what the host sees of it after that is no breach.
        bool faulted = false;
    };
    Instance& instance(const std::string& name);
    Instance* byEndpoint(int endpoint);
    void load(Instance& in, const Step& step);
    void faulted(const std::string& name, const std::string& line);

    void expectCommand(Instance& in, const std::string& pattern);
    void expectNothing(Instance& in);
    void expectParent(Instance& in, const std::string& text);
    void expectDebug(Instance& in, const std::string& text);
    void expectAnswer(Instance& in, const Step& step);
    void expectState(Instance& in, const Step& step);
    void checkDeclared(const Instance& in, const std::string& command);
    void noExpectation();
    void warn(const std::string& message);
    void met(const std::string& what);
    void onEvent(const Event& event);
    bool hears(Event::Kind kind) const;
    // A failure of what one instance did: named, when it has a name.
    void fail(const Instance& in, const std::string& message);
    void fail(const std::string& message);
    void report(Event::Kind kind, const std::string& text, const std::string& instance = {});
    static std::string sentSinceMark(const Instance& in);

    host::ComponentSource m_factory;
    RunOptions m_options;
    EventSink m_sink;
    Facility m_facility;
    std::vector<Instance> m_instances;

    std::string m_file;
    int m_line = 0;
    bool m_finishing = false;
    bool m_refused = false;     // the step in progress was refused before it did anything
    std::string m_stepInstance; // whom the last step addressed: its record says its expect-none
    bool m_sawExpectation = false;
    bool m_answerUnrecorded = false;
    RunResult m_result;
    std::string m_recording;
    std::function<void(const std::string&)> m_recordSink;
};

} // namespace zeph::bench
