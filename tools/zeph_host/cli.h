// What the subcommands of zeph-host share: exit codes, common options, loading the module and
// finding its workout, and the one shape main sees each subcommand in.
#pragma once

#include "module_loader.h"
#include "workout/workout.h"

#include <CLI/CLI.hpp>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zeph::cli {

constexpr int kOk = 0, kFailed = 1, kUsage = 2;

// A subcommand as main sees it: the command CLI11 parses, and what runs when it was chosen.
struct Subcommand {
    CLI::App* command;
    std::function<int()> run;
};

// One add-function per subcommand, each in its own file.
Subcommand addRun(CLI::App& app);
Subcommand addValidate(CLI::App& app);
Subcommand addShell(CLI::App& app);
Subcommand addSoak(CLI::App& app);
Subcommand addServe(CLI::App& app);
Subcommand addTrace(CLI::App& app);

struct Common {
    std::string module;
    std::string basePath;
    std::string colour = "auto";
    bool captureStderr = false;
};

// MODULE, --base-path and --color.
void addCommon(CLI::App* app, Common& c, bool moduleRequired = true);
// --capture-stderr, for the subcommands that show a transcript.
void addCaptureStderr(CLI::App* app, Common& c);
// --workout PATH, for the subcommands that play the component's workout.
void addWorkoutOption(CLI::App* app, std::string& path);
std::vector<std::string> splitList(const std::string& text);
// Colour for "always", none for "never"; for "auto", only on a terminal that shows it.
bool useColour(const std::string& mode);
// Loads the module and finds its factory; one line on stderr when that fails.
bool openModule(host::Module& module, const std::string& path);
// The workout given with --workout, else the one installed beside the module. nullopt with error
// set when it cannot be read; nullopt with error empty when the module has none.
std::optional<bench::Workout> findWorkout(const std::string& module, const std::string& given,
                                          std::string& error);
// The same for the subcommands that go on without one: false, with one line on stderr, only when
// a workout is there but cannot be read.
bool workoutFor(const Common& c, const std::string& given, std::optional<bench::Workout>& workout);
// openModule, then workoutFor: false at the first that fails.
bool openWithWorkout(const Common& c, const std::string& given, host::Module& module,
                     std::optional<bench::Workout>& workout);
// The take (take.zs) of that workout. nullopt with the reason in error; error empty when the
// module has no workout at all.
std::optional<bench::Scenario> workoutTake(const std::string& module, const std::string& given,
                                           std::string& error);
// Why a module has no workout, for a message.
std::string noWorkout(const std::string& module);
// Reads scenario files in order; false, with one line on stderr, at the first that cannot be read.
bool loadScenarios(const std::vector<std::string>& paths, std::vector<bench::Scenario>& out);

} // namespace zeph::cli
