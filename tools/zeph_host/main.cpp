// zeph-host: the bench host that loads a script component module and runs, validates, lets a person
// drive, or soaks it against a simulated facility. Options and output only; the work is in host/.
#include "module_loader.h"
#include "scenario/scenario.h"
#include "soak/soak.h"
#include "report/transcript.h"
#include "validate/validate.h"
#include "workout/workout.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <unistd.h>

using namespace zeph::bench;
using namespace zeph::host;

namespace {

constexpr int kOk = 0, kFailed = 1, kUsage = 2;

struct Common {
    std::string module;
    std::string basePath;
    std::string colour = "auto";
    bool captureStderr = false;
};

std::vector<std::string> splitList(const std::string& text) {
    std::vector<std::string> items;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = std::min(text.find(',', start), text.size());
        if (end > start)
            items.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return items;
}

bool useColour(const std::string& mode) {
    if (mode == "always")
        return true;
    if (mode == "never")
        return false;
    const char* term = std::getenv("TERM");
    return isatty(STDOUT_FILENO) && !std::getenv("NO_COLOR") && term && std::string(term) != "dumb";
}

// Loads the module and finds its factory; one line on stderr when that fails.
bool openModule(Module& module, const std::string& path) {
    if (path.empty()) {
        std::cerr << "zeph-host: no module given\n";
        return false;
    }
    if (!module.open(path)) {
        std::cerr << "zeph-host: " << module.error() << "\n";
        return false;
    }
    return true;
}

void addCommon(CLI::App* app, Common& c, bool moduleRequired = true) {
    auto* opt = app->add_option("MODULE", c.module, "the component module (.so) to load");
    if (moduleRequired)
        opt->required();
    app->add_option("--base-path", c.basePath, "base path given to the factory (default empty)");
    app->add_option("--color", c.colour, "colour the transcript: auto, always or never")
        ->check(CLI::IsMember({"auto", "always", "never"}));
}

// ---- run
// -----------------------------------------------------------------------------------------

struct RunArgs {
    Common common;
    std::vector<std::string> scenarios;
    bool json = false;
    bool quiet = false;
    bool showExpectations = false;
    std::string junit;
    std::string record;
};

int runCommand(const RunArgs& a) {
    std::vector<Scenario> scenarios;
    std::string error;
    if (a.scenarios.empty()) {
        scenarios.push_back(*parseScenario(builtinTakeScenario(), "built-in take", error));
    }
    for (const std::string& path : a.scenarios) {
        auto s = loadScenario(path, error);
        if (!s) {
            std::cerr << "zeph-host: " << error << "\n";
            return kUsage;
        }
        scenarios.push_back(std::move(*s));
    }
    if (!a.record.empty() && scenarios.size() != 1) {
        std::cerr << "zeph-host: --record takes exactly one scenario\n";
        return kUsage;
    }
    Module module;
    if (!openModule(module, a.common.module))
        return kUsage;

    TextTranscript text(std::cout, useColour(a.common.colour), a.showExpectations);
    JsonTranscript json(std::cout);
    EventSink sink;
    if (a.json)
        sink = [&](const Event& e) { json(e); };
    else if (!a.quiet)
        sink = [&](const Event& e) { text(e); };
    else
        sink = [&](const Event& e) {
            if (e.kind == Event::Kind::Failure)
                text(e);
        };

    std::vector<JUnitCase> cases;
    int failed = 0;
    for (const Scenario& s : scenarios) {
        if (!a.json && !a.quiet)
            std::cout << "== " << s.file << "\n";
        Runner runner(module.factory(), RunOptions{a.common.basePath, true}, sink);
        runner.facility().setCaptureDebug(a.common.captureStderr);
        const auto start = std::chrono::steady_clock::now();
        RunResult r = runner.run(s);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (r.loadFailed) {
            std::cerr << "zeph-host: " << a.common.module
                      << ": the factory returned null; no component to run\n";
            return kUsage;
        }
        if (!a.record.empty()) {
            std::ofstream out(a.record, std::ios::binary);
            out << runner.recording();
            if (!out) {
                std::cerr << "zeph-host: cannot write " << a.record << "\n";
                return kUsage;
            }
        }
        failed += !r.ok();
        if (a.json) {
            std::cout << summaryJson(s.file, r.expectations, r.failures) << "\n";
        } else {
            std::cout << (r.ok() ? "PASSED " : "FAILED ") << s.file << ": " << r.expectations
                      << " expectations, " << r.failures.size() << " failed\n";
            for (const std::string& f : r.failures)
                std::cout << "  " << f << "\n";
        }
        cases.push_back(JUnitCase{s.file, "zeph-host.run", seconds, r.failures, false, ""});
    }
    if (!a.junit.empty() && !writeJUnit(a.junit, "zeph-host run", cases)) {
        std::cerr << "zeph-host: cannot write " << a.junit << "\n";
        return kUsage;
    }
    if (!a.json && scenarios.size() > 1)
        std::cout << scenarios.size() - failed << " passed, " << failed << " failed\n";
    return failed ? kFailed : kOk;
}

// ---- validate
// ------------------------------------------------------------------------------------

// The component's workout for validate and soak: the one given, else the one beside the module.
// False (and one line on stderr) when a workout is there but cannot be read; none is not an error.
bool findWorkout(const std::string& given, const std::string& module,
                 std::optional<Workout>& workout) {
    const std::string path = given.empty() ? workoutBeside(module) : given;
    if (path.empty())
        return true;
    std::string error;
    workout = loadWorkout(path, error);
    if (!workout)
        std::cerr << "zeph-host: " << error << "\n";
    return workout.has_value();
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
            const auto& all = zeph::host::allErrorKinds();
            const bool most = c.kinds.size() * 2 > all.size();
            std::string kinds;
            for (zeph::host::ErrorKind k : all)
                if ((std::find(c.kinds.begin(), c.kinds.end(), k) != c.kinds.end()) != most)
                    kinds += std::string(kinds.empty() ? "" : ", ") + zeph::host::errorKindName(k);
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
    if (!findWorkout(a.workout, a.common.module, o.workout))
        return kUsage;
    o.basePath = a.common.basePath;
    o.seed = a.seed ? *a.seed : std::random_device{}() % 1000000000u;
    o.iterations = a.iterations;
    o.timeoutSeconds = a.timeout;
    o.only = splitList(a.onlyText);
    o.skip = splitList(a.skipText);
    o.isolate = !a.inProcess;
    const bool colour = useColour(a.common.colour);
    auto paint = [&](const char* code, const std::string& t) {
        return colour ? std::string("\x1b[") + code + "m" + t + "\x1b[0m" : t;
    };
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
            JUnitCase c{r.name, "zeph-host.validate", r.seconds, {}, false, ""};
            if (r.status == CheckResult::Status::Skipped) {
                c.skipped = true;
                c.output = r.messages.empty() ? std::string() : r.messages.front();
            } else if (r.status != CheckResult::Status::Passed) {
                c.failures = r.messages;
                c.failures.insert(c.failures.begin(), std::string(statusName(r.status)));
                c.error = r.status == CheckResult::Status::Crashed;
            } else {
                for (const std::string& m : r.messages)
                    c.output += m + "\n";
            }
            cases.push_back(std::move(c));
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

// ---- shell
// ---------------------------------------------------------------------------------------

const char* const kShellHelp = R"(Type scenario lines one at a time; the transcript follows each.
  facility: name NAME DEV [OFFSET] | db DEV DB INDEX TEXT | source DEV SRC NAME
            router DEV [delay MS | drop [N|all] | normal] | control PANEL CONTROL [P=V ...]
            panel-file FILE
  steps:    load [BASE-PATH] | unload | parent TEXT | press PANEL CONTROL [EVENT]
            revertive DEV INDEX TEXT | dbchange DEV DB INDEX TEXT | route DEV SRC DEST
            tick ID | advance MS | raw TYPE [TEXT] | skip
  checks:   expect COMMAND | expect-none | expect-parent TEXT | answer "TEXT" | answer none
  shell:    help | quit      (expectations are about the step typed just before them)
)";

int shellCommand(const Common& c) {
    Module module;
    if (!openModule(module, c.module))
        return kUsage;
    TextTranscript text(std::cout, useColour(c.colour), true);
    Runner runner(module.factory(), RunOptions{c.basePath, true}, [&](const Event& e) { text(e); });
    runner.facility().setCaptureDebug(c.captureStderr);
    // Start where a panel designer wants to be: the built-in facility, the component created.
    std::string error;
    auto builtin = parseScenario(builtinTakeScenario(), "built-in", error);
    for (const Step& step : builtin->steps) {
        runner.play(step, "built-in");
        if (step.kind == Step::Kind::Load)
            break;
    }
    if (runner.result().loadFailed) {
        std::cerr << "zeph-host: " << c.module << ": the factory returned null\n";
        return kUsage;
    }
    const bool interactive = isatty(STDIN_FILENO);
    std::cout << "zeph-host shell on " << c.module
              << ": the built-in facility is in place and the component created; "
                 "'help' lists the steps.\n";
    std::string line;
    int number = 0;
    for (;;) {
        if (interactive)
            std::cout << "zeph> " << std::flush;
        if (!std::getline(std::cin, line))
            break;
        ++number;
        if (line == "quit" || line == "exit")
            break;
        if (line == "help") {
            std::cout << kShellHelp;
            continue;
        }
        auto step = parseLine(line, number, error);
        if (!step) {
            std::cout << "line " << number << ": " << error << "\n";
            continue;
        }
        // Expectations typed at the prompt are about the step just before them.
        if (!isExpectation(step->kind) && step->kind != Step::Kind::Comment)
            runner.forgetSent();
        runner.play(*step, "shell");
        std::cout.flush();
    }
    runner.finish();
    const RunResult& r = runner.result();
    std::cout << "\n" << r.expectations << " expectations, " << r.failures.size() << " failed\n";
    return r.ok() ? kOk : kFailed;
}

// ---- soak
// ----------------------------------------------------------------------------------------

int soakCommand(const Common& c, const std::string& workoutPath, const SoakOptions& options,
                bool json) {
    Module module;
    if (!openModule(module, c.module))
        return kUsage;
    std::optional<Workout> workout;
    if (!findWorkout(workoutPath, c.module, workout))
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
        std::printf(
            "{\"components\":%d,\"notifications_sent\":%lld,\"notifications_delivered\":%zu,"
            "\"commands\":%zu,\"seconds\":%.6f,\"notifications_per_second\":%.0f,"
            "\"heap_bytes_per_component\":%.0f,\"host_heap_bytes_per_component\":%.0f,"
            "\"rss_bytes_per_component\":%.0f,\"host_errors\":%zu}\n",
            r.components, r.sent, r.delivered, r.commands, r.seconds, r.perSecond,
            r.heapPerComponent, r.hostPerComponent, r.rssPerComponent, r.hostErrors);
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

int main(int argc, char** argv) {
    CLI::App app{"zeph-host: the bench host for script component modules.\n"
                 "Loads a module, plays the panel host against a simulated facility and checks "
                 "the component's traffic."};
    app.require_subcommand(1);

    RunArgs run;
    auto* runCmd = app.add_subcommand(
        "run", "play scenario files (the built-in take when none is given) and check them");
    addCommon(runCmd, run.common);
    runCmd->add_flag(
        "--capture-stderr", run.common.captureStderr,
        "show what the component writes to stderr in the transcript, per notification");
    runCmd->add_option("SCENARIO", run.scenarios, "scenario files, played in order");
    runCmd->add_flag("--json", run.json, "one JSON object per event instead of the transcript");
    runCmd->add_option("--junit", run.junit, "write a JUnit report to this file");
    runCmd->add_option("--record", run.record,
                       "write the run as a scenario with every expectation filled in");
    runCmd->add_flag("-q,--quiet", run.quiet, "print only failures and the summary");
    runCmd->add_flag("--show-expectations", run.showExpectations,
                     "also print every expectation met");

    ValidateArgs val;
    auto* valCmd = app.add_subcommand("validate", "named host-contract checks, each in a child "
                                                  "process: PASSED, FAILED, CRASHED or SKIPPED");
    addCommon(valCmd, val.common, false);
    valCmd->add_option("--workout", val.workout,
                       "the component's workout: a folder of .zs files or one file (default: "
                       "STEM.workout beside the module)");
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

    Common shell;
    auto* shellCmd =
        app.add_subcommand("shell", "type scenario steps one by one, transcript after each");
    addCommon(shellCmd, shell);
    shellCmd->add_flag(
        "--capture-stderr", shell.captureStderr,
        "show what the component writes to stderr in the transcript, per notification");

    Common soakCommon;
    SoakOptions soakOptions;
    bool soakJson = false;
    std::string soakWorkout;
    auto* soakCmd = app.add_subcommand(
        "soak", "N components under one host, M notifications: throughput and memory");
    addCommon(soakCmd, soakCommon);
    soakCmd->add_option("--components", soakOptions.components, "components to create")
        ->check(CLI::Range(1, 1000000));
    soakCmd
        ->add_option("--notifications", soakOptions.notifications, "notifications spread over them")
        ->check(CLI::Range(0LL, 1000000000000LL));
    soakCmd->add_flag("--json", soakJson, "print the figures as one JSON object");
    soakCmd->add_option("--workout", soakWorkout,
                        "the component's workout, whose take is dealt out (default: STEM.workout "
                        "beside the module)");

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
    return soakCommand(soakCommon, soakWorkout, soakOptions, soakJson);
}
