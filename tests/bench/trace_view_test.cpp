// The trace view: the facility's panel as the trace's play left it at each call, the same from a
// checkpoint as from the start, and a server that shows the trace behind the page's checks and
// plays nothing from the page.
#include "built_paths.h"
#include "isolate/scenario_run.h"
#include "module_loader.h"
#include "scenario/parser.h"
#include "serve/trace_view.h"
#include "trace/bench_tap.h"
#include "trace/trace_tools.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace zeph::bench;

size_t openFiles() {
    namespace fs = std::filesystem;
    return size_t(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

// The session of a scenario played on the clean test component, as run --trace writes it: the
// header names the module's file (not its path) and this process, the calls' times count from the
// trace's start, the owner may read the file, and the tap leaves no file open behind it.
trace::Trace traced(const std::string& text) {
    const std::string path = std::string(zeph::built::testModuleDir) + "/test_component_clean.so";
    zeph::host::Module module;
    EXPECT_TRUE(module.open(path)) << module.error();
    std::string error;
    auto scenario = parseScenario(text, "traced.zs", error);
    EXPECT_TRUE(scenario) << error;
    // Tests of this file run side by side, and other worktrees' too: a file of each one's own.
    const std::string file = ::testing::TempDir() + "trace_view." + std::to_string(::getpid()) +
                             "." + ::testing::UnitTest::GetInstance()->current_test_info()->name() +
                             ".zephtrace";
    const size_t before = openFiles();
    const auto began = std::chrono::steady_clock::now();
    {
        trace::BenchTap tap;
        EXPECT_TRUE(tap.open(file, path, error)) << error;
        runScenario(tap.wrap(module.factory()), *scenario, ScenarioRunOptions{"", false, false},
                    [](const Event&) {});
    }
    EXPECT_EQ(openFiles(), before);
    const auto tookUs = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::steady_clock::now() - began)
                            .count();
    const auto mine = std::filesystem::perms::owner_read | std::filesystem::perms::owner_write;
    EXPECT_EQ(std::filesystem::status(file).permissions() & mine, mine);
    trace::Trace t;
    EXPECT_TRUE(t.load(file, error)) << error;
    std::remove(file.c_str());
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(t.header.component, "test_component_clean.so");
    EXPECT_EQ(t.header.componentSize, uint64_t(st.st_size));
    EXPECT_EQ(t.header.componentTime, uint64_t(st.st_mtime));
    EXPECT_EQ(t.header.pid, uint32_t(::getpid()));
    EXPECT_TRUE(std::all_of(t.calls.begin(), t.calls.end(),
                            [](const trace::Call& c) { return c.returned; }));
    const uint64_t lastUs = t.calls.empty() ? 0 : t.calls.back().time;
    EXPECT_LE(lastUs, uint64_t(tookUs));
    return t;
}

// The calls described so, in order.
std::vector<size_t> callsOf(const trace::Trace& t, const std::string& what) {
    std::vector<size_t> out;
    for (size_t i = 0; i < t.calls.size(); ++i)
        if (t.calls[i].describe().rfind(what, 0) == 0)
            out.push_back(i);
    return out;
}

// A control's property as the panels show it: "(not played)", "(no control)", "(unset)" or its
// value; "kind" reads the control's kind.
std::string read(const std::optional<TracePanels>& s, const std::string& control,
                 const std::string& property) {
    if (!s)
        return "(not played)";
    for (const Facility::PanelView& p : s->panels)
        for (const Facility::ControlView& c : p.controls) {
            if (p.id != "1" || c.id != control)
                continue;
            if (property == "kind")
                return c.kind;
            auto it = c.properties.find(property);
            return it == c.properties.end() ? "(unset)" : it->second;
        }
    return "(no control)";
}

// A view whose play is over.
struct Played : TraceView {
    Played(trace::Trace t, const std::string& file) : TraceView(std::move(t), file) {
        waitPlayed();
    }
};

// The test component lists alm_ controls when pressed, reads the UMD on a tick and sets it on a
// revertive.
const char* const kSession = R"(control 1 UMD text=idle
control 1 alm_1
router 5
load
press 1 Go
tick 3
revertive 5 40 Camera 1
unload
)";

TEST(trace_view, shows_the_facility_of_the_play_at_each_call) {
    const Played view(traced(kSession), "view.zephtrace");
    const trace::Trace& t = view.trace();
    const struct {
        const char* call; // the first call described so
        const char* control;
        const char* property;
        const char* reads;
    } cases[] = {
        {"load", "Go", "kind", "(no control)"},
        {"press 1 Go", "Go", "kind", "(no control)"}, // a press declares no control
        {"press 1 Go", "alm_1", "kind", "(no control)"},
        {"XI '1' 'alm_'", "alm_1", "kind", ""}, // declared so that XI lists it, no property
        {"tick 3", "UMD", "text", "(no control)"},
        {"TG '1' 'UMD' 'text'", "UMD", "text", "idle"}, // the host's answer
        {"revertive 5 40", "UMD", "text", "idle"},      // the notification, before what it caused
        {"TP 'text=seen' '1' 'UMD'", "UMD", "text", "seen"}, // what the component set
        {"AS", "UMD", "text", "seen"},
    };
    for (const auto& c : cases) {
        const std::vector<size_t> at = callsOf(t, c.call);
        ASSERT_FALSE(at.empty()) << c.call;
        EXPECT_EQ(read(view.panelsAfter(at[0]), c.control, c.property), c.reads)
            << "after " << c.call << ": " << c.control << " " << c.property;
    }
}

