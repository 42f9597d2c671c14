// The bridge as a process: every module of a bench process in one bridge, each instance's fault its
// own; and a bridge that faults, dies, hangs, cannot share memory or cannot start, which ends the
// bench as a crashing module would, in one line.
#include "built_paths.h"
#include "bridge/bridge_connection.h"
#include "bridge/bridged_module.h"
#include "component_source.h"
#include "fake_launch.h"
#include "recording_host.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sys/wait.h>
#include <unistd.h>

using zeph::host::RecordingHost;
using zeph::host::bridge::BridgedModule;
using zeph::host::bridge::Launch;

namespace {

// ---- Every module of a process in one bridge, each instance's fault its own ---------------------

// A second copy of the probe is another module to the bridge, whose components answer from the
// same process as the first's; Ostrel's announce its panel, as only Ostrel's do.
TEST(BridgeShared, every_module_of_a_process_joins_the_first_ones_bridge) {
    const std::string copy =
        ::testing::TempDir() + "probe_copy_" + std::to_string(getpid()) + ".so";
    std::filesystem::copy_file(zeph::built::bridgeProbe, copy,
                               std::filesystem::copy_options::overwrite_existing);
    BridgedModule probe, again, ostrel;
    std::string error;
    ASSERT_TRUE(probe.open(fakeLaunch(), error)) << error;
    ASSERT_TRUE(again.open(fakeLaunch(copy), error)) << error;
    ASSERT_TRUE(ostrel.open(fakeLaunch(zeph::built::ostrelModule), error)) << error;
    RecordingHost a, b, c;
    ASSERT_TRUE(a.create(probe.factory(), "A"));
    ASSERT_TRUE(b.create(again.factory(), "B"));
    ASSERT_TRUE(c.create(ostrel.factory(), "C"));
    EXPECT_EQ(a.commands(), std::vector<std::string>{"CREATED A"});
    EXPECT_EQ(b.commands(), std::vector<std::string>{"CREATED B"});
    ASSERT_FALSE(c.commands().empty());
    EXPECT_EQ(c.commands().front().substr(0, 3), "PS ");
    const auto pid = a.parent("pid");
    ASSERT_TRUE(pid);
    EXPECT_EQ(b.parent("pid"), pid);
    c.destroy();
    b.destroy();
    a.destroy();
    EXPECT_TRUE(a.errors().empty() && b.errors().empty() && c.errors().empty());
    std::filesystem::remove(copy);
}

// A module that cannot join says why in the line a first one would, and the bridge goes on.
TEST(BridgeShared, a_module_that_cannot_join_is_one_clear_line) {
    BridgedModule first;
    std::string error;
    ASSERT_TRUE(first.open(fakeLaunch(), error)) << error;
    const struct {
        std::string module;
        std::string message;
    } cases[] = {
        {"/nonexistent/gone.so",
         "cannot load gone.so: the bridge could not load it: /nonexistent/gone.so: cannot open "
         "shared object file: No such file or directory (error 126)"},
        {zeph::built::noFactoryModule,
         "test_component_no_factory.so exports no " ZEPH_FACTORY_NAME},
    };
    for (const auto& c : cases) {
        BridgedModule m;
        EXPECT_FALSE(m.open(fakeLaunch(c.module), error));
        EXPECT_EQ(error, c.message);
    }
    RecordingHost host;
    ASSERT_TRUE(host.create(first.factory(), ""));
    EXPECT_TRUE(host.parent("pid"));
    host.destroy();
}

// With a fault sink, the fault is one line for it; the dead component reaches nothing after it,
// breaks no rule of the bridge at its destruction, and its neighbour in the bridge goes on.
TEST(BridgeShared, a_fault_with_a_sink_is_that_components_alone) {
    BridgedModule probe;
    std::string error;
    ASSERT_TRUE(probe.open(fakeLaunch(), error)) << error;
    std::vector<std::string> heard;
    const auto source =
        zeph::host::ComponentSource(probe.factory()).named("bad", [&](const std::string& line) {
            heard.push_back(line);
        });
    RecordingHost good, bad;
    ASSERT_TRUE(good.create(probe.factory(), ""));
    ASSERT_TRUE(bad.create(source, ""));
    const auto pid = good.parent("pid");
    EXPECT_EQ(bad.parent("crash"), std::nullopt);
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_TRUE(std::regex_match(
        heard[0],
        std::regex("bridge_probe\\.so: access violation \\(exception 0xc0000005\\) writing "
                   "address 0x0+10 at bridge_probe\\.so\\+0x[0-9a-f]+ during parent "
                   "\"crash\"")))
        << heard[0];
    EXPECT_EQ(bad.parent("pid"), std::nullopt);
    EXPECT_EQ(good.parent("pid"), pid);
    bad.destroy();
    EXPECT_EQ(good.parent("pid"), pid);
    good.destroy();
    EXPECT_EQ(heard.size(), 1u);
    EXPECT_EQ(good.commands().back(), "AS");
}

// ---- A bridge that faults, dies or hangs ends the bench as a crashing module would ------------

// Reads the bridge's process id from the file it wrote, and removes the file.
bool gone(const std::string& pidFile) {
    pid_t pid = 0;
    const bool read = static_cast<bool>(std::ifstream(pidFile) >> pid);
    std::remove(pidFile.c_str());
    return read && pid > 0 && kill(pid, 0) != 0 && errno == ESRCH;
}

void runUntilDeath(const char* text, double answerSeconds, const std::string& pidFile) {
    setenv("ZEPH_FAKE_BRIDGE_PID_FILE", pidFile.c_str(), 1);
    BridgedModule m;
    std::string error;
    if (!m.open(fakeLaunch(zeph::built::bridgeProbe, answerSeconds), error))
        _exit(50);
    RecordingHost host;
    host.create(m.factory(), "");
    host.parent(text);
    _exit(0);
}

TEST(BridgeDeath, a_fault_in_the_module_is_reported_with_its_code_place_and_notification) {
    const std::string pidFile = ::testing::TempDir() + "bridge_fault_" + std::to_string(getpid());
    EXPECT_EXIT(runUntilDeath("crash", 10, pidFile), ::testing::KilledBySignal(SIGSEGV),
                "bridge_probe.so: access violation \\(exception 0xc0000005\\) writing address "
                "0x0+10 at bridge_probe.so\\+0x[0-9a-f]+ during parent \"crash\"");
    EXPECT_TRUE(gone(pidFile));
}

TEST(BridgeDeath, a_bridge_that_ends_is_reported_with_its_exit_and_notification) {
    const std::string pidFile = ::testing::TempDir() + "bridge_die_" + std::to_string(getpid());
    EXPECT_EXIT(runUntilDeath("die", 10, pidFile), ::testing::KilledBySignal(SIGABRT),
                "bridge_probe.so: the bridge ended with exit code 9 during parent \"die\"");
    EXPECT_TRUE(gone(pidFile));
}

// Notifications sent ahead of a fault: the line names the instance whose call faulted, and the
// bench's progress was that job's when it did (job 3, on the fiber that ran job 1 before it).
void faultAmongOthers() {
    BridgedModule m;
    std::string error;
    if (!m.open(fakeLaunch(), error))
        _exit(50);
    const char* names[] = {"a", "b"};
    std::vector<std::unique_ptr<RecordingHost>> hosts;
    for (const char* name : names) {
        hosts.push_back(std::make_unique<RecordingHost>());
        hosts.back()->create(zeph::host::ComponentSource(m.factory()).named(name), "");
    }
    zeph::host::ComponentSource(m.factory())
        .overlap(
            4, 2,
            [&](size_t i) {
                hosts[i % 2]->parent("answer x");
                hosts[i % 2]->parent(i == 3 ? "crash" : "query");
            },
            [&](size_t i) { std::fprintf(stderr, "turn %zu\n", i); });
    _exit(0);
}

TEST(BridgeDeath, a_fault_among_notifications_sent_ahead_names_its_own) {
    EXPECT_EXIT(faultAmongOthers(), ::testing::KilledBySignal(SIGSEGV),
                "turn 3\nbridge_probe.so @b: access violation \\(exception 0xc0000005\\) "
                "writing address 0x0+10 at bridge_probe.so\\+0x[0-9a-f]+ during parent \"crash\"");
}

TEST(BridgeDeath, a_bridge_that_stops_answering_is_reported_and_ended_in_time) {
    const std::string pidFile = ::testing::TempDir() + "bridge_hang_" + std::to_string(getpid());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EXIT(runUntilDeath("hang", 1, pidFile), ::testing::KilledBySignal(SIGABRT),
                "bridge_probe.so: the bridge did not answer within 1 s during parent \"hang\"");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    EXPECT_TRUE(gone(pidFile));
}

// ---- The shared region: no file left behind, the pipes where it cannot be ----------------------

// The region's file goes as soon as both ends have mapped it: none is left whether the bridge
// ends with the bench, faults, dies or hangs, or the bench is killed.
TEST(BridgeRegion, no_file_is_left_however_the_bridge_ends) {
    const std::string dir = ::testing::TempDir() + "regions_" + std::to_string(getpid());
    std::filesystem::create_directories(dir);
    setenv("ZEPH_BRIDGE_REGION_DIR", dir.c_str(), 1);
    const struct {
        const char* text;
        double answerSeconds;
        bool killed; // the bench is killed while the bridge hangs
    } cases[] = {{"pid", 10, false},
                 {"crash", 10, false},
                 {"die", 10, false},
                 {"hang", 1, false},
                 {"hang", 30, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text) + (c.killed ? ", killed" : ""));
        const std::string pidFile = dir + ".pid";
        const pid_t bench = fork();
        if (bench == 0)
            runUntilDeath(c.text, c.answerSeconds, pidFile);
        if (c.killed) {
            usleep(500 * 1000);
            kill(bench, SIGKILL);
        }
        int status = 0;
        ASSERT_EQ(waitpid(bench, &status, 0), bench);
        for (int i = 0; i < 50 && !std::filesystem::is_empty(dir); ++i)
            usleep(100 * 1000);
        EXPECT_TRUE(std::filesystem::is_empty(dir));
        // A killed bench's bridge hears of it (PR_SET_PDEATHSIG) a moment later.
        pid_t bridge = 0;
        EXPECT_TRUE(std::ifstream(pidFile) >> bridge);
        std::remove(pidFile.c_str());
        for (int i = 0; i < 50 && bridge > 0 && kill(bridge, 0) == 0; ++i)
            usleep(100 * 1000);
        EXPECT_TRUE(bridge > 0 && kill(bridge, 0) != 0);
    }
    unsetenv("ZEPH_BRIDGE_REGION_DIR");
    std::filesystem::remove_all(dir);
}

