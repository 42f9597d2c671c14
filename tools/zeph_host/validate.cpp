// zeph-host validate: the named host-contract checks, each in a child process, printed as they
// finish or as one JSON document.
#include "cli.h"
#include "report/checks.h"
#include "report/junit.h"

#include <iostream>
#include <memory>
#include <random>

namespace zeph::cli {

using namespace zeph::bench;

namespace {

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

int validateCommand(const ValidateArgs& a) {
    if (a.list) {
        printCheckList(std::cout);
        return kOk;
    }
    host::Module module;
    ValidateOptions o;
    if (!openWithWorkout(a.common, a.workout, module, o.workout))
        return kUsage;
    o.basePath = a.common.basePath;
    o.seed = a.seed ? *a.seed : std::random_device{}() % 1000000000u;
    o.iterations = a.iterations;
    o.timeoutSeconds = a.timeout;
    o.only = splitList(a.onlyText);
    o.skip = splitList(a.skipText);
    o.isolate = !a.inProcess;
    const Painter paint(useColour(a.common.colour));
    if (!a.json)
        printValidateHeader(std::cout, a.common.module, o);
    std::string error;
    const auto results = validate(
        module.factory(), o,
        [&](const CheckResult& r) {
            if (!a.json)
                printCheck(std::cout, paint, r, a.common.module, o);
        },
        error);
    if (!error.empty()) {
        std::cerr << "zeph-host: " << error << "\n";
        return kUsage;
    }
    std::cout << (a.json ? validateJson(a.common.module, o, results) : checkCounts(results))
              << "\n";
    std::vector<JUnitCase> cases;
    bool failed = false;
    for (const CheckResult& r : results) {
        cases.push_back(junitCase(r));
        failed |=
            r.status == CheckResult::Status::Failed || r.status == CheckResult::Status::Crashed;
    }
    if (!a.junit.empty() && !writeJUnit(a.junit, "zeph-host validate", cases)) {
        std::cerr << "zeph-host: cannot write " << a.junit << "\n";
        return kUsage;
    }
    return failed ? kFailed : kOk;
}

} // namespace

Subcommand addValidate(CLI::App& app) {
    auto a = std::make_shared<ValidateArgs>();
    CLI::App* cmd = app.add_subcommand("validate", "named host-contract checks, each in a child "
                                                   "process: PASSED, FAILED, CRASHED or SKIPPED");
    addCommon(cmd, a->common, false);
    addWorkoutOption(cmd, a->workout);
    cmd->add_flag("--list", a->list, "name the checks and stop");
    cmd->add_option("--only", a->onlyText, "run only these checks (comma-separated)");
    cmd->add_option("--skip", a->skipText, "leave these checks out (comma-separated)");
    cmd->add_option("--seed", a->seed, "seed of the random run (printed; replays a failure)");
    cmd->add_option("--iterations", a->iterations, "notifications in the random run")
        ->check(CLI::Range(1, 100000000));
    cmd->add_option("--timeout", a->timeout, "time limit of each check in seconds")
        ->check(CLI::Range(0.1, 86400.0));
    cmd->add_option("--junit", a->junit, "write a JUnit report to this file");
    cmd->add_flag("--json", a->json,
                  "print the checks as one JSON document (name, status, reason, seconds, seed)");
    cmd->add_flag("--in-process", a->inProcess,
                  "run the checks in this process (for a debugger; a crash ends the bench)");
    return {cmd, [a] { return validateCommand(*a); }};
}

} // namespace zeph::cli