TEST(trace_view, a_moment_from_a_checkpoint_is_the_moment_from_the_start) {
    // Enough changes for checkpoints, each tick reading a value of its own.
    std::string text = "load\npress 1 Go\n"; // the first change, which no later one repeats
    const int rounds = 2600;
    for (int i = 0; i < rounds; ++i)
        text += "control 1 UMD text=v" + std::to_string(i) + "\ntick 3\n";
    const Played view(traced(text + "unload\n"), "long.zephtrace");
    const std::vector<size_t> reads = callsOf(view.trace(), "TG '1' 'UMD' 'text'");
    ASSERT_EQ(reads.size(), size_t(rounds));
    for (int i = 0; i < rounds; ++i) {
        ASSERT_EQ(read(view.panelsAfter(reads[size_t(i)]), "UMD", "text"), "v" + std::to_string(i));
        ASSERT_EQ(read(view.panelsAfter(reads[size_t(i)] - 1), "UMD", "text"),
                  i ? "v" + std::to_string(i - 1) : "(no control)");
    }
    EXPECT_EQ(read(view.panelsAfter(reads.back()), "Go", "kind"), "(no control)");
    EXPECT_EQ(view.settings(), size_t(rounds)); // one a value read: no copies of the panels
}

// A value is kept whole but drawn cut: a page of thousands of controls holds no 64 KiB texts.
TEST(trace_view, a_long_value_is_drawn_cut) {
    const std::string longText(5000, 'x');
    const Played view(traced("control 1 UMD text=" + longText + "\nload\ntick 3\nunload\n"),
                      "long_value.zephtrace");
    const std::vector<size_t> reads = callsOf(view.trace(), "TG '1' 'UMD' 'text'");
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(read(view.panelsAfter(reads[0]), "UMD", "text"), longText.substr(0, 4096) + "...");
    EXPECT_FALSE(view.panelsAfter(reads[0])->more);
}

TEST(trace_view, the_server_shows_the_trace_and_plays_nothing) {
    std::signal(SIGPIPE, SIG_IGN);
    const Played view(traced(kSession), "/tmp/Ostrel.20261209-101500.42\".zephtrace");
    const size_t calls = view.trace().calls.size();
    PageServer server(view, ServerOptions{});
    std::string error;
    ASSERT_TRUE(server.bind(error)) << error;
    server.start();
    httplib::Client client("127.0.0.1", server.port());
    const std::string url = server.url();
    ASSERT_NE(url.find("/#token="), std::string::npos) << url;
    const httplib::Headers token{{"X-Zeph-Token", url.substr(url.find('=') + 1)}};
    auto res = client.Get("/"); // the page itself needs no token
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);

    const std::string last = std::to_string(calls - 1);
    const struct {
        const char* method;
        std::string path;
        int status;
        std::string has;
    } cases[] = {
        {"GET", "/", 200, "id=\"moment\""},
        {"GET", "/api/view/summary", 200, "\"calls\":" + std::to_string(calls)},
        {"GET", "/api/view/at?call=" + last + "&around=1", 200, "\"what\":\"AS\""},
        {"GET", "/api/view/at?call=" + last, 200, "\"properties\":{\"text\":\"seen\"}"},
        {"GET", "/api/view/at?call=" + std::to_string(calls), 400, "from 0 to " + last},
        {"GET", "/api/view/at?call=-1", 400, "call:"},
        {"GET", "/api/view/at?call=0&around=200", 200, "\"call\":0"},
        {"GET", "/api/view/at?call=" + last + "&seek=next", 200, "\"call\":" + last + ","},
        {"GET", "/api/view/at?call=0&around=201", 400, "around:"},
        {"GET", "/api/view/at?call=0&around=x", 400, "around:"},
        {"GET", "/api/view/at?call=0&seek=sideways", 400, "seek:"},
        {"GET", "/api/view/notes", 200, "{\"count\":"},
        {"GET", "/api/view/other", 404, "nothing is served"},
        {"GET", "/events", 404, "nothing is served"},
        {"GET", "/api/state", 404, "nothing is served"},
        {"POST", "/api/step", 405, "nothing is played"},
        {"POST", "/api/press", 405, "nothing is played"},
    };
    for (const auto& c : cases) {
        res = std::string(c.method) == "GET"
                  ? client.Get(c.path.c_str(), token)
                  : client.Post(c.path.c_str(), token, R"({"line":"load"})", "application/json");
        ASSERT_TRUE(res) << c.path;
        EXPECT_EQ(res->status, c.status) << c.method << " " << c.path << ": " << res->body;
        EXPECT_NE(res->body.find(c.has), std::string::npos) << c.path << ": " << res->body;
    }
    // A step moves to the next call into the component, over those made inside another.
    res = client.Get("/api/view/at?call=0&around=0&seek=next", token);
    ASSERT_TRUE(res);
    EXPECT_NE(res->body.find("\"what\":\"press 1 Go"), std::string::npos) << res->body;

    res = client.Get("/api/view/summary");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403) << "the token still guards a view";

    // One range or thousands: never more than the scenario itself.
    httplib::Headers ranges = token;
    std::string many = "bytes=0-";
    for (int i = 0; i < 2700; ++i)
        many += ",0-";
    ranges.emplace("Range", many);
    res = client.Get("/api/scenario", ranges);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    std::vector<std::string> ignored;
    EXPECT_EQ(res->body, trace::toScenario(view.trace(), ignored));

    res = client.Get("/api/scenario", token);
    ASSERT_TRUE(res);
    std::vector<std::string> notes;
    EXPECT_EQ(res->body, trace::toScenario(view.trace(), notes));
    EXPECT_EQ(res->get_header_value("Content-Disposition"),
              "attachment; filename=\"Ostrel.20261209-101500.42_.zs\"");
}

} // namespace
