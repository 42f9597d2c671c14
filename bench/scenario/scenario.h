// Scenario files: a line-based description of a facility, steps that drive a component, and the
// commands expected back. One runner plays them for `zeph-host run`, the shell and validate.
#pragma once

#include "facility/facility.h"

#include <optional>
#include <string>
#include <vector>

namespace zeph::bench {

struct Step {
    enum class Kind {
        Comment, // a blank line or a '#' comment, kept so that a recording reads like its source
        // The facility (allowed anywhere, applied in order)
        Name,
        Db,
        Source,
        Router,
        Control,
        PanelFile,
        // Steps
        Load,
        Unload,
        Parent,
        Press,
        Revertive,
        DbChange,
        Route,
        Tick,
        Advance,
        Raw,
        Skip,
        // Expectations
        Answer,
        Expect,
        ExpectNone,
        ExpectParent,
    };
    Kind kind = Kind::Comment;
    int line = 0;
    std::string source;              // the line as written
    std::vector<long long> numbers;  // numeric arguments in order
    std::vector<std::string> words;  // word arguments in order (panel, control, name, mode...)
    std::optional<std::string> text; // the trailing text argument
};

bool isExpectation(Step::Kind kind);

struct Scenario {
    std::string file;
    std::vector<Step> steps;
};

// Parses one line. A bad line gives nullopt and the reason in error (without file and line).
std::optional<Step> parseLine(const std::string& line, int number, std::string& error);
// Parses a whole file; the first bad line gives nullopt and "file:line: reason" in error.
std::optional<Scenario> parseScenario(const std::string& text, const std::string& file,
                                      std::string& error);
// Reads and parses a file; a file that cannot be read is reported the same way.
std::optional<Scenario> loadScenario(const std::string& path, std::string& error);

// The road of a take on the built-in facility; played when no scenario file is given.
const std::string& builtinTakeScenario();
// The built-in take followed by the selector's queries: the workout validate puts a component to.
const std::string& builtinWorkout();

// "*" in an expected command matches one field; otherwise the texts must be equal.
bool commandMatches(const std::string& pattern, const std::string& command);
// A text as a scenario writes it: bare when that reads back the same (and always is false), else
// in double quotes with escapes.
std::string quoteText(const std::string& text, bool always = false);

struct RunOptions {
    std::string basePath;
    bool checkExpectations = true;
};

struct RunResult {
    int expectations = 0;
    std::vector<std::string> failures; // "file:line: what went wrong"
    bool loadFailed = false;           // the factory returned null
    bool ok() const { return failures.empty(); }
};

class Runner {
public:
    Runner(zeph_factory_fn factory, RunOptions options, EventSink sink = nullptr);
    ~Runner();
    Runner(const Runner&) = delete;
    Runner& operator=(const Runner&) = delete;

    // Plays every step, then destroys a component still loaded.
    RunResult run(const Scenario& scenario);
    // One step at a time, for the shell; finish() ends the run.
    void play(const Step& step, const std::string& file);
    void finish();
    // Expectations from here on look only at commands sent after this call (what "skip" does).
    void forgetSent();
    const RunResult& result() const { return m_result; }
    // The run as a scenario with every expectation filled in from what was sent.
    const std::string& recording() const { return m_recording; }
    Facility& facility() { return m_facility; }
    // ---- Added for the serve session
    // The endpoint the scenario's component lives on.
    int endpoint() const { return m_endpoint; }

private:
    void onEvent(Event e);
    void fail(const std::string& message);
    void expectCommand(const std::string& pattern);
    std::string sentSinceMark() const;

    zeph_factory_fn m_factory;
    RunOptions m_options;
    EventSink m_sink;
    Facility m_facility;
    int m_endpoint = 0;

    std::string m_file;
    int m_line = 0;
    bool m_finishing = false;
    std::vector<std::string> m_sent;
    size_t m_cursor = 0;
    size_t m_mark = 0;
    std::vector<std::string> m_parents;
    size_t m_parentCursor = 0;
    std::optional<std::optional<std::string>> m_lastAnswer;
    RunResult m_result;
    std::string m_recording;
};

} // namespace zeph::bench
