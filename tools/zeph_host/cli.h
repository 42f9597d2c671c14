// What the subcommands of zeph-host share: exit codes, the options each is given, the entry each
// runs, loading the module and finding its workout. main.cpp alone knows the command line (CLI11):
// its templates cost seconds of compile time in every file that includes them.
#pragma once

#include "module_loader.h"
#include "soak/soak.h"
#include "workout/workout.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
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

// Each subcommand's options as parsed, and the entry that runs it with them: the exit code.
struct RunArgs {
    Common common;
    std::vector<std::string> scenarios;
    std::string workout;
    bool json = false;
    bool quiet = false;
    bool showExpectations = false;
    std::string junit;
    std::string record;
    bool inProcess = false;
    bool strict = false;
    std::string trace;
    double timeout = 60; // each scenario's, in seconds
};
int runCommand(const RunArgs& a);

struct ValidateArgs {
    Common common;
    std::string workout;
    bool list = false;
    bool json = false;
    std::string onlyText, skipText;
    std::optional<uint64_t> seed;
    int iterations = 2000;
    double timeout = 30;
    std::string junit;
    bool inProcess = false;
};
int validateCommand(const ValidateArgs& a);

struct ShellArgs {
    Common common;
    std::string workout;
    std::string record;
};
int shellCommand(const ShellArgs& a);

struct SoakArgs {
    Common common;
    std::string workout;
    std::string facility; // a facility scenario: its instances are soaked, options.facilities of it
    bench::SoakOptions options;
    bool json = false;
    double timeout = 0; // seconds; 0: none
};
int soakCommand(const SoakArgs& a);

struct ServeArgs {
    Common common;
    std::vector<std::string> scenarios;
    std::string workout;
    std::string trace;
    std::string bind = "127.0.0.1";
    int port = 0;
    bool open = false;
    bool noToken = false;
};
int serveCommand(const ServeArgs& a);

struct TraceArgs {
    enum class Action { Show, Scenario, Diff } action = Action::Show;
    std::string file, other, out;
    bool replies = false; // diff: the host's replies to commands are compared too
    bool json = false;
};
int traceCommand(const TraceArgs& a);

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
// What plays one instance at a time cannot play a facility of several: true, with one line on
// stderr naming the first scenario that names instances and why, rather than a misplay.
bool refuseInstances(const std::vector<bench::Scenario>& scenarios, const std::string& why);

// The modules that load lines name (module=STEM): beside the run's own, with its suffix (or with
// their own: module=Probe.so joins a facility of DLLs natively), each opened once, when first
// named, by every player alike. A Windows DLL is opened into the one
// bridge of this process, as the run's own is; the run's own stem is the run's module itself
// (own), not a second copy of it.
class ModuleShelf {
public:
    explicit ModuleShelf(std::string runModule, const host::Module* own = nullptr)
        : m_runModule(std::move(runModule)), m_own(own) {}
    // Its factory; a null source, with the reason in error, when it cannot be opened.
    host::ComponentSource find(const std::string& stem, std::string& error);
    // The file module=STEM names.
    std::string pathOf(const std::string& stem) const;
    // Opens every module the scenarios' load lines name: false, with one line on stderr naming the
    // file and line, at the first that cannot be opened.
    bool openNamed(const std::vector<bench::Scenario>& scenarios);
    // find() as the runner's options take it; the shelf must outlive its use.
    std::function<host::ComponentSource(const std::string&, std::string&)> finder();
    // The factory the run's own module is found as from now on (its traced one, with --trace), so
    // that an instance naming it is created as an unnamed one is.
    void replaceOwn(zeph_factory_fn factory) { m_ownFactory = factory; }

private:
    std::string m_runModule;
    const host::Module* m_own;
    zeph_factory_fn m_ownFactory = nullptr;
    std::map<std::string, std::unique_ptr<host::Module>> m_opened; // by file
};

} // namespace zeph::cli
