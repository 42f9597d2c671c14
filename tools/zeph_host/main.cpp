// zeph-host: the bench CLI that loads a script component module and runs, validates, lets a person
// drive, soaks or serves it against a simulated facility. This file is the command line: every
// subcommand's options and help texts, parsed by CLI11 in this one translation unit; each
// subcommand's work is one file of this folder (run.cpp, validate.cpp, ...) over bench/.
#include "cli.h"
#include "isolate/process_guard.h"

#include <CLI/CLI.hpp>

#include <iostream>

using namespace zeph::cli;

namespace {

// MODULE, --base-path and --color.
void addCommon(CLI::App* app, Common& c, bool moduleRequired = true) {
    auto* opt = app->add_option(
        "MODULE", c.module,
        "the component module to load: a .so, or a 32-bit Windows DLL (run under Wine)");
    if (moduleRequired)
        opt->required();
    app->add_option("--base-path", c.basePath, "base path given to the factory (default empty)");
    app->add_option("--color", c.colour, "colour the transcript: auto, always or never")
        ->check(CLI::IsMember({"auto", "always", "never"}));
}

// --capture-stderr, for the subcommands that show a transcript.
void addCaptureStderr(CLI::App* app, Common& c) {
    app->add_flag("--capture-stderr", c.captureStderr,
                  "show what the component writes to stderr in the transcript, per notification");
}

// --workout PATH, for the subcommands that play the component's workout.
void addWorkoutOption(CLI::App* app, std::string& path) {
    app->add_option("--workout", path,
                    "the component's workout (a folder of .zs files or one file); by default "
                    "STEM.workout beside the module");
}

CLI::App* addRun(CLI::App& app, RunArgs& a) {
    CLI::App* cmd = app.add_subcommand(
        "run", "play scenario files (the take of the module's workout when none is given) and "
               "check them");
    addCommon(cmd, a.common);
    addWorkoutOption(cmd, a.workout);
    addCaptureStderr(cmd, a.common);
    cmd->add_option("SCENARIO", a.scenarios, "scenario files, played in order");
    cmd->add_flag("--json", a.json, "one JSON object per event instead of the transcript");
    cmd->add_option("--junit", a.junit, "write a JUnit report to this file");
    cmd->add_option("--record", a.record,
                    "write the run as a scenario with every expectation filled in");
    cmd->add_option("--trace", a.trace,
                    "write every call both ways to this trace file (plays the scenarios in this "
                    "process)");
    cmd->add_flag("-q,--quiet", a.quiet, "print only failures and the summary");
    cmd->add_flag("--show-expectations", a.showExpectations, "also print every expectation met");
    cmd->add_flag("--strict", a.strict,
                  "fail on a text put to a control no `control` line declares (else a warning)");
    cmd->add_flag("--in-process", a.inProcess,
                  "play the scenarios in this process (for a debugger; a crash ends the bench)");
    cmd->add_option("--timeout", a.timeout,
                    "time limit of each scenario in seconds (default 60; not with --in-process "
                    "or --trace)")
        ->check(CLI::Range(0.1, 86400.0));
    return cmd;
}

CLI::App* addValidate(CLI::App& app, ValidateArgs& a) {
    CLI::App* cmd = app.add_subcommand("validate", "named host-contract checks, each in a child "
                                                   "process: PASSED, FAILED, CRASHED or SKIPPED");
    addCommon(cmd, a.common, false);
    addWorkoutOption(cmd, a.workout);
    cmd->add_flag("--list", a.list, "name the checks and stop");
    cmd->add_option("--only", a.onlyText, "run only these checks (comma-separated)");
    cmd->add_option("--skip", a.skipText, "leave these checks out (comma-separated)");
    cmd->add_option("--seed", a.seed, "seed of the random run (printed; replays a failure)");
    cmd->add_option("--iterations", a.iterations, "notifications in the random run")
        ->check(CLI::Range(1, 100000000));
    cmd->add_option("--timeout", a.timeout, "time limit of each check in seconds")
        ->check(CLI::Range(0.1, 86400.0));
    cmd->add_option("--junit", a.junit, "write a JUnit report to this file");
    cmd->add_flag("--json", a.json,
                  "print the checks as one JSON document (name, status, reason, seconds, seed)");
    cmd->add_flag("--in-process", a.inProcess,
                  "run the checks in this process (for a debugger; a crash ends the bench)");
    return cmd;
}

CLI::App* addShell(CLI::App& app, ShellArgs& a) {
    CLI::App* cmd =
        app.add_subcommand("shell", "type scenario steps one by one, transcript after each");
    addCommon(cmd, a.common);
    addWorkoutOption(cmd, a.workout);
    addCaptureStderr(cmd, a.common);
    cmd->add_option("--record", a.record,
                    "write the session, from the take's lines on, as a scenario with every "
                    "expectation filled in");
    return cmd;
}

CLI::App* addSoak(CLI::App& app, SoakArgs& a) {
    CLI::App* cmd = app.add_subcommand(
        "soak", "N components under one recording host, M notifications: throughput and memory");
    addCommon(cmd, a.common);
    addWorkoutOption(cmd, a.workout);
    auto* components = cmd->add_option("--components", a.options.components, "components to create")
                           ->check(CLI::Range(1, 1000000));
    auto* facility = cmd->add_option("--facility", a.facility,
                                     "soak a facility scenario's instances instead (each on its "
                                     "module's take; load lines may name module=)")
                         ->check(CLI::ExistingFile)
                         ->excludes(components);
    cmd->add_option("--facilities", a.options.facilities,
                    "copies of the --facility to soak, each with its own routers, database and "
                    "clock (default 1)")
        ->check(CLI::Range(1, 1000000))
        ->needs(facility);
    cmd->add_option("--notifications", a.options.notifications, "notifications spread over them")
        ->check(CLI::Range(0LL, 1000000000000LL));
    cmd->add_flag("--json", a.json, "print the figures as one JSON object");
    cmd->add_option("--timeout", a.timeout,
                    "time limit of the whole soak in seconds (default none)")
        ->check(CLI::Range(0.1, 86400.0));
    return cmd;
}

CLI::App* addServe(CLI::App& app, ServeArgs& a) {
    CLI::App* cmd = app.add_subcommand(
        "serve", "a live panel page in the browser: press, send, route and watch the component");
    addCommon(cmd, a.common, false);
    cmd->add_option("SCENARIO", a.scenarios,
                    "scenario files whose facility and steps the session starts from (default: "
                    "the module's workout take)");
    addWorkoutOption(cmd, a.workout);
    cmd->add_option("--trace", a.trace,
                    "show this trace file instead (no MODULE): the panel at any call, the "
                    "timeline, the scenario to download; nothing is played");
    cmd->add_option("--port", a.port, "port to listen on (default: any free one, printed)")
        ->check(CLI::Range(0, 65535));
    cmd->add_option("--bind", a.bind,
                    "address to listen on (default 127.0.0.1, this machine only)");
    addCaptureStderr(cmd, a.common);
    cmd->add_flag("--open", a.open, "open the page in the desktop's browser");
    cmd->add_flag("--no-token", a.noToken,
                  "answer any local client without the session's token (loopback addresses "
                  "only: every program and user of this machine can then drive the bench)");
    return cmd;
}

// trace show|scenario|diff: which of the three was given is read back from the parse.
struct TraceCommands {
    CLI::App *trace, *show, *scenario, *diff;
};

TraceCommands addTrace(CLI::App& app, TraceArgs& a) {
    TraceCommands t{};
    t.trace = app.add_subcommand("trace", "read trace files written by the tap or by run --trace");
    t.trace->require_subcommand(1);
    t.show = t.trace->add_subcommand("show", "the session as a transcript, with times and threads");
    t.show->add_option("FILE", a.file, "the trace file")->required();
    t.show->add_flag("--json", a.json, "one JSON object per call (the header first)");
    t.scenario = t.trace->add_subcommand(
        "scenario", "the session as a scenario that zeph-host run replays against any build");
    t.scenario->add_option("FILE", a.file, "the trace file")->required();
    t.scenario->add_option("-o,--output", a.out, "the scenario file to write")->required();
    t.diff = t.trace->add_subcommand(
        "diff", "the first call where two traces part in what the component did (exit 1)");
    t.diff->add_option("A", a.file, "a trace file")->required();
    t.diff->add_option("B", a.other, "another trace file")->required();
    t.diff->add_flag("--replies", a.replies,
                     "the host's replies to commands must agree too (a field host's and the "
                     "bench's differ)");
    return t;
}

int parseAndRun(int argc, char** argv) {
    CLI::App app{"zeph-host: the bench CLI for script component modules.\n"
                 "Loads a module, plays the panel host against a simulated facility and checks "
                 "the component's traffic."};
    app.require_subcommand(1);
    RunArgs run;
    ValidateArgs validate;
    ShellArgs shell;
    SoakArgs soak;
    ServeArgs serve;
    TraceArgs trace;
    const CLI::App* runCmd = addRun(app, run);
    const CLI::App* validateCmd = addValidate(app, validate);
    const CLI::App* shellCmd = addShell(app, shell);
    const CLI::App* soakCmd = addSoak(app, soak);
    const CLI::App* serveCmd = addServe(app, serve);
    const TraceCommands traceCmds = addTrace(app, trace);
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
    // What the component may do to this process (fork, write to stdout, exit) is kept from
    // spoiling the verdict of the subcommands that give one.
    if (*runCmd || *validateCmd || *soakCmd) {
        zeph::bench::guardForks();
        zeph::bench::guardStdout();
        zeph::bench::guardExit();
    }
    if (*runCmd)
        return runCommand(run);
    if (*validateCmd)
        return validateCommand(validate);
    if (*shellCmd)
        return shellCommand(shell);
    if (*soakCmd)
        return soakCommand(soak);
    if (*serveCmd)
        return serveCommand(serve);
    if (*traceCmds.trace) {
        trace.action = *traceCmds.show       ? TraceArgs::Action::Show
                       : *traceCmds.scenario ? TraceArgs::Action::Scenario
                                             : TraceArgs::Action::Diff;
        return traceCommand(trace);
    }
    return kUsage;
}

} // namespace

int main(int argc, char** argv) {
    int code = kUsage;
    // Nothing below should throw; if it does, one line rather than an abort.
    try {
        code = parseAndRun(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "zeph-host: " << e.what() << "\n";
    } catch (...) {
        std::cerr << "zeph-host: unexpected failure\n";
    }
    zeph::bench::benchDone();
    return code;
}
