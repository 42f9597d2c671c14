// Runs the benchmarks, then prints each one's time as a multiple of the baseline with its
// allocation count, and with --check_targets fails when an allocation target is missed (the take
// cycle's time ratio is only reported there); with --check_cycle, when the take cycle fell more
// than 10 % against the baseline of the same run; with --check_soak, when the soak's throughput
// fell more than 10 % against the baseline of the same run; with --check_dll_soak, when the soak of
// the DLL under Wine fell back against the soak of the shared object of the same run (exit 77 where
// the DLL's could not run); with --check_trace, when converting a trace grew past its limit against
// reading the same trace.
//
// Targets: the take cycle within 4 times the baseline; no allocation for RR, RP, RU and ET; at
// most two for any other command. The summary goes to stderr so that --benchmark_format=json stays
// JSON.
#include "alloc_counter.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace zeph::perf {
void registerBenchmarks();
}

namespace {

// The take cycle's goal against the baseline, reported in the summary beside its figure.
const double CYCLE_GOAL = 4.0;
// The take cycle against the baseline, fastest repetition against fastest: the ratio measured when
// its commands were last made cheaper, plus the 10 % it may lose before --check_cycle fails.
// 3.86 to 3.93x in processes of benchmarks.take_cycle's command on a 2-processor machine (an AMD
// EPYC, idle), alternating with the tree before (4.40 to 4.50x), once the command writer kept its
// place in a register and was put in line, numbers went straight to their place and the string
// library's members stopped calling each other through the PLT. The figure is the goal, 4x, just
// above what was measured: the tree before reads 4.43x and more here and misses. (That tree read
// 3.68x on another 2-processor kind: the two kinds of work weigh differently by processor.)
const double CYCLE_MEASURED = 4.0;
const double CYCLE_LIMIT = CYCLE_MEASURED * 1.10;
// One soak notification against the baseline, fastest repetition against fastest: the ratio
// measured, plus the 10 % it may lose before the check fails. 10.2 to 11.0x, the tree of the last
// speed-up (5fafafa) and this one alike, six processes of each alternating, and eight more of the
// command of benchmarks.soak, on one 2-processor machine under a load of 3 to 7.
// (CI's 15 to 19x were the soak alone slowed by the machine's memory side, its baseline not: the
// same binaries read 10.2 to 10.9x afterwards.) The same code reads 11.9 to 12.9x on another
// 2-processor machine (an AMD EPYC, idle, six processes): the figure is the slower machine's.
const double SOAK_MEASURED = 12.3;
const double SOAK_LIMIT = SOAK_MEASURED * 1.10;
const double TEXT_COMMAND_LIMIT = 2.0;
// The DLL's soak against the shared object's, fastest repetition against fastest, wall time: the
// goal, a quarter of the shared object's throughput, and the half again it may lose before the
// check fails (two processes, one of them Wine's, move more than one does). Measured on a
// 2-processor machine (an AMD EPYC, idle) once the bridge ran over the shared ring: 2.84 to 4.23x
// in ten processes of twelve, 6.40x in one; at a load of 2, 2.8 to 7.7x. Without the spin before
// a sleep it reads 38x. (Earlier, under a load of 5 to 7: 4.2 to 11.1x, and 12 to 17.9x waiting
// for each answer.)
const double DLL_SOAK_MEASURED = 4.0;
const double DLL_SOAK_LIMIT = DLL_SOAK_MEASURED * 1.5;
// Converting a trace into a scenario against reading it, fastest repetition against fastest: the
// ratio measured when the conversion through the runner was made about as fast as the private
// model it replaced (10.8 to 11.1x on a 2-processor machine under a load of 13; the conversion
// before that, about 2.4 times slower), and the quarter more it may take before the check fails.
const double TRACE_MEASURED = 11.0;
const double TRACE_LIMIT = TRACE_MEASURED * 1.25;
// The heap each soaked component holds with its bench endpoint and facility, in bytes: a count,
// exact for one build, so a miss fails --check_targets and --check_soak alike.
const double SOAK_HEAP_LIMIT = 2048;

struct Figures {
    double time = 0; // CPU time per iteration, in the benchmark's time unit (all use the default)
    double allocs = -1; // per iteration
    bool median = false;
    double fastest = 0;     // the fastest repetition's time, for those that compute "min"
    double fastestReal = 0; // the same in wall time
    double heap = -1;       // bytes per component, for the soak
};

// Passes everything to the reporter the flags asked for and keeps the figures of each benchmark:
// the median when repetitions were asked for, else the best run.
class CollectingReporter : public benchmark::BenchmarkReporter {
public:
    explicit CollectingReporter(std::unique_ptr<benchmark::BenchmarkReporter> inner)
        : m_inner(std::move(inner)) {}

