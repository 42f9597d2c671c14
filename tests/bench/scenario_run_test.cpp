// A scenario played as a test in a child process: a crash or a hang is named by its step, line
// and cause, what failed before it is kept, and a clean run gives what it gives in-process.
#include "built_paths.h"
#include "isolate/scenario_run.h"
#include "module_loader.h"
#include "scenario/parser.h"
#include "workout/workout.h"

#include <gtest/gtest.h>

#include <csignal>

using namespace zeph::bench;

namespace {

std::string modulePath(const std::string& fault) {
    return std::string(zeph::built::testModuleDir) + "/test_component_" + fault + ".so";
}

Scenario parsed(const std::string& text) {
    std::string error;
    auto s = parseScenario(text, "t.zs", error);
    EXPECT_TRUE(s) << error;
    return s ? *s : Scenario{};
}

} // namespace

TEST(isolated_scenario, a_child_that_dies_is_named_by_step_line_and_cause) {
    struct Case {
        const char* fault;
        const char* text;
        double timeout;
        int line;
        const char* step;
        int signal;
        const char* why;
    };
    const Case cases[] = {
        // Aborts on type 8, after a failed expectation that must not be lost with it.
        {"crash_unknown", "load\nparent start\nexpect ET 1 999\nraw 8\nexpect-none\n", 0, 4,
         "raw 8", SIGABRT, "signal 6"},
        // Spins on type 255 until the time limit.
        {"hang", "load\nraw 255\n", 0.5, 2, "raw 255", 0, "timed out"},
    };
    for (const Case& c : cases) {
        zeph::host::Module m;
        ASSERT_TRUE(m.open(modulePath(c.fault))) << m.error();
        ScenarioRunOptions o;
        o.timeoutSeconds = c.timeout;
        int failuresSeen = 0, failureLine = 0;
        const auto out = runScenario(m.factory(), parsed(c.text), o, [&](const Event& e) {
            if (e.kind == Event::Kind::Failure) {
                ++failuresSeen;
                failureLine = e.line;
            }
        });
        ASSERT_TRUE(out.crash) << c.fault;
        EXPECT_EQ(out.crash->line, c.line) << c.fault;
        EXPECT_EQ(out.crash->step, c.step) << c.fault;
        EXPECT_EQ(out.crash->signal, c.signal) << c.fault;
        EXPECT_NE(out.crash->why.find(c.why), std::string::npos) << out.crash->why;
        ASSERT_FALSE(out.result.ok());
        // The crash is the last failure; the sink heard the others in the child, and the crash
        // here.
        EXPECT_EQ(out.result.failures.back(),
                  "t.zs:" + std::to_string(c.line) + ": " + out.crash->text());
        EXPECT_EQ(failuresSeen, 1) << c.fault;
        EXPECT_EQ(failureLine, c.line) << c.fault;
        EXPECT_EQ(out.recording, "");
    }
    zeph::host::Module m;
    ASSERT_TRUE(m.open(modulePath("crash_unknown")));
    const auto out = runScenario(m.factory(), parsed(cases[0].text), {}, nullptr);
    ASSERT_EQ(out.result.failures.size(), 2u);
    EXPECT_NE(out.result.failures[0].find("t.zs:3: expected `ET 1 999`"), std::string::npos)
        << out.result.failures[0];
}

TEST(isolated_scenario, isolated_and_in_process_give_the_same_result) {
    std::string error;
    const auto workout = loadWorkout(workoutBeside(modulePath("clean")), error);
    ASSERT_TRUE(workout && workout->take()) << error;
    // An expectation fails, and text goes to a control no line declares (a warning).
    const Scenario failing =
        parsed("router 5\nload\nparent start\nexpect ET 1 999\nrevertive 5 40 12\nunload\n");
    const struct {
        const char* fault;
        const Scenario* scenario;
        bool ok;
        int minExpectations;
    } cases[] = {
        {"clean", workout->take(), true, 11},
        {"clean", &failing, false, 0},        // an expectation fails and the scenario plays on
        {"null_factory", &failing, false, 0}, // the load fails
    };
    for (const auto& c : cases) {
        zeph::host::Module m;
        ASSERT_TRUE(m.open(modulePath(c.fault))) << m.error();
        ScenarioRunOptions o;
        const ScenarioOutcome child = runScenario(m.factory(), *c.scenario, o, nullptr);
        o.isolate = false;
        const ScenarioOutcome here = runScenario(m.factory(), *c.scenario, o, nullptr);
        EXPECT_FALSE(child.crash) << c.fault;
        EXPECT_EQ(child.result.ok(), c.ok) << c.fault;
        EXPECT_EQ(child.result.loadFailed, here.result.loadFailed) << c.fault;
        EXPECT_EQ(child.result.expectations, here.result.expectations) << c.fault;
        EXPECT_GE(child.result.expectations, c.minExpectations) << c.fault;
        EXPECT_EQ(child.result.failures, here.result.failures) << c.fault;
        EXPECT_EQ(child.result.warnings, here.result.warnings) << c.fault;
        EXPECT_EQ(child.recording, here.recording) << c.fault;
    }
}
