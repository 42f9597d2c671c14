// The bench's end of the bridge against a fake bridge: the same relay as the Windows bridge, built
// natively around a dlopen'ed module, so every rule is checked here without Wine. The same runs are
// made directly and through the bridge and must look the same to the recording host.
#include "built_paths.h"
#include "bridge/bridge_connection.h"
#include "fake_launch.h"
#include "bridge/bridged_module.h"
#include "component_source.h"
#include "isolate/child.h"
#include "isolate/sanitizer.h"
#include "module_loader.h"
#include "recording_host.h"
#include "scenario/scenario.h"
#include "zeph_commands.h"
#include "soak/soak.h"
#include "workout/workout.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sys/wait.h>
#include <unistd.h>

using zeph::host::Module;
using zeph::host::RecordingHost;
using zeph::host::bridge::BridgedModule;
using zeph::host::bridge::Launch;

namespace {

// What a run looked like to the host: every command and every breach, in order.
struct Seen {
    std::vector<std::string> commands;
    std::vector<std::string> errors;
    std::vector<std::string> answers;
};

// A parent text, or a raw call whose data the step builds.
using Step = std::function<void(RecordingHost&, Seen&)>;

Step parent(const std::string& text) {
    return [text](RecordingHost& h, Seen& s) {
        auto a = h.parent(text);
        s.answers.push_back(a ? *a : "(null)");
    };
}

Seen play(zeph_factory_fn factory, const std::vector<Step>& steps) {
    Seen s;
    RecordingHost host;
    host.setReply("SD 'rtr'", "5 7");
    EXPECT_TRUE(host.create(factory, "D:/panels"));
    for (const Step& step : steps)
        step(host, s);
    host.destroy();
    s.commands = host.commands();
    s.errors = host.errors();
    return s;
}

class Bridge : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_direct.open(zeph::built::bridgeProbe)) << m_direct.error();
        std::string error;
        ASSERT_TRUE(m_bridged.open(fakeLaunch(), error)) << error;
    }
    // The same steps directly and through the bridge; both runs must look the same.
    void same(const std::vector<Step>& steps, const std::vector<std::string>& errors,
              const std::vector<std::string>& expected = {}) {
        const Seen direct = play(m_direct.factory(), steps);
        const Seen bridged = play(m_bridged.factory(), steps);
        EXPECT_EQ(bridged.commands, direct.commands);
        EXPECT_EQ(bridged.errors, direct.errors);
        EXPECT_EQ(bridged.answers, direct.answers);
        EXPECT_EQ(bridged.errors, errors);
        for (const std::string& command : expected)
            EXPECT_NE(std::find(bridged.commands.begin(), bridged.commands.end(), command),
                      bridged.commands.end())
                << command;
    }

    Module m_direct;
    BridgedModule m_bridged;
};

