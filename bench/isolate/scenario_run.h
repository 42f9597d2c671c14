// Plays one scenario as a test: in a child process, so that a component that crashes is reported
// with the step, line and signal, and the scenarios after it still run.
#pragma once

#include "scenario/runner.h"

#include <functional>
#include <optional>
#include <string>

namespace zeph::bench {

struct ScenarioRunOptions {
    std::string basePath;
    bool captureDebug = false;        // the component's stderr into the transcript
    bool isolate = true;              // false plays it in this process (for a debugger)
    double timeoutSeconds = 0;        // 0: no limit
    bool requireExpectations = false; // as RunOptions
    bool strict = false;              // as RunOptions
    // As RunOptions: the factories of the modules a load line names.
    std::function<host::ComponentSource(const std::string&, std::string&)> modules = nullptr;
};

// How a scenario's child ended when it did not end by itself.
struct ScenarioCrash {
    std::string why;  // "signal 6 (Aborted)", "exit code 3", "timed out after ..."
    int signal = 0;   // 0 when it ended otherwise
    int line = 0;     // the line of the step it was playing; 0 at the end (unload, leak check)
    std::string step; // that step as written
    // "crashed at line 12 (`raw 8`): signal 6 (Aborted)"
    std::string text() const;
};

struct ScenarioOutcome {
    // What the run found; after a crash, the failures seen up to it and the crash as the last.
    RunResult result;
    std::string recording; // empty after a crash
    double seconds = 0;
    std::optional<ScenarioCrash> crash;
};

// Plays the scenario and destroys a component it left loaded. The sink sees every event as it
// happens, in the child when isolated.
ScenarioOutcome runScenario(zeph_factory_fn factory, const Scenario& scenario,
                            const ScenarioRunOptions& options, const EventSink& sink);

} // namespace zeph::bench
