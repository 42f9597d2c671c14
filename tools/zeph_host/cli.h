// What the subcommands of zeph-host share: exit codes, common options, loading the module and
// finding its workout.
#pragma once

#include "module_loader.h"
#include "workout/workout.h"

#include <CLI/CLI.hpp>

#include <optional>
#include <string>
#include <vector>

namespace zeph::cli {

constexpr int kOk = 0, kFailed = 1, kUsage = 2;

struct Common {
    std::string module;
    std::string basePath;
    std::string colour = "auto";
    bool captureStderr = false;
};

void addCommon(CLI::App* app, Common& c, bool moduleRequired = true);
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
// The take (take.zs) of that workout. nullopt with the reason in error; error empty when the
// module has no workout at all.
std::optional<bench::Scenario> workoutTake(const std::string& module, const std::string& given,
                                           std::string& error);
// Reads scenario files in order; false, with one line on stderr, at the first that cannot be read.
bool loadScenarios(const std::vector<std::string>& paths, std::vector<bench::Scenario>& out);

struct RunArgs {
    Common common;
    std::vector<std::string> scenarios;
    std::string workout;
    bool json = false;
    bool quiet = false;
    bool showExpectations = false;
    std::string junit;
    std::string record;
    std::string trace;
};
int runCommand(const RunArgs& a);

// zeph-host trace show|scenario|diff (trace.cpp).
CLI::App* addTraceCommand(CLI::App& app);
int traceCommand();

struct ShellArgs {
    Common common;
    std::string workout;
};
int shellCommand(const ShellArgs& a);

} // namespace zeph::cli