    bool ReportContext(const Context& context) override { return m_inner->ReportContext(context); }

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) {
                m_errors[run.run_name.str()] = run.error_message;
                continue;
            }
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "min") {
                m_figures[run.run_name.str()].fastest = run.GetAdjustedCPUTime();
                m_figures[run.run_name.str()].fastestReal = run.GetAdjustedRealTime();
                continue;
            }
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type != Run::RT_Iteration && !median)
                continue;
            Figures& f = m_figures[run.run_name.str()];
            // CPU time: on a shared machine it is less disturbed by other work than wall time.
            const double time = run.GetAdjustedCPUTime();
            if (f.median && !median)
                continue;
            if (median || f.time == 0 || time < f.time) {
                f.time = time;
                f.median = median;
                auto allocs = run.counters.find("allocs");
                f.allocs = allocs != run.counters.end() ? allocs->second.value : -1;
                auto heap = run.counters.find("heap_per_component");
                f.heap = heap != run.counters.end() ? heap->second.value : -1;
            }
        }
        m_inner->ReportRuns(runs);
    }

    void Finalize() override { m_inner->Finalize(); }

    const std::map<std::string, Figures>& figures() const { return m_figures; }
    // Why a benchmark did not run, by name.
    const std::map<std::string, std::string>& errors() const { return m_errors; }

private:
    std::unique_ptr<benchmark::BenchmarkReporter> m_inner;
    std::map<std::string, Figures> m_figures;
    std::map<std::string, std::string> m_errors;
};

bool contains(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

bool isNumericCommand(const std::string& name) {
    for (const char* n : {"Command/RR", "Command/RP", "Command/RU", "Command/ET"}) {
        if (name.compare(0, std::strlen(n), n) == 0)
            return true;
    }
    return false;
}

// Prints the ratios and counts; returns the number of allocation targets missed, and sets
// soakMissed when the soak's throughput target was.
int summarise(const std::map<std::string, Figures>& figures, int& soakMissed) {
    int missed = 0;
    auto baseline = figures.find("BM_Baseline");
    const double base = baseline != figures.end() ? baseline->second.time : 0;
    if (base <= 0 || (figures.find("BM_TakeCycle") == figures.end() &&
                      figures.find("BM_Soak/1000") == figures.end())) {
        std::fprintf(stderr, "no figures for BM_Baseline and BM_TakeCycle or BM_Soak\n");
        ++missed;
    }
    std::fprintf(stderr, "\n%-24s %12s %8s  %s\n", "benchmark", "x baseline", "allocs", "target");
    for (const auto& [name, f] : figures) {
        std::string target;
        bool met = true;
        if (contains(name, "BM_Soak")) {
            // Asserted: its figure is the fastest of the repetitions of each, which a busy
            // machine moves far less than a median.
            const auto fastestBase = figures.find("BM_Baseline");
            const double ratio = fastestBase != figures.end() && fastestBase->second.fastest > 0
                                     ? f.fastest / fastestBase->second.fastest
                                     : 0;
            char text[160];
            const bool heapMet = f.heap >= 0 && f.heap <= SOAK_HEAP_LIMIT;
            std::snprintf(
                text, sizeof text,
                "<= %.1fx baseline, fastest %.2fx; heap <= %.0f B per component, %.0f B%s",
                SOAK_LIMIT, ratio, SOAK_HEAP_LIMIT, f.heap, heapMet ? "" : " (MISSED)");
            target = text;
            met = ratio > 0 && ratio <= SOAK_LIMIT;
            if (!met)
                ++soakMissed;
            if (!heapMet) {
                ++missed;
                ++soakMissed;
            }
        } else if (contains(name, "TakeCycle")) {
            target = "<= 4x baseline";
            met = base > 0 && f.time / base <= CYCLE_GOAL;
        } else if (isNumericCommand(name)) {
            target = "0 allocs";
            met = f.allocs == 0;
        } else if (contains(name, "Command/")) {
            target = "<= 2 allocs";
            met = f.allocs >= 0 && f.allocs <= TEXT_COMMAND_LIMIT;
        }
        // Only the allocation counts are exact enough to fail on; the time ratio is reported, since
        // a busy machine can move it and a timing assertion would make the check flaky.
        if (!met && !contains(name, "TakeCycle") && !contains(name, "BM_Soak"))
            ++missed;
        std::fprintf(stderr, "%-24s %12.2f %8.2f  %s%s\n", name.c_str(),
                     base > 0 ? f.time / base : 0.0, f.allocs, target.c_str(),
                     target.empty() ? "" : (met ? " (met)" : " (MISSED)"));
    }
    return missed;
}

// The DLL's soak against the shared object's: 0 when it passed, 1 when it fell back, 77 when the
// DLL's did not run here (no Wine, no DLL).
int dllSoakVerdict(const CollectingReporter& reporter) {
    const auto& figures = reporter.figures();
    const auto dll = figures.find("BM_DllSoak/1000/real_time");
    const auto so = figures.find("BM_Soak/1000");
    if (dll == figures.end() || dll->second.fastestReal <= 0) {
        const auto error = reporter.errors().find("BM_DllSoak/1000/real_time");
        const std::string why =
            error != reporter.errors().end() ? error->second : "skipped: not built with the DLL";
        std::fprintf(stderr, "the DLL's soak did not run: %s\n", why.c_str());
        return why.rfind("skipped: ", 0) == 0 ? 77 : 1;
    }
    if (so == figures.end() || so->second.fastestReal <= 0) {
        std::fprintf(stderr, "no figure for BM_Soak/1000 to compare the DLL's soak with\n");
        return 1;
    }
    const double ratio = dll->second.fastestReal / so->second.fastestReal;
    const bool met = ratio <= DLL_SOAK_LIMIT;
    std::fprintf(stderr,
                 "the DLL's soak: fastest %.2fx the shared object's, <= %.1fx%s (%.0f %% of its "
                 "throughput)\n",
                 ratio, DLL_SOAK_LIMIT, met ? " (met)" : " (MISSED)", 100 / ratio);
    return met ? 0 : 1;
}

// The take cycle against the baseline, fastest against fastest: 0 when within its limit, else 1.
int cycleVerdict(const CollectingReporter& reporter) {
    const auto& figures = reporter.figures();
    const auto base = figures.find("BM_Baseline");
    const auto cycle = figures.find("BM_TakeCycle");
    if (base == figures.end() || cycle == figures.end() || base->second.fastest <= 0 ||
        cycle->second.fastest <= 0) {
        std::fprintf(stderr, "no fastest figures for BM_Baseline and BM_TakeCycle\n");
        return 1;
    }
    const double ratio = cycle->second.fastest / base->second.fastest;
    const bool met = ratio <= CYCLE_LIMIT;
    std::fprintf(stderr, "take cycle: fastest %.2fx the baseline, <= %.2fx%s\n", ratio, CYCLE_LIMIT,
                 met ? " (met)" : " (MISSED)");
    return met ? 0 : 1;
}

// The conversion against the reading of the same trace: 0 when within its limit, else 1.
int traceVerdict(const CollectingReporter& reporter) {
    const auto& figures = reporter.figures();
    const auto read = figures.find("BM_TraceRead");
    const auto convert = figures.find("BM_TraceScenario");
    if (read == figures.end() || convert == figures.end() || read->second.fastest <= 0) {
        std::fprintf(stderr, "no figures for BM_TraceRead and BM_TraceScenario\n");
        return 1;
    }
    const double ratio = convert->second.fastest / read->second.fastest;
    const bool met = ratio <= TRACE_LIMIT;
    std::fprintf(stderr, "trace scenario: fastest %.2fx reading the trace, <= %.1fx%s\n", ratio,
                 TRACE_LIMIT, met ? " (met)" : " (MISSED)");
    return met ? 0 : 1;
}

std::unique_ptr<benchmark::BenchmarkReporter> reporterFor(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--benchmark_format=json") == 0)
            return std::make_unique<benchmark::JSONReporter>();
    }
    return std::make_unique<benchmark::ConsoleReporter>(benchmark::ConsoleReporter::OO_Tabular);
}

} // namespace