// Every test of this fixture goes through the shared region: a bridge that fell back to the
// pipes says so on stderr.
TEST_F(Bridge, the_frames_go_through_shared_memory) {
    ::testing::internal::CaptureStderr();
    BridgedModule m;
    std::string error;
    ASSERT_TRUE(m.open(fakeLaunch(), error)) << error;
    RecordingHost host;
    ASSERT_TRUE(host.create(m.factory(), ""));
    EXPECT_TRUE(host.parent("pid"));
    host.destroy();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(Bridge, records_and_texts_arrive_as_sent) {
    same({[](RecordingHost& h, Seen&) { h.revertive(5, 40, "Camera 1"); },
          [](RecordingHost& h, Seen&) { h.database(5, 1, 12, "Cam One"); },
          [](RecordingHost& h, Seen&) { h.press("1", "Tarnel", "alarm.a.b=ack"); },
          [](RecordingHost& h, Seen&) { h.press("2", "Other"); },
          [](RecordingHost& h, Seen&) { h.tick(7); }, [](RecordingHost& h, Seen&) { h.tick(-3); },
          [](RecordingHost& h, Seen&) { h.raw(const_cast<char*>("HN 'x'"), 0); },
          [](RecordingHost& h, Seen&) { h.raw(nullptr, 8); },
          [](RecordingHost& h, Seen&) { h.raw(const_cast<char*>("spare"), -1); }},
         {},
         {"CREATED D:/panels", "REV 5 40 Camera 1", "DB 5 1 12 Cam One",
          "BTN 1 Tarnel [alarm|ack|a|b]", "BTN 2 Other [|||]", "TICK 7", "TICK -3", "TYPE 0 HN 'x'",
          "TYPE 8 null", "TYPE -1 spare", "AS"});
}

TEST_F(Bridge, host_replies_and_their_releases_look_the_same) {
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"query", {}},
        {"keep", {"1 reply not released by the end of a parent command"}},
        {"twice", {"reply released twice"}},
        {"foreign", {"release of a pointer the host never handed out"}},
        {"null-release", {"release of a null pointer"}},
    };
    for (const auto& [text, errors] : cases) {
        SCOPED_TRACE(text);
        same({parent(text), parent(text)},
             errors.empty() ? errors : std::vector{errors[0], errors[0]},
             {std::string(text) == "query" ? "REPLY 5 7" : "AS"});
    }
}

TEST_F(Bridge, answers_come_back_to_the_component_as_its_own) {
    // The host keeps the answer, hands it back twice, then hands back one it never got.
    same({[](RecordingHost& h, Seen& s) {
              const auto a = h.parent("answer hello", false);
              s.answers.push_back(a.value_or("(null)"));
              char* kept = h.keptAnswers().back();
              h.raw(kept, 5);
              h.raw(kept, 5);
              char text[] = "not yours";
              h.raw(text, 5);
              h.raw(nullptr, 5);
          },
          parent("answer again"),
          [](RecordingHost& h, Seen& s) {
              s.answers.push_back(h.parent("answer kept", false).value_or(""));
          }},
         {}, {"RELEASED answer", "RELEASED twice", "RELEASED foreign", "RELEASED null"});
}

TEST_F(Bridge, an_answer_without_a_nul_in_reach_stays_so) {
    RecordingHost host;
    ASSERT_TRUE(host.create(m_bridged.factory(), ""));
    host.parent("long", false);
    ASSERT_EQ(host.keptAnswers().size(), 1u);
    EXPECT_EQ(strnlen(host.keptAnswers()[0], 65536), 65536u);
    host.destroy();
}

TEST_F(Bridge, every_workout_scenario_passes_on_the_real_selector_through_the_bridge) {
    BridgedModule ostrel;
    std::string error;
    ASSERT_TRUE(ostrel.open(fakeLaunch(zeph::built::ostrelModule), error)) << error;
    int played = 0;
    for (const auto& entry : std::filesystem::directory_iterator(zeph::built::workoutDir)) {
        if (entry.path().extension() != ".zs")
            continue;
        auto scenario = zeph::bench::loadScenario(entry.path().string(), error);
        ASSERT_TRUE(scenario) << error;
        zeph::bench::Runner runner(ostrel.factory(), {});
        const auto result = runner.run(*scenario);
        EXPECT_TRUE(result.ok()) << entry.path() << ": " << result.failures.front();
        ++played;
    }
    EXPECT_GE(played, 6);
}

