// The serve page's session: bad requests get a clear error and leave the session going, a client
// may leave mid-stream, a reconnecting page gets only what it missed, and the session comes back
// as a scenario that replays green.
#include "built_paths.h"
#include "serve_fixture.h"

#include <atomic>
#include <future>
#include <thread>
#include <vector>

namespace {

TEST_F(ServeTest, bad_requests_get_a_clear_error_and_the_session_goes_on) {
    struct Case {
        const char* path;
        std::string body;
        int status;
        const char* says;
    };
    const Case cases[] = {
        {"/api/press", "{bad", 400, "malformed request"},
        {"/api/press", "[1,2]", 400, "one JSON object"},
        {"/api/press", R"({"panel":"1"})", 400, "control\\\" is missing"},
        {"/api/press", R"({"panel":1,"control":"UMD"})", 400, "panel\\\" must be a text"},
        {"/api/press", R"({"panel":"1","control":"Nope"})", 404, "no control \\\"Nope"},
        {"/api/press", R"({"panel":"9","control":"UMD"})", 404, "panel 9"},
        {"/api/parent", R"({"text":")" + std::string(100 * 1024, 'x') + "\"}", 413, "102400 bytes"},
        {"/api/advance", R"({"ms":-1})", 400, "ms\\\" must be a whole number from 0"},
        {"/api/advance", R"({"ms":"10"})", 400, "whole number"},
        {"/api/advance", R"({"ms":99999999})", 400, "at most"},
        {"/api/router", R"({"router":5,"mode":"sideways"})", 400, "normal, delay or drop"},
        {"/api/step", R"({"line":"expect AS"})", 400, "expectations"},
        {"/api/step", R"({"line":"bogus 1"})", 400, "unknown keyword"},
        {"/api/step", R"({"line":"parent a\nb"})", 400, "one line"},
        {"/api/step", R"({"line":"# a comment"})", 400, "nothing to play"},
        // An instance no line has loaded is refused, as a file would be, and a name that is not
        // one cannot bring words of its own into the step.
        {"/api/step", R"({"line":"@mon2 press 1 Btn"})", 409, "no instance \\\"mon2\\\" is loaded"},
        {"/api/press", R"({"instance":"a load","panel":"1","control":"Btn"})", 400, "instance"},
        {"/api/next", "{}", 409, "nothing is due"},
        {"/api/nothing", "{}", 404, "no such action"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + c.body.substr(0, 60));
        auto res = post(c.path, c.body);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, c.status);
        EXPECT_NE(res->body.find(c.says), std::string::npos) << res->body;
        EXPECT_NE(res->body.find("\"ok\":false"), std::string::npos) << res->body;
    }
    // Nothing but the page is served: no path reaches a file.
    for (const char* path : {"/index.html", "/../etc/passwd", "/%2e%2e/etc/passwd", "/api"}) {
        auto res = client->Get(path);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 404) << path;
    }
    auto page = client->Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_EQ(page->body, servePage());

    auto ok = post("/api/press", R"({"panel":"1","control":"Btn","event":"alarm=ack"})");
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->status, 200) << ok->body;
    auto state = client->Get("/api/state");
    ASSERT_TRUE(state);
    EXPECT_NE(state->body.find("XI '1' 'alm_'"), std::string::npos) << state->body;
}

TEST_F(ServeTest, notifications_need_a_loaded_component) {
    ASSERT_EQ(post("/api/step", R"({"line":"unload"})")->status, 200);
    for (const auto& [path, body] : std::vector<std::pair<std::string, std::string>>{
             {"/api/press", R"({"panel":"1","control":"Btn"})"},
             {"/api/parent", R"({"text":"start"})"},
             {"/api/step", R"({"line":"tick 1"})"},
             {"/api/step", R"({"line":"unload"})"}}) {
        auto res = post(path, body);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 409) << path;
        EXPECT_NE(res->body.find("no component is loaded"), std::string::npos);
    }
    // The facility still moves without one.
    EXPECT_EQ(post("/api/route", R"({"router":5,"source":12,"destination":40})")->status, 200);
    EXPECT_EQ(post("/api/router", R"({"router":5,"mode":"drop","count":0})")->status, 200);
    EXPECT_EQ(post("/api/step", R"({"line":"load"})")->status, 200);
    EXPECT_EQ(post("/api/press", R"({"panel":"1","control":"Btn"})")->status, 200);
}

