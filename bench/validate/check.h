// What the checks share: the context a check runs in, playing a workout's scenarios, and sorting
// the host's breaches into the check's result by their kind.
#pragma once

#include "facility/facility.h"
#include "validate/validate.h"
#include "workout/vocabulary.h"

#include <cstddef>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace zeph::bench {

struct CheckContext {
    const Check& check;
    host::ComponentSource factory;
    const ValidateOptions& options;
    const Workout* workout;       // null when there is none
    const Vocabulary& vocabulary; // empty when there is no workout
};

using host::Breach;
using Breaches = std::vector<Breach>;

void fail(CheckResult& result, std::string message);
// Fails result with every breach of the check's kinds: the first few in full, then a count.
void keep(CheckResult& result, const Breaches& found, const std::vector<host::ErrorKind>& kinds,
          size_t limit = 6);
// An event sink that keeps the breaches, each prefixed with *where at the time.
EventSink collectBreaches(Breaches& into, const std::string* where);

// Steps that reach the component or move time; destroying after one of them is a new situation.
bool isAction(const Step& step);

struct PlayOptions {
    std::function<void(Facility&)> setup;                  // before the first step
    std::vector<std::string> extraParents;                 // sent just before the scenario unloads
    size_t stopAfter = std::numeric_limits<size_t>::max(); // destroy after this many actions
};

struct Played {
    Breaches breaches;
    std::vector<std::optional<std::string>> answers;
    size_t repliesHandedOut = 0;
    bool loadFailed = false;
};

// Plays one scenario with its expectations off, then destroys the component.
Played play(const CheckContext& context, const Scenario& scenario, const PlayOptions& options = {});
// Every scenario of the workout in turn, each on a fresh facility.
Played playWorkout(const CheckContext& context, const PlayOptions& options = {});

// The checks whose code lives apart from the others.
CheckResult checkRandom(const CheckContext& context);

} // namespace zeph::bench