// Jobs on hosts of their own, dealt at once as the soak deals its facilities: each job's
// notifications go ahead while the others' are served (a query's answer, a release and an answer
// among them, coming back while other notifications wait in the ring), and every host sees what
// it sees alone.
TEST_F(Bridge, notifications_sent_ahead_look_the_same_to_each_host) {
    const std::vector<Step> steps = {
        parent("query"),
        parent("answer one"),
        [](RecordingHost& h, Seen&) { h.press("1", "Tarnel", "alarm.a.b=ack"); },
        parent("twice"),
        [](RecordingHost& h, Seen&) { h.tick(7); },
        parent("query")};
    // Each host is dealt three jobs, each the steps (host 0's twice over, so that the others'
    // end first): a job waits for the one before it on its host, as the soak's copy of a
    // facility is dealt to again.
    constexpr size_t kHosts = 4, kJobs = 3 * kHosts;
    const auto times = [&](int n) {
        std::vector<Step> all;
        for (int k = 0; k < n; ++k)
            all.insert(all.end(), steps.begin(), steps.end());
        return all;
    };
    const Seen direct[] = {play(m_direct.factory(), times(6)), play(m_direct.factory(), times(3))};
    std::vector<std::unique_ptr<RecordingHost>> hosts;
    std::vector<Seen> seen(kHosts);
    for (size_t i = 0; i < kHosts; ++i) {
        hosts.push_back(std::make_unique<RecordingHost>());
        hosts.back()->setReply("SD 'rtr'", "5 7");
        ASSERT_TRUE(hosts.back()->create(m_bridged.factory(), "D:/panels"));
    }
    std::vector<size_t> turns;
    zeph::host::ComponentSource(m_bridged.factory())
        .overlap(
            kJobs, kHosts,
            [&](size_t i) {
                const size_t h = i % kHosts;
                for (const Step& step : times(h == 0 ? 2 : 1))
                    step(*hosts[h], seen[h]);
            },
            [&](size_t i) { turns.push_back(i); });
    for (size_t h = 0; h < kHosts; ++h) {
        SCOPED_TRACE(h);
        hosts[h]->destroy();
        const Seen& expected = direct[h == 0 ? 0 : 1];
        EXPECT_EQ(hosts[h]->commands(), expected.commands);
        EXPECT_EQ(hosts[h]->errors(), expected.errors);
        EXPECT_EQ(seen[h].answers, expected.answers);
    }
    // Sent ahead: the jobs took turns at every notification, not one after the other (a
    // sanitizer's build, or a process where a host may answer RC inline, runs them in turn).
    size_t rc = 0;
    while (rc < ZEPH_COMMAND_COUNT && std::strcmp(zeph_commands[rc].mnemonic, "RC") != 0)
        ++rc;
    const bool inlineAnswers = !(zeph::host::bridge::Connection::oneWaySet() >> rc & 1u);
    if (!zeph::bench::leakCheckAvailable() && !inlineAnswers) {
        EXPECT_GT(turns.size(), kJobs);
    }
}

