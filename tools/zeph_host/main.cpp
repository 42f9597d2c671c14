// zeph-host: the bench host that loads a script component module and runs, validates, lets a person
// drive, or soaks it against a simulated facility. Options and output only; the work is in bench/.
#include "cli.h"
#include "report/json.h"
#include "report/junit.h"
#include "report/text.h"
#include "soak/soak.h"
#include "validate/validate.h"
#include "serve_command.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <random>

using namespace zeph::bench;
using namespace zeph::cli;
using namespace zeph::host;

namespace {

// ---- validate
// ------------------------------------------------------------------------------------

// The workout for validate and soak: --workout, else the one beside the module; false (and one
// line) when it cannot be read. Having none is not an error here.
bool workoutFor(const Common& c, const std::string& given, std::optional<Workout>& workout) {
    std::string error;
    workout = findWorkout(c.module, given, error);
    if (!workout && !error.empty()) {
        std::cerr << "zeph-host: " << error << "\n";
        return false;
    }
    return true;
}

std::string noWorkout(const std::string& module) {
    return "no workout (none beside the module as " +
           std::filesystem::path(module).stem().string() + ".workout, and no --workout PATH given)";
}

struct ValidateArgs {
    Common common;
    std::string workout;
    bool list = false;
    std::string onlyText, skipText;
    std::optional<uint64_t> seed;
    int iterations = 2000;
    double timeout = 30;
    std::string junit;
    bool inProcess = false;
};

int validateCommand(const ValidateArgs& a) {
    if (a.list) {
        for (const Check& c : validateChecks()) {
            // The breaches it fails on, or those it leaves to other checks when that is shorter.
            const auto& all = allErrorKinds();
            const bool most = c.kinds.size() * 2 > all.size();
            std::string kinds;
            for (ErrorKind k : all)
                if ((std::find(c.kinds.begin(), c.kinds.end(), k) != c.kinds.end()) != most)
                    kinds += std::string(kinds.empty() ? "" : ", ") + errorKindName(k);
            if (most)
                kinds = "every breach but " + kinds;
            std::printf("%-18s %s%s%s\n", c.name, c.summary,
                        c.needsWorkout ? " [needs the workout]" : "",
                        kinds.empty() ? "" : (" [fails on: " + kinds + "]").c_str());
        }
        return kOk;
    }
    Module module;
    if (!openModule(module, a.common.module))
        return kUsage;
    ValidateOptions o;
    if (!workoutFor(a.common, a.workout, o.workout))
        return kUsage;
    o.basePath = a.common.basePath;
    o.seed = a.seed ? *a.seed : std::random_device{}() % 1000000000u;
    o.iterations = a.iterations;
    o.timeoutSeconds = a.timeout;
    o.only = splitList(a.onlyText);
    o.skip = splitList(a.skipText);
    o.isolate = !a.inProcess;
    const Painter paint(useColour(a.common.colour));
    std::cout << "validate " << a.common.module << "  (seed " << o.seed << ", " << o.iterations
              << " iterations)\n";
    std::cout << "  workout: "
              << (o.workout ? o.workout->path + " (" + std::to_string(o.workout->scenarios.size()) +
                                  " scenarios)"
                            : noWorkout(a.common.module) + ": the checks that need one are skipped")
              << "\n";
    std::string error;
    std::vector<JUnitCase> cases;
    int counts[4] = {0, 0, 0, 0};
    auto results = validate(
        module.factory(), o,
        [&](const CheckResult& r) {
            char line[128];
            std::snprintf(line, sizeof line, "  %-18s ", r.name.c_str());
            const char* code = r.status == CheckResult::Status::Passed    ? "32"
                               : r.status == CheckResult::Status::Skipped ? "33"
                                                                          : "31;1";
            char secs[32];
            std::snprintf(secs, sizeof secs, " %8.3f s", r.seconds);
            std::cout << line << paint(code, statusName(r.status)) << secs << "\n";
            for (const std::string& m : r.messages)
                std::cout << "      "
                          << (r.status == CheckResult::Status::Passed ? paint("2", m) : m) << "\n";
            if (r.name == "random" && r.status != CheckResult::Status::Passed)
                std::cout << "      replay: zeph-host validate " << a.common.module
                          << " --only random --seed " << o.seed << " --iterations " << o.iterations
                          << "\n";
            std::cout.flush();
            ++counts[static_cast<int>(r.status)];
            cases.push_back(junitCase(r));
        },
        error);
    if (!error.empty()) {
        std::cerr << "zeph-host: " << error << "\n";
        return kUsage;
    }
    std::cout << results.size() << " checks: " << counts[0] << " passed, " << counts[1]
              << " failed, " << counts[2] << " crashed, " << counts[3] << " skipped\n";
    if (!a.junit.empty() && !writeJUnit(a.junit, "zeph-host validate", cases)) {
        std::cerr << "zeph-host: cannot write " << a.junit << "\n";
        return kUsage;
    }
    return counts[1] + counts[2] ? kFailed : kOk;
}

// ---- soak
// ----------------------------------------------------------------------------------------

int soakCommand(const Common& c, const std::string& workoutPath, const SoakOptions& options,
                bool json) {
    Module module;
    if (!openModule(module, c.module))
        return kUsage;
    std::optional<Workout> workout;
    if (!workoutFor(c, workoutPath, workout))
        return kUsage;
    if (!workout) {
        std::cerr << "zeph-host: " << c.module << ": " << noWorkout(c.module)
                  << ": the soak deals out the steps of its take\n";
        return kUsage;
    }
    SoakOptions o = options;
    o.basePath = c.basePath;
    const SoakResult r = soak(module.factory(), *workout, o);
    if (!r.error.empty()) {
        std::cerr << "zeph-host: " << workout->path << ": " << r.error << "\n";
        return kUsage;
    }
    if (r.loadFailed) {
        std::cerr << "zeph-host: " << c.module << ": the factory returned null\n";
        return kUsage;
    }
    if (json) {
        std::printf("%s\n", soakJson(r).c_str());
    } else {
        std::printf("soak %s: %d components, %lld notifications sent\n", c.module.c_str(),
                    r.components, r.sent);
        std::printf("  delivered      %zu notifications (facility-caused included), %zu commands\n",
                    r.delivered, r.commands);
        std::printf("  time           %.3f s\n", r.seconds);
        std::printf("  throughput     %.0f notifications/s\n", r.perSecond);
        std::printf("  memory         %.0f heap bytes per component (configured), plus %.0f for "
                    "its bench endpoint and facility\n",
                    r.heapPerComponent, r.hostPerComponent);
        std::printf("  resident       %.0f bytes per component, the bench's part included\n",
                    r.rssPerComponent);
        std::printf("  host errors    %zu\n", r.hostErrors);
    }
    return r.hostErrors ? kFailed : kOk;
}

} // namespace

