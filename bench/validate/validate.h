// Named host-contract checks that any script component must pass, each run in a child process with
// a time limit so that a crash or a hang is reported rather than taking the bench down. What a
// check sends beyond the contract itself (the facility, parent texts, buttons, words) comes from
// the component's workout; a check that cannot go without one is skipped and says so.
#pragma once

#include "recording_host.h"
#include "workout/workout.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zeph::bench {

struct ValidateOptions {
    std::string basePath;
    std::optional<Workout> workout; // none: the checks that need one are skipped
    uint64_t seed = 1;
    int iterations = 2000;
    double timeoutSeconds = 30;
    std::vector<std::string> only; // empty: every check
    std::vector<std::string> skip;
    bool isolate = true; // false runs the checks in this process (for a debugger)
};

struct CheckResult {
    enum class Status { Passed, Failed, Crashed, Skipped };
    std::string name;
    Status status = Status::Passed;
    double seconds = 0;
    std::vector<std::string> messages; // why it failed or was skipped; notes when it passed
};
const char* statusName(CheckResult::Status status);

struct CheckContext; // what a check is given: see validate/check.h

// One check: its name, what it puts the component through, and the breaches of the host contract
// it fails on (none: it looks for something else, such as a crash or heap growth).
struct Check {
    const char* name;
    const char* summary;
    bool needsWorkout; // skipped, with the reason, when there is none
    std::vector<host::ErrorKind> kinds;
    CheckResult (*run)(const CheckContext& context);
};
// Every check, in the order they run.
const std::vector<Check>& validateChecks();

// Why only or skip cannot be followed (a name no check has), or empty.
std::string unknownCheck(const ValidateOptions& options);
// Runs the selected checks in order; onResult sees each as it finishes. An unknown name in only or
// skip is an error: the result is empty and error says which.
std::vector<CheckResult> validate(host::ComponentSource factory, const ValidateOptions& options,
                                  const std::function<void(const CheckResult&)>& onResult,
                                  std::string& error);

} // namespace zeph::bench
