// zeph-host run: plays scenario files, or the take of the module's workout, and checks them.
#include "cli.h"
#include "report/json.h"
#include "report/junit.h"
#include "report/text.h"
#include "scenario/scenario.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>

namespace zeph::cli {

using namespace zeph::bench;

namespace {

struct RunArgs {
    Common common;
    std::vector<std::string> scenarios;
    std::string workout;
    bool json = false;
    bool quiet = false;
    bool showExpectations = false;
    std::string junit;
    std::string record;
};

// The take of the module's workout, or one line on stderr saying why there is none.
std::optional<Scenario> findTake(const RunArgs& a) {
    std::string error;
    auto take = workoutTake(a.common.module, a.workout, error);
    if (!take && error.empty()) {
        const std::filesystem::path module(a.common.module);
        error = a.common.module + ": no scenario given and no workout to take one from (" +
                module.stem().string() + ".workout beside the module, or --workout PATH)";
    }
    if (!take)
        std::cerr << "zeph-host: " << error << "\n";
    return take;
}

int runCommand(const RunArgs& a) {
    std::vector<Scenario> scenarios;
    if (!loadScenarios(a.scenarios, scenarios))
        return kUsage;
    if (!a.record.empty() && scenarios.size() > 1) {
        std::cerr << "zeph-host: --record takes exactly one scenario\n";
        return kUsage;
    }
    host::Module module;
    if (!openModule(module, a.common.module))
        return kUsage;
    if (scenarios.empty()) {
        auto take = findTake(a);
        if (!take)
            return kUsage;
        scenarios.push_back(std::move(*take));
    }

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
        cases.push_back(junitCase(s.file, seconds, r));
    }
    if (!a.junit.empty() && !writeJUnit(a.junit, "zeph-host run", cases)) {
        std::cerr << "zeph-host: cannot write " << a.junit << "\n";
        return kUsage;
    }
    if (!a.json && scenarios.size() > 1)
        std::cout << scenarios.size() - failed << " passed, " << failed << " failed\n";
    return failed ? kFailed : kOk;
}

} // namespace

Subcommand addRun(CLI::App& app) {
    auto a = std::make_shared<RunArgs>();
    CLI::App* cmd = app.add_subcommand(
        "run", "play scenario files (the take of the module's workout when none is given) and "
               "check them");
    addCommon(cmd, a->common);
    addWorkoutOption(cmd, a->workout);
    addCaptureStderr(cmd, a->common);
    cmd->add_option("SCENARIO", a->scenarios, "scenario files, played in order");
    cmd->add_flag("--json", a->json, "one JSON object per event instead of the transcript");
    cmd->add_option("--junit", a->junit, "write a JUnit report to this file");
    cmd->add_option("--record", a->record,
                    "write the run as a scenario with every expectation filled in");
    cmd->add_flag("-q,--quiet", a->quiet, "print only failures and the summary");
    cmd->add_flag("--show-expectations", a->showExpectations, "also print every expectation met");
    return {cmd, [a] { return runCommand(*a); }};
}

} // namespace zeph::cli
