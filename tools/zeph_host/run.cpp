// zeph-host run: plays scenario files, or the take of the module's workout, and checks them.
#include "cli.h"
#include "report/json.h"
#include "report/junit.h"
#include "report/text.h"
#include "scenario/scenario.h"
#include "trace/bench_tap.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>

namespace zeph::cli {

using namespace zeph::bench;

namespace {
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
} // namespace

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

    // With --trace every call both ways also goes to the file, through a tap around the factory.
    trace::BenchTap tap;
    zeph_factory_fn factory = module.factory();
    if (!a.trace.empty()) {
        std::string error;
        if (!tap.open(a.trace, a.common.module, error)) {
            std::cerr << "zeph-host: " << error << "\n";
            return kUsage;
        }
        factory = tap.wrap(factory);
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
    if (!a.trace.empty()) // what the component wrote (--capture-stderr) goes to the trace too
        sink = [&tap, shown = sink](const Event& e) {
            if (e.kind == Event::Kind::Debug)
                tap.debug(e.text);
            shown(e);
        };

    std::vector<JUnitCase> cases;
    int failed = 0;
    for (const Scenario& s : scenarios) {
        if (!a.json && !a.quiet)
            std::cout << "== " << s.file << "\n";
        Runner runner(factory, RunOptions{a.common.basePath, true}, sink);
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
    if (!a.trace.empty() && !tap.intact())
        std::cerr << "zeph-host: " << a.trace << " is incomplete: writing it failed\n";
    if (!a.json && scenarios.size() > 1)
        std::cout << scenarios.size() - failed << " passed, " << failed << " failed\n";
    return failed ? kFailed : kOk;
}

} // namespace zeph::cli
