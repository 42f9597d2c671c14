// The soak's throughput: one notification of Ostrel's take dealt round-robin over a thousand
// components, each in a facility of its own, as `zeph-host soak` deals them (bench/soak/). Its time
// is read as a multiple of BM_Baseline of the same run, which a slower facility, recording host or
// component moves and a slower machine does not; the DLL's, as a multiple of the shared object's.
// Its heap per component is counted beside it.
#include "built_paths.h"
#include "module_loader.h"
#include "soak/soak.h"
#include "workout/workout.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

namespace zeph::perf {

namespace {

// One notification of the take dealt over state.range(0) components of the module at path.
void soak(benchmark::State& state, host::Module& module, const char* path) {
    if (!module.factory() && !module.open(path)) {
        state.SkipWithError(module.error().c_str());
        return;
    }
    std::string error;
    const auto workout = bench::loadWorkout(bench::workoutBeside(path), error);
    if (!workout) {
        state.SkipWithError(("no workout: " + error).c_str());
        return;
    }
    bench::SoakOptions options;
    options.components = static_cast<int>(state.range(0));
    bench::SoakRun run(module.factory(), *workout, options);
    if (!run.setup().error.empty() || run.setup().loadFailed) {
        state.SkipWithError("the soak could not be set up");
        return;
    }
    // Warm: every component past its first step, as a long soak is.
    run.deal(4 * state.range(0));
    // Dealt a thousand at a time, as the soak deals them all at once: the DLL's bench sends a
    // notification to the bridge ahead of the answers to those before it.
    constexpr long long kBatch = 1000;
    while (state.KeepRunningBatch(kBatch))
        run.deal(kBatch);
    const bench::SoakResult r = run.finish();
    if (r.breaches)
        state.SkipWithError("the recording hosts saw a breach of the host contract");
    state.counters["delivered"] =
        benchmark::Counter(static_cast<double>(r.delivered), benchmark::Counter::kAvgIterations);
    // A count of bytes, not a time: the heap each configured component holds, its bench endpoint
    // and facility included.
    state.counters["heap_per_component"] = r.heapPerComponent + r.benchHeapPerComponent;
}
void BM_Soak(benchmark::State& state) {
    static host::Module module;
    soak(state, module, zeph::built::ostrelModule);
}
BENCHMARK(BM_Soak)->Arg(1000)->ComputeStatistics("min", [](const std::vector<double>& v) {
    return *std::min_element(v.begin(), v.end());
});

#ifdef ZEPH_HAS_OSTREL_DLL
// The same soak on the Windows build of the selector, through the bridge under Wine: its time is
// read as a multiple of BM_Soak's, the same component natively. Wall time: the notification's
// work is mostly the bridge's, in another process. Skipped where Wine cannot run.
void BM_DllSoak(benchmark::State& state) {
    static host::Module module;
    const char* dll = zeph::built::ostrelDll;
    if (access(dll, R_OK) != 0) {
        state.SkipWithError((std::string("skipped: ") + dll + " is not built").c_str());
        return;
    }
    if (!module.factory() && !module.open(dll)) {
        const std::string& error = module.error();
        const bool noWine = error.find("Wine cannot run here") != std::string::npos;
        state.SkipWithError(((noWine ? "skipped: " : "") + error).c_str());
        return;
    }
    soak(state, module, dll);
}
BENCHMARK(BM_DllSoak)
    ->Arg(1000)
    ->UseRealTime()
    ->ComputeStatistics("min", [](const std::vector<double>& v) {
        return *std::min_element(v.begin(), v.end());
    });
#endif

} // namespace

} // namespace zeph::perf