TEST_F(ServeTest, parent_answers_and_the_clock_runs_to_the_next_due_tick) {
    auto res = post("/api/parent", R"({"text":"echo=hello"})");
    ASSERT_TRUE(res);
    EXPECT_NE(res->body.find("\"answer\":\"hello\""), std::string::npos) << res->body;
    res = post("/api/parent", R"({"text":"start"})");
    ASSERT_TRUE(res);
    EXPECT_NE(res->body.find("\"answer\":null"), std::string::npos) << res->body;
    auto state = client->Get("/api/state");
    ASSERT_TRUE(state);
    EXPECT_NE(state->body.find("\"timers\":[1]"), std::string::npos) << state->body;
    ASSERT_EQ(post("/api/next", "{}")->status, 200);
    state = client->Get("/api/state");
    ASSERT_TRUE(state);
    EXPECT_NE(state->body.find("\"now\":100"), std::string::npos) << state->body;
    EXPECT_NE(state->body.find("TG '1' 'UMD' 'text'"), std::string::npos);
}

TEST_F(ServeTest, a_client_leaving_mid_stream_leaves_the_session_serving) {
    std::string seen;
    // The receiver stops after the first message: the client closes the connection.
    client->Get("/events", [&](const char* data, size_t n) {
        seen.append(data, n);
        return false;
    });
    EXPECT_NE(seen.find("\"kind\":\"state\""), std::string::npos);
    // Another one stays, on one connection, for the three steps' updates, then leaves.
    std::thread reader([&] {
        httplib::Client c("127.0.0.1", server->port());
        c.set_default_headers({{"X-Zeph-Token", token}});
        std::string stream;
        const auto updates = [&] {
            size_t n = 0;
            for (size_t at = 0; (at = stream.find("\"kind\":\"update\"", at)) != std::string::npos;
                 ++at)
                ++n;
            return n;
        };
        c.Get("/events", [&](const char* data, size_t n) {
            stream.append(data, n);
            return updates() < 3;
        });
        EXPECT_EQ(updates(), 3u) << stream;
        EXPECT_NE(stream.find("seen"), std::string::npos) << stream;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(post("/api/step", R"({"line":"revertive 5 40 Camera 1"})")->status, 200);
    reader.join();
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(post("/api/press", R"({"panel":"1","control":"Btn"})")->status, 200);
    // A page coming back with the id of the last message it saw gets only what came after.
    const std::string last = std::to_string(session->snapshot().seq - 1);
    std::string resumed;
    client->Get("/events", {{"Last-Event-ID", last}}, [&](const char* data, size_t n) {
        resumed.append(data, n);
        return false;
    });
    EXPECT_EQ(resumed.rfind("id: " + std::to_string(session->snapshot().seq) + "\n", 0), 0u)
        << resumed;
    EXPECT_NE(resumed.find("\"kind\":\"update\""), std::string::npos);
}

// The last stream allowed is served and kept alive with comments alone; one more is refused.
TEST_F(ServeTest, one_stream_past_the_limit_is_refused_and_an_idle_one_hears_only_comments) {
    ServerOptions o;
    o.keepAliveMs = 200;
    o.maxStreams = 1;
    serve(o);
    std::atomic<bool> idle{false}, release{false};
    std::string held;
    std::thread reader([&] {
        httplib::Client c("127.0.0.1", server->port());
        c.set_default_headers({{"X-Zeph-Token", token}});
        c.Get("/events", [&](const char* data, size_t n) {
            held.append(data, n);
            idle = held.find(": idle\n\n") != std::string::npos;
            return !release;
        });
    });
    for (int i = 0; i < 500 && !idle; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // A stream served past the limit would never end: the answer is read only when refused.
    int status = 0;
    std::string refused;
    client->Get(
        "/events",
        [&](const httplib::Response& r) {
            status = r.status;
            return status != 200;
        },
        [&](const char* data, size_t n) {
            refused.append(data, n);
            return true;
        });
    release = true;
    reader.join();
    ASSERT_TRUE(idle) << held;
    EXPECT_EQ(held.find('\0'), std::string::npos) << "a NUL in the stream";
    EXPECT_EQ(status, 503);
    EXPECT_NE(refused.find("too many open streams (1)"), std::string::npos) << refused;
}

TEST_F(ServeTest, the_session_comes_back_as_a_scenario_that_replays_green) {
    ASSERT_EQ(post("/api/press", R"({"panel":"1","control":"Btn"})")->status, 200);
    ASSERT_EQ(post("/api/parent", R"({"text":"a \"quoted\" text"})")->status, 200);
    ASSERT_EQ(post("/api/parent", R"({"text":"start"})")->status, 200);
    ASSERT_EQ(post("/api/advance", R"({"ms":250})")->status, 200);
    ASSERT_EQ(post("/api/router", R"({"router":5,"mode":"drop","count":1})")->status, 200);
    ASSERT_EQ(post("/api/route", R"({"router":5,"source":12,"destination":40})")->status, 200);
    ASSERT_EQ(post("/api/step", R"({"line":"dbchange 5 0 12 Camera One"})")->status, 200);
    auto res = client->Get("/api/scenario");
    ASSERT_TRUE(res);
    EXPECT_NE(res->get_header_value("Content-Disposition").find("session.zs"), std::string::npos);
    const std::string& text = res->body;
    EXPECT_NE(text.find("expect XI '1' 'alm_'"), std::string::npos) << text;
    EXPECT_NE(text.find("advance 250\nexpect TG"), std::string::npos) << text;

    std::string error;
    auto scenario = parseScenario(text, "session.zs", error);
    ASSERT_TRUE(scenario) << error;
    Runner runner(module.factory(), RunOptions{});
    const RunResult r = runner.run(*scenario);
    EXPECT_TRUE(r.ok()) << (r.failures.empty() ? "" : r.failures.front());
    EXPECT_GT(r.expectations, 10);
}

TEST(serve_session, keeps_the_component_loaded_after_the_scenarios_it_starts_from) {
    zeph::host::Module module;
    ASSERT_TRUE(module.open(std::string(zeph::built::testModuleDir) + "/test_component_clean.so"));
    struct Case {
        const char* scenario;
        const char* recordingEnds; // the last step the recording holds
    };
    const Case cases[] = {
        // A closing unload is held back; one before other steps is played.
        {"load\nparent start\nunload\nexpect ET 1\nexpect AS\n", "parent start\n"},
        {"load\nunload\nload\nparent stop\n# done\n", "parent stop\n"},
        // Nothing loaded at the end: the session loads the component.
        {"router 5\n", "load\n"},
        // Every unload that ends it is held back; the instances stay, the unnamed one unloaded.
        {"@a load\n@b load panel=2\n@a unload\n@a expect AS\n@b unload\n", "@b load panel=2\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        Session session(module.factory(), SessionOptions{});
        std::string error;
        auto scenario = parseScenario(c.scenario, "start.zs", error);
        ASSERT_TRUE(scenario) << error;
        EXPECT_TRUE(session.start({*scenario}).empty());
        EXPECT_NE(session.snapshot().json.find("\"loaded\":true"), std::string::npos);
        const std::string recording = session.recording();
        std::string lastStep;
        for (size_t start = 0, end; start < recording.size(); start = end + 1) {
            end = recording.find('\n', start);
            const std::string line = recording.substr(start, end - start);
            // An instance's expectations start with its "@NAME ".
            const std::string word = line.substr(line[0] == '@' ? line.find(' ') + 1 : 0, 6);
            if (word != "expect" && word != "answer" && !line.empty() && line[0] != '#')
                lastStep = line + "\n";
        }
        EXPECT_EQ(lastStep, c.recordingEnds) << recording;
    }
}

// A stream behind by one update gets it at once, not when its wait runs out (the page would lag).
TEST(serve_session, an_update_already_made_is_handed_over_without_waiting) {
    zeph::host::Module module;
    ASSERT_TRUE(module.open(std::string(zeph::built::testModuleDir) + "/test_component_clean.so"));
    SessionOptions options;
    options.maxEventsPerUpdate = 1;
    Session session(module.factory(), options);
    EXPECT_TRUE(session.start({}).empty());
    const uint64_t seq = session.snapshot().seq;
    ASSERT_GT(seq, 0u);
    // Bounds a wait that would last the hour: closing the session ends it as Closed.
    std::promise<void> answered;
    std::thread guard([&session, done = answered.get_future()] {
        if (done.wait_for(std::chrono::seconds(20)) == std::future_status::timeout)
            session.close();
    });
    std::vector<Session::Update> out;
    const Session::Wait got = session.updatesAfter(seq - 1, out, std::chrono::hours(1));
    answered.set_value();
    guard.join();
    EXPECT_EQ(got, Session::Wait::Ready);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].seq, seq);
    // A burst past an update's limit says how much it left out.
    EXPECT_TRUE(session.play("parent start").ok());
    EXPECT_NE(session.snapshot().json.find("more events of this step are not shown"),
              std::string::npos);
}

} // namespace
