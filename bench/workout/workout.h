// A component's workout: the scenario files it ships beside its module, one of which (take.zs) is
// the road of an ordinary take that `zeph-host run MODULE` plays when no scenario is given. The
// bench learns everything component-specific from here (facility, parent texts, button names),
// never from its own code.
#pragma once

#include "scenario/scenario.h"

#include <optional>
#include <string>
#include <vector>

namespace zeph::bench {

struct Workout {
    std::string path;                // the folder (or the one file) it was read from
    std::vector<Scenario> scenarios; // every *.zs, in file-name order
    // The scenario whose file is named NAME.zs; null when there is none.
    const Scenario* find(const std::string& name) const;
    // take.zs, or the only scenario of a one-file workout; null when neither exists.
    const Scenario* take() const;
};

// Where a module's workout is installed: the folder STEM.workout beside the module
// ("bin/Ostrel.so" -> "bin/Ostrel.workout"). Empty when no such folder exists.
std::string workoutBeside(const std::string& modulePath);

// Reads a folder of *.zs files, or a single .zs file. The first file that does not parse, an empty
// folder or a missing path gives nullopt and the reason in error.
std::optional<Workout> loadWorkout(const std::string& path, std::string& error);

} // namespace zeph::bench
