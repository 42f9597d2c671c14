// zeph-host trace: show a trace file, turn it into a scenario, or find where two traces part.
#include "cli.h"
#include "trace/trace_tools.h"

#include <fstream>
#include <iostream>
#include <memory>

namespace zeph::cli {

namespace {
struct TraceArgs {
    std::string file, other, out;
    bool json = false;
    CLI::App *show = nullptr, *scenario = nullptr, *diff = nullptr;
};

// Reads one trace; one line on stderr when it is not a whole trace.
bool readTrace(const std::string& path, bench::trace::Trace& t) {
    std::string error;
    if (t.load(path, error))
        return true;
    std::cerr << "zeph-host: " << error << "\n";
    return false;
}

int traceCommand(const TraceArgs& a) {
    bench::trace::Trace t;
    if (!readTrace(a.file, t))
        return kUsage;
    if (*a.show) {
        if (a.json)
            bench::trace::showJson(t, std::cout);
        else
            bench::trace::showText(t, std::cout);
        return kOk;
    }
    if (*a.scenario) {
        std::vector<std::string> notes;
        const std::string scenario = bench::trace::toScenario(t, notes);
        std::ofstream out(a.out, std::ios::binary);
        out << scenario;
        if (!out.flush()) {
            std::cerr << "zeph-host: cannot write " << a.out << "\n";
            return kUsage;
        }
        for (const std::string& n : notes)
            std::cerr << "zeph-host: " << a.file << ": " << n << "\n";
        return kOk;
    }
    bench::trace::Trace other;
    if (!readTrace(a.other, other))
        return kUsage;
    const std::string difference = bench::trace::firstDifference(t, other);
    if (difference.empty()) {
        std::cout << "the traces agree on all " << t.calls.size() << " calls\n";
        return kOk;
    }
    std::cout << difference;
    return kFailed;
}

} // namespace

Subcommand addTrace(CLI::App& app) {
    auto shared = std::make_shared<TraceArgs>();
    TraceArgs& a = *shared;
    auto* trace =
        app.add_subcommand("trace", "read trace files written by the tap or by run --trace");
    trace->require_subcommand(1);
    a.show = trace->add_subcommand("show", "the session as a transcript, with times and threads");
    a.show->add_option("FILE", a.file, "the trace file")->required();
    a.show->add_flag("--json", a.json, "one JSON object per call (the header first)");
    a.scenario = trace->add_subcommand(
        "scenario", "the session as a scenario that zeph-host run replays against any build");
    a.scenario->add_option("FILE", a.file, "the trace file")->required();
    a.scenario->add_option("-o,--output", a.out, "the scenario file to write")->required();
    a.diff = trace->add_subcommand("diff", "the first call where two traces part (exit 1)");
    a.diff->add_option("A", a.file, "a trace file")->required();
    a.diff->add_option("B", a.other, "another trace file")->required();
    return {trace, [shared] { return traceCommand(*shared); }};
}

} // namespace zeph::cli
