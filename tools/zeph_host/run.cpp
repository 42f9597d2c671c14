// zeph-host run: plays scenario files, or the take of the module's workout, and checks them; each
// scenario in a child process of its own, so that a crash is one failure and the rest still run.
#include "cli.h"
#include "isolate/scenario_run.h"
#include "report/json.h"
#include "report/junit.h"
#include "report/text.h"
#include "scenario/scenario.h"
#include "trace/bench_tap.h"

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

// Whether the scenarios play in a child process each.
bool isolated(const RunArgs& a) {
    return !a.inProcess && a.trace.empty();
}

// The transcript as the command line asks for it, flushed after each event: a component that
// crashes the next moment, or output redirected to a file, loses nothing. --quiet says each failure
// once: played in a child, in the closing lines alone (the child sends them back); played here,
// as it happens, and the closing lines leave it out.
EventSink transcript(const RunArgs& a, TextTranscript& text, JsonTranscript& json) {
    return [&a, &text, &json](const Event& e) {
        if (a.json)
            json(e);
        else if (!a.quiet || e.kind == Event::Kind::Warning ||
                 (e.kind == Event::Kind::Failure && !isolated(a)))
            text(e);
        std::cout.flush();
    };
}

// A scenario's closing lines: passed, failed with each failure, or crashed with where and how.
void printOutcome(const RunArgs& a, const Scenario& s, const ScenarioOutcome& o) {
    const RunResult& r = o.result;
    if (a.json) {
        std::cout << summaryJson(s.file, r.expectations, r.failures, o.crash ? &*o.crash : nullptr)
                  << "\n";
        return;
    }
    if (o.crash)
        std::cout << "CRASHED " << s.file << ": " << o.crash->text() << "\n";
    else
        std::cout << (r.ok() ? "PASSED " : "FAILED ") << s.file << ": " << r.expectations
                  << " expectations, " << r.failures.size() << " failed\n";
    // After a crash its own line is the last failure, already said above; played here, --quiet
    // showed every failure as it happened.
    const size_t shown = a.quiet && !isolated(a) ? 0 : r.failures.size() - (o.crash ? 1 : 0);
    for (size_t i = 0; i < shown; ++i)
        std::cout << "  " << r.failures[i] << "\n";
}

// Writes the recording of the one scenario; false, with one line on stderr, when it cannot.
bool writeRecording(const std::string& path, const ScenarioOutcome& o) {
    if (o.crash) {
        std::cerr << "zeph-host: the scenario crashed; nothing recorded in " << path << "\n";
        return true;
    }
    std::ofstream out(path, std::ios::binary);
    out << o.recording;
    if (!out) {
        std::cerr << "zeph-host: cannot write " << path << "\n";
        return false;
    }
    return true;
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
    ModuleShelf shelf(a.common.module, &module);
    if (!shelf.openNamed(scenarios))
        return kUsage;
    // With --trace every call both ways also goes to the file, through a tap around the factory.
    // The tap lives in this process, so a traced run plays its scenarios here too.
    trace::BenchTap tap;
    zeph_factory_fn factory = module.factory();
    if (!a.trace.empty()) {
        std::string error;
        if (!tap.open(a.trace, a.common.module, error)) {
            std::cerr << "zeph-host: " << error << "\n";
            return kUsage;
        }
        factory = tap.wrap(factory);
        shelf.replaceOwn(factory); // a trace holds the run's module: every instance of it
    }
    TextTranscript text(std::cout, useColour(a.common.colour), a.showExpectations);
    JsonTranscript json(std::cout);
    EventSink sink = transcript(a, text, json);
    if (!a.trace.empty()) // what the component wrote (--capture-stderr) goes to the trace too
        sink = [&tap, shown = sink](const Event& e) {
            if (e.kind == Event::Kind::Debug)
                tap.debug(e.text);
            shown(e);
        };
    // A recording is how expectations are first written, so only it may start without any.
    const ScenarioRunOptions options{a.common.basePath, a.common.captureStderr, isolated(a),
                                     a.timeout,         a.record.empty(),       a.strict,
                                     shelf.finder()};
    std::vector<JUnitCase> cases;
    int failed = 0, crashed = 0;
    for (const Scenario& s : scenarios) {
        if (!a.json && !a.quiet)
            std::cout << "== " << s.file << std::endl;
        const ScenarioOutcome o = runScenario(factory, s, options, sink);
        if (o.result.loadFailed) {
            std::cerr << "zeph-host: " << a.common.module
                      << ": the factory returned null; no component to run\n";
            return kUsage;
        }
        if (!a.record.empty() && !writeRecording(a.record, o))
            return kUsage;
        failed += !o.result.ok();
        crashed += o.crash.has_value();
        printOutcome(a, s, o);
        cases.push_back(junitCase(s.file, o));
    }
    if (!a.junit.empty() && !writeJUnit(a.junit, "zeph-host run", cases)) {
        std::cerr << "zeph-host: cannot write " << a.junit << "\n";
        return kUsage;
    }
    if (!a.trace.empty() && !tap.intact())
        std::cerr << "zeph-host: " << a.trace << " is incomplete: writing it failed\n";
    if (!a.json && scenarios.size() > 1)
        std::cout << scenarios.size() - failed << " passed, " << failed << " failed"
                  << (crashed ? " (" + std::to_string(crashed) + " crashed)" : "") << "\n";
    return failed ? kFailed : kOk;
}

} // namespace zeph::cli
