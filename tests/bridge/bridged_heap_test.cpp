// The heap figure measured inside the bridge, which is where a bridged DLL's allocations live: it
// must see a DLL that leaks and stay flat for one that does not, or a heap check on it means
// nothing. Needs Wine and the DLLs; skipped otherwise.
#include "built_paths.h"
#include "bridge/bridged_module.h"
#include "module_loader.h"
#include "recording_host.h"
#include "scenario/scenario.h"
#include "workout/workout.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using zeph::host::Module;
using zeph::host::RecordingHost;
using zeph::host::bridge::bridgedHeapInUse;

long long growthOver(zeph_factory_fn factory, const std::function<void()>& cycle) {
    for (int i = 0; i < 20; ++i)
        cycle();
    const auto before = bridgedHeapInUse(factory);
    for (int i = 0; i < 100; ++i)
        cycle();
    const auto after = bridgedHeapInUse(factory);
    EXPECT_TRUE(before && after);
    std::cout << "bridge heap: " << (before ? *before : 0) << " -> " << (after ? *after : 0)
              << "\n";
    return before && after ? static_cast<long long>(*after) - static_cast<long long>(*before) : 0;
}

bool openOrSkip(Module& m, const std::string& path) {
    if (!std::filesystem::exists(path)) {
        std::cout << "[  SKIPPED ] " << path << " is not built\n";
        return false;
    }
    if (!m.open(path)) {
        if (m.error().find("Wine cannot run here") != std::string::npos) {
            std::cout << "[  SKIPPED ] " << m.error() << "\n";
            return false;
        }
        ADD_FAILURE() << m.error();
        return false;
    }
    return true;
}

TEST(bridged_heap, a_leaking_dll_shows_in_the_bridge_heap) {
    Module probe;
    if (!openOrSkip(probe, zeph::built::probeDll))
        GTEST_SKIP();
    EXPECT_TRUE(probe.bridged());
    const long long grown = growthOver(probe.factory(), [&] {
        RecordingHost h;
        h.create(probe.factory(), "");
        h.parent("leak");
        h.destroy();
    });
    EXPECT_GE(grown, 100 * 100);
}

TEST(bridged_heap, the_selector_workout_leaves_the_bridge_heap_flat) {
    Module ostrel;
    if (!openOrSkip(ostrel, std::string(zeph::built::windowsBin) + "/Ostrel.dll"))
        GTEST_SKIP();
    std::string error;
    const std::string dll = std::string(zeph::built::windowsBin) + "/Ostrel.dll";
    const auto workout = zeph::bench::loadWorkout(zeph::bench::workoutBeside(dll), error);
    ASSERT_TRUE(workout) << error;
    const long long grown = growthOver(ostrel.factory(), [&] {
        for (const zeph::bench::Scenario& scenario : workout->scenarios) {
            zeph::bench::Runner runner(ostrel.factory(), {"", false});
            runner.run(scenario);
        }
    });
    EXPECT_LE(grown, 512);
    EXPECT_GE(grown, -512);
}

} // namespace