// Where the region cannot be set up, one line says why and the bridge goes on over the pipes.
void runOnPipes() {
    BridgedModule probe, ostrel;
    std::string error;
    if (!probe.open(fakeLaunch(), error) ||
        !ostrel.open(fakeLaunch(zeph::built::ostrelModule), error))
        _exit(50);
    RecordingHost host;
    host.setReply("SD 'rtr'", "5 7");
    host.create(probe.factory(), "");
    host.parent("query");
    const bool answered = host.parent("pid").has_value();
    host.destroy();
    _exit(answered && host.errors().empty() ? 0 : 1);
}

TEST(BridgeRegion, without_one_the_pipes_carry_everything_as_one_line_says) {
    const struct {
        const char* variable;
        const char* value;
        const char* why;
    } cases[] = {
        {"ZEPH_FAKE_BRIDGE_NO_MAP", "1", "mapping is turned off"},
        {"ZEPH_BRIDGE_REGION_DIR", "/nonexistent",
         "no file for it in /nonexistent: No such file or directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.variable);
        setenv(c.variable, c.value, 1);
        EXPECT_EXIT(runOnPipes(), ::testing::ExitedWithCode(0),
                    std::string("^bridge_probe\\.so: the bridge cannot share memory with the bench "
                                "\\(") +
                        c.why + "\\); its calls go over pipes, slower\n$");
        unsetenv(c.variable);
    }
}

// Commands a host answers with nothing go one way; a host that calls a component back from one
// would be served out of order, so the bench stops with one line instead.
void callBackFromHn() {
    BridgedModule ostrel;
    std::string error;
    if (!ostrel.open(fakeLaunch(zeph::built::ostrelModule), error))
        _exit(50);
    RecordingHost host;
    host.create(ostrel.factory(), "");
    host.setObserver([&](const std::string& command) {
        if (command.rfind("HN ", 0) == 0)
            host.raw(nullptr, 8);
    });
    host.press("1", "Tarnel");
    _exit(0);
}

TEST(BridgeRegion, a_host_that_calls_back_from_a_one_way_command_is_stopped) {
    EXPECT_EXIT(callBackFromHn(), ::testing::KilledBySignal(SIGABRT),
                "Ostrel.so: a host called a component back while it served a call that takes no "
                "answer during press \"1\" \"Tarnel\"");
}

// ---- A bridge that cannot start says why in one line -------------------------------------------

TEST(BridgeStart, failures_before_the_first_message_are_one_clear_line) {
    unsetenv("WINEDEBUG"); // which would send the bridge's stderr through instead of keeping it
    const std::string noFactory = zeph::built::noFactoryModule;
    struct Case {
        std::vector<std::string> argv;
        const char* message;
    } cases[] = {
        {{"/bin/sh", "-c", "echo 'wine-run: skipped: no wine32 here' >&2; exit 77"},
         "cannot load probe: Wine cannot run here (wine-run: skipped: no wine32 here)"},
        {{"/nonexistent/zeph-bridge"},
         "cannot load probe: the bridge ended before it started "
         "(exit code 127)"},
        {{"/bin/sh", "-c", "printf 'not the protocol at all'; exec sleep 5"},
         "cannot load probe: the bridge (/bin/sh) speaks another protocol"},
        // The HELLO of a bridge of version 4, which takes no notification sent ahead.
        {{"/bin/sh", "-c",
          "printf "
          "'\\030\\0\\0\\0\\001\\0\\0\\0ZBRG\\004\\0\\0\\0\\0\\0\\0\\0\\0\\0\\0\\0\\0\\0\\0\\0'; "
          "exec sleep 5"},
         "cannot load probe: the bridge (/bin/sh) speaks another protocol"},
        {{zeph::built::fakeBridge, noFactory}, "probe exports no load_zeph_client_script"},
        {{zeph::built::fakeBridge, "/nonexistent/x.so"},
         "cannot load probe: the bridge could not load "
         "it: /nonexistent/x.so: cannot open shared"},
    };
    for (const Case& c : cases) {
        Launch l;
        l.argv = c.argv;
        l.module = "probe";
        l.startSeconds = 10;
        BridgedModule m;
        std::string error;
        EXPECT_FALSE(m.open(l, error));
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        EXPECT_EQ(error.rfind(c.message, 0), 0u) << error;
        EXPECT_EQ(m.factory(), nullptr);
    }
}

} // namespace
