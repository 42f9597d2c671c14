// The soak's throughput: one notification of Ostrel's take dealt round-robin over a thousand
// components, each in a facility of its own, as `zeph-host soak` deals them (bench/soak/). Its time
// is read as a multiple of BM_Baseline of the same run, which a slower facility, recording host or
// component moves and a slower machine does not. Its heap per component is counted beside it.
#include "module_loader.h"
#include "soak/soak.h"
#include "workout/workout.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace zeph::perf {

namespace {

void BM_Soak(benchmark::State& state) {
    static host::Module module;
    if (!module.factory() && !module.open(ZEPH_OSTREL_MODULE)) {
        state.SkipWithError(module.error().c_str());
        return;
    }
    std::string error;
    const auto workout = bench::loadWorkout(bench::workoutBeside(ZEPH_OSTREL_MODULE), error);
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
    for (auto _ : state)
        run.deal(1);
    const bench::SoakResult r = run.finish();
    if (r.breaches)
        state.SkipWithError("the recording hosts saw a breach of the host contract");
    state.counters["delivered"] =
        benchmark::Counter(static_cast<double>(r.delivered), benchmark::Counter::kAvgIterations);
    // A count of bytes, not a time: the heap each configured component holds, its bench endpoint
    // and facility included.
    state.counters["heap_per_component"] = r.heapPerComponent + r.benchHeapPerComponent;
}
BENCHMARK(BM_Soak)->Arg(1000)->ComputeStatistics("min", [](const std::vector<double>& v) {
    return *std::min_element(v.begin(), v.end());
});

} // namespace

} // namespace zeph::perf
