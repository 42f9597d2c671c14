// Runs the selected checks, each isolated in its own process, and skips those that need a workout
// when the component has none.
#include "validate/validate.h"

#include "validate/check.h"
#include "validate/isolate.h"

#include <algorithm>
#include <set>

namespace zeph::bench {

const char* statusName(CheckResult::Status status) {
    switch (status) {
    case CheckResult::Status::Passed:
        return "PASSED";
    case CheckResult::Status::Failed:
        return "FAILED";
    case CheckResult::Status::Crashed:
        return "CRASHED";
    case CheckResult::Status::Skipped:
        return "SKIPPED";
    }
    return "?";
}

std::string unknownCheck(const ValidateOptions& options) {
    std::set<std::string> known;
    for (const Check& c : validateChecks())
        known.insert(c.name);
    for (const auto* list : {&options.only, &options.skip})
        for (const std::string& name : *list)
            if (!known.count(name))
                return "unknown check \"" + name + "\" (zeph-host validate --list names them)";
    return {};
}

std::vector<CheckResult> validate(host::ComponentSource factory, const ValidateOptions& options,
                                  const std::function<void(const CheckResult&)>& onResult,
                                  std::string& error) {
    error = unknownCheck(options);
    if (!error.empty())
        return {};
    const Workout* workout = options.workout ? &*options.workout : nullptr;
    const Vocabulary vocabulary = workout ? vocabularyOf(*workout) : Vocabulary{};
    std::vector<CheckResult> results;
    for (const Check& check : validateChecks()) {
        auto listed = [&](const std::vector<std::string>& l) {
            return std::find(l.begin(), l.end(), check.name) != l.end();
        };
        if ((!options.only.empty() && !listed(options.only)) || listed(options.skip))
            continue;
        CheckResult result;
        if (check.needsWorkout && !workout) {
            result.status = CheckResult::Status::Skipped;
            result.messages.push_back("no workout: this check drives the component through the "
                                      "scenarios of its workout, and it has none");
        } else {
            const CheckContext context{check, factory, options, workout, vocabulary};
            const auto run = [&] { return check.run(context); };
            result = options.isolate ? runIsolated(run, options.timeoutSeconds) : runInProcess(run);
        }
        result.name = check.name;
        results.push_back(std::move(result));
        if (onResult)
            onResult(results.back());
    }
    return results;
}

} // namespace zeph::bench