static int parseAndRun(int argc, char** argv) {
    CLI::App app{"zeph-host: the bench host for script component modules.\n"
                 "Loads a module, plays the panel host against a simulated facility and checks "
                 "the component's traffic."};
    app.require_subcommand(1);

    RunArgs run;
    auto* runCmd = app.add_subcommand(
        "run", "play scenario files (the take of the module's workout when none is given) and "
               "check them");
    addCommon(runCmd, run.common);
    addWorkoutOption(runCmd, run.workout);
    runCmd->add_flag(
        "--capture-stderr", run.common.captureStderr,
        "show what the component writes to stderr in the transcript, per notification");
    runCmd->add_option("SCENARIO", run.scenarios, "scenario files, played in order");
    runCmd->add_flag("--json", run.json, "one JSON object per event instead of the transcript");
    runCmd->add_option("--junit", run.junit, "write a JUnit report to this file");
    runCmd->add_option("--record", run.record,
                       "write the run as a scenario with every expectation filled in");
    runCmd->add_option("--trace", run.trace, "write every call both ways to this trace file");
    runCmd->add_flag("-q,--quiet", run.quiet, "print only failures and the summary");
    runCmd->add_flag("--show-expectations", run.showExpectations,
                     "also print every expectation met");

    ValidateArgs val;
    auto* valCmd = app.add_subcommand("validate", "named host-contract checks, each in a child "
                                                  "process: PASSED, FAILED, CRASHED or SKIPPED");
    addCommon(valCmd, val.common, false);
    addWorkoutOption(valCmd, val.workout);
    valCmd->add_flag("--list", val.list, "name the checks and stop");
    valCmd->add_option("--only", val.onlyText, "run only these checks (comma-separated)");
    valCmd->add_option("--skip", val.skipText, "leave these checks out (comma-separated)");
    valCmd->add_option("--seed", val.seed, "seed of the random run (printed; replays a failure)");
    valCmd->add_option("--iterations", val.iterations, "notifications in the random run")
        ->check(CLI::Range(1, 100000000));
    valCmd->add_option("--timeout", val.timeout, "time limit of each check in seconds")
        ->check(CLI::Range(0.1, 86400.0));
    valCmd->add_option("--junit", val.junit, "write a JUnit report to this file");
    valCmd->add_flag("--in-process", val.inProcess,
                     "run the checks in this process (for a debugger; a crash ends the bench)");

    ShellArgs shell;
    auto* shellCmd =
        app.add_subcommand("shell", "type scenario steps one by one, transcript after each");
    addCommon(shellCmd, shell.common);
    addWorkoutOption(shellCmd, shell.workout);
    shellCmd->add_flag(
        "--capture-stderr", shell.common.captureStderr,
        "show what the component writes to stderr in the transcript, per notification");

    Common soakCommon;
    std::string soakWorkout;
    SoakOptions soakOptions;
    bool soakJson = false;
    auto* soakCmd = app.add_subcommand(
        "soak", "N components under one host, M notifications: throughput and memory");
    addCommon(soakCmd, soakCommon);
    addWorkoutOption(soakCmd, soakWorkout);
    soakCmd->add_option("--components", soakOptions.components, "components to create")
        ->check(CLI::Range(1, 1000000));
    soakCmd
        ->add_option("--notifications", soakOptions.notifications, "notifications spread over them")
        ->check(CLI::Range(0LL, 1000000000000LL));
    soakCmd->add_flag("--json", soakJson, "print the figures as one JSON object");

    zeph::cli::ServeArgs serve;
    auto* serveCmd = zeph::cli::addServeCommand(app, serve);
    auto* traceCmd = addTraceCommand(app);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kUsage;
    }
    if (*runCmd)
        return runCommand(run);
    if (*valCmd)
        return validateCommand(val);
    if (*shellCmd)
        return shellCommand(shell);
    if (*serveCmd)
        return zeph::cli::serveCommand(serve);
    if (*traceCmd)
        return traceCommand();
    return soakCommand(soakCommon, soakWorkout, soakOptions, soakJson);
}

int main(int argc, char** argv) {
    // Nothing below should throw; if it does, one line rather than an abort.
    try {
        return parseAndRun(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "zeph-host: " << e.what() << "\n";
    } catch (...) {
        std::cerr << "zeph-host: unexpected failure\n";
    }
    return kUsage;
}