TEST_F(Bridge, a_forked_process_starts_its_own_bridge_and_leaves_the_parents_alone) {
    RecordingHost host;
    ASSERT_TRUE(host.create(m_bridged.factory(), ""));
    const auto parentPid = host.parent("pid");
    ASSERT_TRUE(parentPid);
    const pid_t child = fork();
    if (child == 0) {
        RecordingHost h;
        const bool created = h.create(m_bridged.factory(), "");
        const auto childPid = h.parent("pid");
        h.destroy();
        _exit(created && childPid && *childPid != *parentPid && h.errors().empty() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(host.parent("pid"), parentPid);
    host.destroy();
    EXPECT_TRUE(host.errors().empty());
}

// Isolation's child uses the bridge its parent lends it; a child that ends inside a call leaves a
// bridge nobody can trust, which the parent ends and the next use replaces. In a process of its
// own: isolation arms the bench's fork guard, which would take the death tests' forks for a
// component's.
void lendToChildren() {
    BridgedModule m;
    std::string error;
    if (!m.open(fakeLaunch(), error))
        _exit(50);
    const auto inChild = [&](const char* text) {
        return zeph::bench::runChild(
                   [&](int fd) {
                       RecordingHost h;
                       h.create(m.factory(), "");
                       zeph::bench::writeAll(fd, h.parent(text).value_or("none"));
                       h.destroy();
                       return 0;
                   },
                   10)
            .data;
    };
    const auto check = [](bool ok, const char* what) {
        if (!ok) {
            std::fprintf(stderr, "%s\n", what);
            _exit(1);
        }
    };
    RecordingHost host;
    host.create(m.factory(), "");
    const std::string first = host.parent("pid").value_or("");
    check(!first.empty(), "no bridge");
    check(inChild("pid") == first && inChild("pid") == first,
          "a child started a bridge of its own");
    check(host.parent("pid") == first, "the parent lost its bridge");
    host.destroy();
    check(inChild("crash").empty(), "the crash did not end the child");
    RecordingHost after;
    after.create(m.factory(), "");
    const std::string second = after.parent("pid").value_or("");
    check(!second.empty() && second != first, "the bridge left mid-call was used again");
    check(inChild("pid") == second, "the new bridge was not lent");
    after.destroy();
    check(host.errors().empty() && after.errors().empty(), "the hosts saw a breach");
    _exit(0);
}

TEST(BridgeLent, isolation_lends_its_bridge_to_the_child_and_replaces_one_left_mid_call) {
    EXPECT_EXIT(lendToChildren(), ::testing::ExitedWithCode(0), "");
}

TEST_F(Bridge, the_bridge_heap_is_measured_for_bridged_factories_only) {
    using namespace zeph::host::bridge;
    EXPECT_TRUE(isBridgedFactory(m_bridged.factory()));
    EXPECT_FALSE(isBridgedFactory(m_direct.factory()));
    EXPECT_TRUE(bridgedHeapInUse(m_bridged.factory()).has_value());
    EXPECT_FALSE(bridgedHeapInUse(m_direct.factory()).has_value());
}

TEST_F(Bridge, a_component_source_measures_the_heap_where_its_components_live) {
    const zeph::host::ComponentSource bridged(m_bridged.factory()), direct(m_direct);
    EXPECT_TRUE(bridged.remoteHeap());
    EXPECT_TRUE(bridged.remoteHeapInUse().has_value());
    EXPECT_FALSE(direct.remoteHeap());
    EXPECT_FALSE(direct.remoteHeapInUse().has_value());
    RecordingHost host;
    ASSERT_TRUE(host.create(bridged, ""));
    EXPECT_EQ(host.parent("answer through the source"), "through the source");
    host.destroy();
    EXPECT_TRUE(host.errors().empty());
}

// The soak reads a bridged component's heap in the bridge, after the first component (which
// starts the bridge): one that keeps 64 bytes more than another shows an 80-byte chunk more.
TEST(BridgeSoak, the_heap_per_component_is_read_where_the_components_live) {
    if (zeph::bench::leakCheckAvailable()) // that is, the bench is built with the sanitizer
        GTEST_SKIP() << "the sanitizer's allocator keeps its own books: the heap figure reads 0";
    const std::string dir = std::filesystem::path(zeph::built::noFactoryModule).parent_path();
    const auto heapPerComponent = [&](const char* fault, int components) {
        const std::string path = dir + "/test_component_" + fault + ".so";
        BridgedModule m;
        std::string error;
        EXPECT_TRUE(m.open(fakeLaunch(path), error)) << error;
        const auto workout = zeph::bench::loadWorkout(zeph::bench::workoutBeside(path), error);
        EXPECT_TRUE(workout) << error;
        zeph::bench::SoakOptions o;
        o.components = components;
        o.notifications = components;
        const auto r = zeph::bench::soak(m.factory(), workout.value(), o);
        EXPECT_EQ(r.error, "");
        return r.heapPerComponent;
    };
    const double clean = heapPerComponent("clean", 2);
    EXPECT_GT(clean, 0);
    EXPECT_NEAR(heapPerComponent("leak_heap", 2) - clean, 80, 24);
    EXPECT_EQ(heapPerComponent("clean", 1), 0); // none left to measure by
}

} // namespace