int main(int argc, char** argv) {
    bool checkTargets = false, checkSoak = false, checkDllSoak = false, checkTrace = false,
         checkCycle = false;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--check_targets") == 0)
            checkTargets = true;
        else if (std::strcmp(argv[i], "--check_soak") == 0)
            checkSoak = true;
        else if (std::strcmp(argv[i], "--check_dll_soak") == 0)
            checkDllSoak = true;
        else if (std::strcmp(argv[i], "--check_trace") == 0)
            checkTrace = true;
        else if (std::strcmp(argv[i], "--check_cycle") == 0)
            checkCycle = true;
        else
            args.push_back(argv[i]);
    }
    int count = static_cast<int>(args.size());
    if (!zeph::perf::allocationCountingWorks()) {
        std::fprintf(stderr, "allocation counting does not reach the string library\n");
        return 1;
    }
    // Chosen before Initialize, which takes the flags it knows out of the arguments.
    CollectingReporter reporter(reporterFor(count, args.data()));
    zeph::perf::registerBenchmarks();
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data()))
        return 1;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    if (checkDllSoak)
        return dllSoakVerdict(reporter);
    if (checkTrace)
        return traceVerdict(reporter);
    if (checkCycle)
        return cycleVerdict(reporter);
    int soakMissed = 0;
    const int missed = summarise(reporter.figures(), soakMissed);
    if (missed > 0)
        std::fprintf(stderr, "%d target%s missed\n", missed, missed == 1 ? "" : "s");
    if (soakMissed > 0)
        std::fprintf(stderr, "the soak's throughput fell more than 10%% against the baseline, or "
                             "its heap per component grew past its limit\n");
    return (checkTargets && missed > 0) || (checkSoak && soakMissed > 0) ? 1 : 0;
}
