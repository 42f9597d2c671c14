// The zeph-host executable as a user meets it: exit codes, the one-line load errors, scenario
// errors with their line, failing expectations, recordings, and validate naming the failed check.
#include "built_paths.h"
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>
#include <sys/wait.h>
#include <unistd.h>

namespace {

#if defined(ZEPH_HAS_HOST_EXE)
struct Outcome {
    int code = -1;
    std::string out; // stdout and stderr together
    std::string err; // stderr alone
};

std::string module(const std::string& fault) {
    return std::string(zeph::built::testModuleDir) + "/test_component_" + fault + ".so";
}

std::string tempFile(const std::string& name, const std::string& content = "") {
    // CTest runs the cases as parallel processes: each keeps to its own files.
    const std::string path =
        ::testing::TempDir() + "zeph_host_cli_" + std::to_string(getpid()) + "_" + name;
    if (!content.empty())
        std::ofstream(path, std::ios::binary) << content;
    return path;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

Outcome zephHost(const std::string& args) {
    Outcome r;
    const std::string errPath = tempFile("stderr");
    const std::string command = std::string(zeph::built::hostExe) + " " + args + " 2>" + errPath;
    FILE* p = popen(command.c_str(), "r");
    if (!p)
        return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        r.out.append(buf, n);
    const int status = pclose(p);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.err = slurp(errPath);
    r.out += r.err;
    return r;
}

size_t lines(const std::string& text) {
    size_t n = 0;
    for (char c : text)
        n += c == '\n';
    return n;
}
#endif

} // namespace

#if defined(ZEPH_HAS_HOST_EXE)

TEST(zeph_host_cli, modules_that_cannot_run_give_one_line_and_exit_2) {
    const std::pair<std::string, const char*> cases[] = {
        {"/nonexistent/Missing.so", "cannot load /nonexistent/Missing.so"},
        {module("no_factory"), "exports no load_zeph_client_script"},
        {module("null_factory"), "the factory returned null"},
    };
    for (const auto& [path, message] : cases) {
        for (const char* sub : {"run", "shell", "soak", "validate"}) {
            if (std::string(sub) == "validate" && path == module("null_factory"))
                continue; // validate reports that as a failed check instead
            Outcome r = zephHost(std::string(sub) + " " + path + " </dev/null");
            EXPECT_EQ(r.code, 2) << sub << " " << path << "\n" << r.out;
            EXPECT_EQ(lines(r.err), 1u) << sub << " " << path << "\n" << r.err;
            EXPECT_NE(r.err.find(message), std::string::npos) << sub << "\n" << r.err;
        }
    }
}

TEST(zeph_host_cli, bad_scenario_line_is_named_and_exits_2) {
    const std::string path = tempFile("bad.zs", "load\nparent hello\ntick soon\n");
    Outcome r = zephHost("run " + module("clean") + " " + path);
    EXPECT_EQ(r.code, 2) << r.out;
    EXPECT_NE(r.err.find(path + ":3: \"soon\" is not a number"), std::string::npos) << r.err;
    EXPECT_EQ(zephHost("run " + module("clean") + " /nonexistent.zs").code, 2);
}

TEST(zeph_host_cli, usage_errors_exit_2_and_help_lists_every_subcommand) {
    EXPECT_EQ(zephHost("").code, 2);
    EXPECT_EQ(zephHost("frobnicate").code, 2);
    EXPECT_EQ(zephHost("run").code, 2);
    EXPECT_EQ(zephHost("validate " + module("clean") + " --only nonsense").code, 2);
    Outcome help = zephHost("--help");
    EXPECT_EQ(help.code, 0);
    for (const char* sub : {"run", "validate", "shell", "soak"})
        EXPECT_NE(help.out.find(sub), std::string::npos) << help.out;
}

TEST(zeph_host_cli, failing_expectation_exits_1_with_file_and_line) {
    const std::string path = tempFile("fail.zs", "load\nparent start\nexpect ET 1 999\n");
    Outcome r = zephHost("run --quiet " + module("clean") + " " + path);
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_NE(r.out.find(path + ":3: expected `ET 1 999`"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ET 1 100"), std::string::npos) << r.out;
}

TEST(zeph_host_cli, recording_plays_back_and_json_is_one_object_per_line) {
    const std::string source = tempFile("src.zs", "load\nparent start\nadvance 250\n"
                                                  "parent _commands\nunload\n");
    const std::string recorded = tempFile("recorded.zs");
    Outcome first = zephHost("run " + module("clean") + " " + source + " --record " + recorded);
    EXPECT_EQ(first.code, 0) << first.out;
    const std::string text = slurp(recorded);
    EXPECT_NE(text.find("advance 250\nexpect TG '1' 'UMD' 'text'\nexpect TG '1' 'UMD' 'text'\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("answer \"start=[value]\\nstop=[value]\""), std::string::npos) << text;

    const std::string junit = tempFile("junit.xml");
    Outcome again =
        zephHost("run --json " + module("clean") + " " + recorded + " --junit " + junit);
    EXPECT_EQ(again.code, 0) << again.out;
    std::istringstream in(again.out);
    std::string line;
    size_t objects = 0;
    while (std::getline(in, line)) {
        EXPECT_EQ(line.front(), '{') << line;
        EXPECT_EQ(line.back(), '}') << line;
        ++objects;
    }
    EXPECT_GT(objects, 10u);
    EXPECT_NE(slurp(junit).find("failures=\"0\""), std::string::npos);
}

TEST(zeph_host_cli, run_reports_a_crash_with_its_step_and_the_next_scenario_still_runs) {
    // The component aborts on type 8; the transcript goes to a pipe, as to a file.
    const std::string crash =
        tempFile("crash.zs", "load\nexpect PS '1' 'test.zeph_ui'\nraw 8\nexpect-none\n");
    const std::string after =
        tempFile("after.zs", "load\nexpect PS '1' 'test.zeph_ui'\nunload\nexpect AS\n");
    const std::string junit = tempFile("crash.xml");
    const std::string files = module("crash_unknown") + " " + crash + " " + after;
    Outcome text = zephHost("run " + files + " --junit " + junit);
    EXPECT_EQ(text.code, 1) << text.out;
    const char* named = "crashed at line 3 (`raw 8`): signal 6";
    EXPECT_NE(text.out.find("=> raw 8\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("CRASHED " + crash + ": " + named), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("PASSED " + after), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("1 passed, 1 failed (1 crashed)"), std::string::npos) << text.out;
    const std::string xml = slurp(junit);
    EXPECT_NE(xml.find("<error message=\"" + crash + ":3: " + named), std::string::npos) << xml;
    EXPECT_NE(xml.find("errors=\"1\""), std::string::npos) << xml;

    Outcome json = zephHost("run --json " + files);
    EXPECT_EQ(json.code, 1) << json.out;
    std::istringstream lines(json.out);
    std::vector<nlohmann::json> summaries;
    for (std::string line; std::getline(lines, line);) {
        auto j = nlohmann::json::parse(line, nullptr, false);
        if (!j.is_discarded() && j["event"] == "summary")
            summaries.push_back(j);
    }
    ASSERT_EQ(summaries.size(), 2u) << json.out;
    EXPECT_EQ(summaries[0]["crash"]["step"], "raw 8") << summaries[0];
    EXPECT_EQ(summaries[0]["crash"]["line"], 3) << summaries[0];
    EXPECT_EQ(summaries[0]["crash"]["signal"], 6) << summaries[0];
    EXPECT_EQ(summaries[1]["passed"], true) << summaries[1];
}

TEST(zeph_host_cli, validate_names_the_failed_check_and_prints_the_seed) {
    Outcome r = zephHost("validate " + module("timer_left") + " --seed 99 --iterations 300");
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_NE(r.out.find("seed 99"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("timers-stopped     FAILED"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("null-host          PASSED"), std::string::npos) << r.out;

    Outcome clean = zephHost("validate " + module("clean") + " --iterations 300");
    EXPECT_EQ(clean.code, 0) << clean.out;
    Outcome list = zephHost("validate --list");
    EXPECT_EQ(list.code, 0);
    EXPECT_EQ(lines(list.out), 9u) << list.out;
    // A check names the breaches it fails on, or the fewer it leaves to others.
    EXPECT_NE(list.out.find("every step [fails on: timer-left-running]\n"), std::string::npos);
    EXPECT_NE(list.out.find("paths [fails on: every breach but timer-left-running]\n"),
              std::string::npos)
        << list.out;
}

TEST(zeph_host_cli, validate_json_is_one_document_of_the_checks) {
    Outcome r = zephHost("validate --json " + module("timer_left") + " --seed 99 --iterations 300");
    EXPECT_EQ(r.code, 1) << r.out;
    const auto doc = nlohmann::json::parse(r.out, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << r.out;
    ASSERT_EQ(doc["checks"].size(), 9u) << r.out;
    for (const auto& check : doc["checks"]) {
        EXPECT_EQ(check["seed"], 99) << check;
        EXPECT_TRUE(check["seconds"].is_number()) << check;
        const bool timers = check["name"] == "timers-stopped";
        EXPECT_EQ(check["status"], timers ? "failed" : "passed") << check;
        if (timers) {
            EXPECT_NE(check["reason"].get<std::string>().find("timer left running"),
                      std::string::npos)
                << check;
        }
    }
    EXPECT_EQ(doc["failed"], 1);
    EXPECT_EQ(doc["passed"], 8);
}

TEST(zeph_host_cli, shell_plays_typed_steps) {
    const std::string input = tempFile("shell.in", "parent start\nexpect SD 'pkg/mon1'\n"
                                                   "expect ET 1 100\nbogus\nadvance 100\n"
                                                   "expect TG '1' 'UMD' 'text'\nquit\n");
    Outcome r = zephHost("shell " + module("clean") + " < " + input);
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("line 4: unknown keyword \"bogus\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("100 ms  => tick 1"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("3 expectations, 0 failed"), std::string::npos) << r.out;
}

TEST(zeph_host_cli, run_without_a_scenario_plays_the_take_of_the_module_workout) {
    Outcome beside = zephHost("run --quiet " + module("clean"));
    EXPECT_EQ(beside.code, 0) << beside.out;
    EXPECT_NE(beside.out.find("test_component_clean.workout/take.zs: 14 expectations, 0 failed"),
              std::string::npos)
        << beside.out;
    const std::string take =
        std::string(zeph::built::testSourceDir) + "/test_component.workout/take.zs";
    Outcome given = zephHost("run --quiet " + module("clean") + " --workout " + take);
    EXPECT_EQ(given.code, 0) << given.out;
    EXPECT_NE(given.out.find("PASSED " + take), std::string::npos) << given.out;

    // A module on its own, or a workout that is not there: one line and exit 2.
    const std::string alone = tempFile("alone.so", slurp(module("clean")));
    const std::pair<std::string, const char*> cases[] = {
        {"run " + alone, "no scenario given and no workout"},
        {"run " + module("clean") + " --workout /nonexistent/w", "no such workout"},
        {"shell " + module("clean") + " --workout /nonexistent/w", "no such workout"},
    };
    for (const auto& [args, message] : cases) {
        Outcome r = zephHost(args + " </dev/null");
        EXPECT_EQ(r.code, 2) << args << "\n" << r.out;
        EXPECT_EQ(lines(r.err), 1u) << args << "\n" << r.err;
        EXPECT_NE(r.err.find(message), std::string::npos) << args << "\n" << r.err;
    }
    // The shell needs none: it starts from an empty facility.
    Outcome shell = zephHost("shell " + alone + " </dev/null");
    EXPECT_EQ(shell.code, 0) << shell.out;
    EXPECT_NE(shell.out.find("no workout, an empty facility"), std::string::npos) << shell.out;
}

TEST(zeph_host_cli, soak_reports_its_figures) {
    Outcome r = zephHost("soak " + module("clean") + " --components 20 --notifications 2000");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("notifications/s"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("host errors    0"), std::string::npos) << r.out;
}

TEST(zeph_host_cli, validate_without_a_workout_skips_what_needs_one_and_passes) {
    // A copy of the module away from the workout that sits beside the built one.
    const std::string lone = tempFile("lone.so");
    std::filesystem::copy_file(module("clean"), lone,
                               std::filesystem::copy_options::overwrite_existing);
    const std::string junit = tempFile("skipped.xml");
    Outcome r = zephHost("validate " + lone + " --iterations 100 --junit " + junit);
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("workout: no workout"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("random             SKIPPED"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("9 checks: 6 passed, 0 failed, 0 crashed, 3 skipped"), std::string::npos)
        << r.out;
    const std::string xml = slurp(junit);
    EXPECT_NE(xml.find("skipped=\"3\""), std::string::npos) << xml;
    EXPECT_NE(xml.find("<skipped message=\"no workout"), std::string::npos) << xml;

    const std::string workout = std::string(zeph::built::testSourceDir) + "/test_component.workout";
    Outcome given = zephHost("validate " + lone + " --iterations 100 --workout " + workout);
    EXPECT_EQ(given.code, 0) << given.out;
    EXPECT_NE(given.out.find("9 checks: 9 passed, 0 failed, 0 crashed, 0 skipped"),
              std::string::npos)
        << given.out;

    for (const char* sub : {"validate", "soak"}) {
        Outcome missing = zephHost(std::string(sub) + " " + lone + " --workout /nonexistent");
        EXPECT_EQ(missing.code, 2) << sub << "\n" << missing.out;
        EXPECT_NE(missing.err.find("no such workout"), std::string::npos) << missing.err;
    }
    Outcome soak = zephHost("soak " + lone);
    EXPECT_EQ(soak.code, 2) << soak.out;
    EXPECT_EQ(lines(soak.err), 1u) << soak.err;
    EXPECT_NE(soak.err.find("no workout"), std::string::npos) << soak.err;
    std::filesystem::remove(lone);
}

#else
TEST(zeph_host_cli, needs_the_tool) {
    GTEST_SKIP() << "zeph-host is not built (ZEPH_BUILD_TOOLS is off)";
}
#endif
