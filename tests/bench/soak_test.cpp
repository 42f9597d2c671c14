// The soak deals the steps of the component's take round-robin, each component on its own facility.
#include "built_paths.h"
#include "module_loader.h"
#include "soak/soak.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace zeph::bench;

namespace {
const std::string kClean = std::string(zeph::built::testModuleDir) + "/test_component_clean.so";
zeph_factory_fn g_factory = nullptr;
int g_created = 0;
} // namespace

TEST(soak, every_component_gets_the_whole_take_after_its_configuration) {
    zeph::host::Module m;
    ASSERT_TRUE(m.open(kClean)) << m.error();
    std::string error;
    auto workout = loadWorkout(workoutBeside(kClean), error);
    ASSERT_TRUE(workout) << error;
    // The take after its configuration: press, revertive, dbchange, stop; timer 1, started by the
    // configuration, ticks once in the 100 ms after the press.
    SoakOptions o;
    o.components = 7;
    o.notifications = 7 * 4;
    g_factory = m.factory();
    g_created = 0;
    const SoakResult r = soak(
        [](zeph_client_callback* host, const char* path) {
            ++g_created;
            return g_factory(host, path);
        },
        *workout, o);
    EXPECT_EQ(g_created, 7);
    EXPECT_EQ(r.error, "");
    EXPECT_FALSE(r.loadFailed);
    EXPECT_EQ(r.sent, 28);
    EXPECT_EQ(r.delivered, 7u * 5u);
    EXPECT_EQ(r.commands, 7u * 6u); // XI, TG, TP, RN, SD, ET 1
    EXPECT_EQ(r.breaches, 0u);
    const SoakResult none =
        soak([](zeph_client_callback*, const char*) -> zeph_client_callback* { return nullptr; },
             *workout, o);
    EXPECT_TRUE(none.loadFailed);
}

// The soak builds each facility from the take's own lines, words included: a router that answers
// inline must answer inline there too (the test component tells its parent when it hears a
// revertive inside its own call).
TEST(soak, router_settings_of_the_take_hold_in_every_facility) {
    zeph::host::Module m;
    ASSERT_TRUE(m.open(kClean)) << m.error();
    struct Case {
        const char* router;
        size_t commandsPerTake; // SD, RC, then TP, and HN when the revertive came inline
    };
    for (const Case& c : {Case{"router 5", 3}, Case{"router 5 inline", 4}}) {
        const std::string path =
            ::testing::TempDir() + "soak_" + std::to_string(getpid()) + "_inline.zs";
        FILE* f = std::fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fprintf(f,
                     "%s\nsource 5 12 Camera 1\ncontrol 1 UMD\nload\nparent watch=40\nadvance 1\n"
                     "parent take=12\nunload\n",
                     c.router);
        std::fclose(f);
        std::string error;
        auto workout = loadWorkout(path, error);
        std::remove(path.c_str());
        ASSERT_TRUE(workout) << error;
        SoakOptions o;
        o.components = 3;
        o.notifications = 6;
        const SoakResult r = soak(m.factory(), *workout, o);
        EXPECT_EQ(r.error, "") << c.router;
        EXPECT_EQ(r.commands, 6 * c.commandsPerTake) << c.router;
        EXPECT_EQ(r.breaches, 0u) << c.router;
    }
}

TEST(soak, a_take_with_nothing_after_its_configuration_is_refused) {
    zeph::host::Module m;
    ASSERT_TRUE(m.open(kClean)) << m.error();
    const std::string path = ::testing::TempDir() + "soak_" + std::to_string(getpid()) + "_take.zs";
    FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("load\nparent start=1\nadvance 100\nunload\n", f);
    std::fclose(f);
    std::string error;
    auto workout = loadWorkout(path, error);
    ASSERT_TRUE(workout) << error;
    const SoakResult r = soak(m.factory(), *workout, SoakOptions{});
    EXPECT_NE(r.error.find("no step after its configuration"), std::string::npos) << r.error;
    EXPECT_EQ(r.sent, 0);
    std::remove(path.c_str());
}
