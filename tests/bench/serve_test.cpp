// The serve page's server on loopback: bad requests get a clear error and leave the session
// going, a client may leave mid-stream, a reconnecting page gets only what it missed, and the
// session comes back as a scenario that replays green. Only the page's own tab is answered, and
// no client can make the server buffer past its limits or hold it past a request's deadline.
#include "module_loader.h"
#include "serve/server.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <zlib.h>

#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <fstream>
#include <future>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace zeph::bench;

const char* const kFacility = R"(router 5
source 5 12 Camera 1
control 1 UMD
control 1 Btn
load
)";

// A client that writes its request byte for byte as given, for what a library would not send.
class RawClient {
public:
    // A small send buffer keeps what the kernel takes for the server small: what the client
    // could send then depends on how much the server reads.
    explicit RawClient(int port, int sendBuffer = 0) {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (sendBuffer)
            setsockopt(m_fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        timeval t{20, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
        connected = ::connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~RawClient() { ::close(m_fd); }
    bool send(const std::string& bytes) {
        return ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }
    // Everything until the server closes (or 20 s pass).
    std::string answer() {
        std::string out;
        char buffer[4096];
        ssize_t n;
        while ((n = ::recv(m_fd, buffer, sizeof buffer, 0)) > 0)
            out.append(buffer, static_cast<size_t>(n));
        return out;
    }
    // Nothing has come back yet: the server neither answered nor closed.
    bool waiting() {
        pollfd p{m_fd, POLLIN, 0};
        return ::poll(&p, 1, 0) == 0;
    }
    bool connected = false;

private:
    int m_fd = -1;
};

long residentKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

class ServeTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::signal(SIGPIPE, SIG_IGN);
        ASSERT_TRUE(module.open(std::string(ZEPH_TEST_MODULE_DIR) + "/test_component_clean.so"))
            << module.error();
        session = std::make_unique<Session>(module.factory(), SessionOptions{});
        std::string error;
        auto scenario = parseScenario(kFacility, "facility", error);
        ASSERT_TRUE(scenario) << error;
        ASSERT_TRUE(session->start({*scenario}).empty());
        ServerOptions o;
        o.keepAliveMs = 200;
        serve(o);
    }
    // Starts the server and takes the token from its address, as a browser does.
    void serve(const ServerOptions& o) {
        client.reset();
        server.reset();
        server = std::make_unique<PageServer>(*session, o);
        std::string error;
        ASSERT_TRUE(server->bind(error)) << error;
        server->start();
        client = std::make_unique<httplib::Client>("127.0.0.1", server->port());
        const std::string url = server->url();
        const std::string prefix = "http://127.0.0.1:" + std::to_string(server->port());
        ASSERT_EQ(url.rfind(prefix + "/?token=", 0), 0u) << url;
        auto res = client->Get(url.substr(prefix.size()).c_str());
        ASSERT_TRUE(res);
        ASSERT_EQ(res->status, 303);
        const std::string set = res->get_header_value("Set-Cookie");
        EXPECT_NE(set.find("HttpOnly"), std::string::npos) << set;
        EXPECT_NE(set.find("SameSite=Strict"), std::string::npos) << set;
        cookie = set.substr(0, set.find(';'));
        client->set_default_headers({{"Cookie", cookie}});
    }
    void TearDown() override {
        client.reset();
        server.reset();
        session.reset();
    }

    httplib::Result post(const std::string& path, const std::string& body) {
        return client->Post(path.c_str(), body, "application/json");
    }

    zeph::host::Module module;
    std::unique_ptr<Session> session;
    std::unique_ptr<PageServer> server;
    std::unique_ptr<httplib::Client> client;
    std::string cookie;
};

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

TEST_F(ServeTest, only_the_page_own_tab_is_answered) {
    const std::string port = std::to_string(server->port());
    const std::string self = "127.0.0.1:" + port;
    const std::string step = R"({"line":"parent start"})";
    struct Case {
        const char* what;
        std::string method, path;
        httplib::Headers headers;
        std::string body, type;
        int status;
        const char* says;
    };
    const std::string raw =
        R"({"line":"raw 2 \"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\""})";
    const Case cases[] = {
        {"a form on another site",
         "POST",
         "/api/step",
         {{"Origin", "http://evil.example"}},
         step,
         "text/plain",
         403,
         "another site"},
        {"a no-cors fetch without Origin",
         "POST",
         "/api/step",
         {},
         step,
         "text/plain",
         403,
         "token is missing"},
        {"the page's own tab, but text",
         "POST",
         "/api/step",
         {{"Cookie", cookie}},
         step,
         "text/plain",
         415,
         "application/json"},
        {"another origin with the token",
         "POST",
         "/api/step",
         {{"Cookie", cookie}, {"Origin", "http://localhost:1"}},
         step,
         "application/json",
         403,
         "another site"},
        {"a rebound name",
         "GET",
         "/api/state",
         {{"Cookie", cookie}, {"Host", "evil.example:" + port}},
         "",
         "",
         403,
         "Host header"},
        {"no port",
         "GET",
         "/api/state",
         {{"Cookie", cookie}, {"Host", "127.0.0.1"}},
         "",
         "",
         403,
         "Host header"},
        {"no token", "GET", "/api/state", {}, "", "", 403, "token is missing"},
        {"no token on the stream", "GET", "/events", {}, "", "", 403, "token is missing"},
        {"no token for the recording", "GET", "/api/scenario", {}, "", "", 403, "token is missing"},
        {"no token for the page", "GET", "/", {}, "", "", 403, "token is missing"},
        {"a wrong token",
         "GET",
         "/api/state",
         {{"Cookie", "zeph_token_" + port + "=00"}},
         "",
         "",
         403,
         "token is missing"},
        {"a guessed token in the address", "GET", "/?token=00", {}, "", "", 403, "wrong token"},
        {"raw through the page",
         "POST",
         "/api/step",
         {{"Cookie", cookie}},
         raw,
         "application/json",
         403,
         "test tool"},
        {"a router past 32 bits",
         "POST",
         "/api/route",
         {{"Cookie", cookie}},
         R"({"router":18446744073709551615,"source":1,"destination":2})",
         "application/json",
         400,
         "router\\\" must be a whole number from 0 to 2147483647"},
        {"a negative drop count",
         "POST",
         "/api/router",
         {{"Cookie", cookie}},
         R"({"router":5,"mode":"drop","count":-5})",
         "application/json",
         400,
         "count\\\" must be a whole number"},
        {"a negative drop count as a step",
         "POST",
         "/api/step",
         {{"Cookie", cookie}},
         R"({"line":"router 5 drop -5"})",
         "application/json",
         400,
         "bad router setting"},
    };
    httplib::Client bare("127.0.0.1", server->port());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto res = c.method == "GET" ? bare.Get(c.path.c_str(), c.headers)
                                     : bare.Post(c.path.c_str(), c.headers, c.body, c.type.c_str());
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, c.status);
        EXPECT_NE(res->body.find(c.says), std::string::npos) << res->body;
        EXPECT_EQ(res->body.find('\n'), std::string::npos) << res->body;
    }
    // Every answer forbids framing and sniffing; the page's policy lets its own script run.
    auto page = client->Get("/");
    ASSERT_TRUE(page);
    EXPECT_NE(page->get_header_value("Content-Security-Policy").find("frame-ancestors 'none'"),
              std::string::npos);
    EXPECT_NE(page->get_header_value("Content-Security-Policy").find("script-src"),
              std::string::npos);
    auto missing = client->Get("/no-such-<script>-page");
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->status, 404);
    EXPECT_EQ(missing->get_header_value("X-Content-Type-Options"), "nosniff");
    EXPECT_EQ(missing->body.find("script"), std::string::npos) << missing->body;
    // The limits of a request, before anything is buffered past them.
    struct Limit {
        std::string head;
        const char* says;
        size_t body = 0;   // bytes sent after the head, refused or not
        bool taken = true; // all sent: a refused body is read and dropped up to 2 MiB
    };
    std::string headers;
    for (int i = 0; i < 65; ++i)
        headers += "X-" + std::to_string(i) + ": 1\r\n";
    const Limit limits[] = {
        {headers, "431 Request Header Fields Too Large"},
        {"X-Big: " + std::string(17000, 'x') + "\r\n", "431 Request Header Fields Too Large"},
        {"Transfer-Encoding: chunked\r\n", "411 Length Required"},
        {"Content-Length: 2000000\r\n", "413 Payload Too Large"},
        {"Content-Length: 2000000\r\n", "413 Payload Too Large", 2000000},
        {"Content-Length: 12000000\r\n", "413 Payload Too Large", 12000000, false},
        {"Content-Length: 5\r\nContent-Length: 6\r\n", "400 Bad Request"},
    };
    for (const Limit& l : limits) {
        RawClient c(server->port(), 64 * 1024);
        ASSERT_TRUE(c.connected);
        EXPECT_EQ(c.send("POST /api/step HTTP/1.1\r\nHost: " + self + "\r\n" + l.head + "\r\n" +
                         std::string(l.body, 'x')),
                  l.taken)
            << l.body;
        EXPECT_EQ(c.answer().rfind(std::string("HTTP/1.1 ") + l.says, 0), 0u) << l.says;
    }
    EXPECT_EQ(post("/api/step", step)->status, 200);
}

TEST_F(ServeTest, a_compressed_body_is_refused_before_it_is_expanded) {
    // 100 MB of zeros in about 100 KB of gzip.
    std::string bomb(size_t{200} * 1024, '\0');
    z_stream z{};
    ASSERT_EQ(deflateInit2(&z, 9, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY), Z_OK);
    std::vector<unsigned char> zeros(1 << 20, 0);
    z.next_out = reinterpret_cast<Bytef*>(bomb.data());
    z.avail_out = static_cast<uInt>(bomb.size());
    for (int i = 0; i < 100; ++i) {
        z.next_in = zeros.data();
        z.avail_in = static_cast<uInt>(zeros.size());
        ASSERT_EQ(deflate(&z, i == 99 ? Z_FINISH : Z_NO_FLUSH), i == 99 ? Z_STREAM_END : Z_OK);
    }
    bomb.resize(z.total_out);
    deflateEnd(&z);
    ASSERT_LT(bomb.size(), 120u * 1024);

    const long before = residentKb();
    auto res = client->Post("/api/step", {{"Content-Encoding", "gzip"}}, bomb, "application/json");
    const long after = residentKb();
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 415);
    EXPECT_NE(res->body.find("compressed"), std::string::npos) << res->body;
    EXPECT_LT(after - before, 10 * 1024) << "kB resident before " << before << ", after " << after;
    EXPECT_EQ(post("/api/step", R"({"line":"parent start"})")->status, 200);
}

TEST_F(ServeTest, slow_clients_are_cut_off_and_do_not_hold_the_others) {
    ServerOptions o;
    o.requestDeadlineMs = 3000;
    o.threads = 4;
    serve(o);
    // More slow clients than workers, each sending a byte now and then and never finishing.
    std::vector<std::unique_ptr<RawClient>> slow;
    for (int i = 0; i < 24; ++i) {
        slow.push_back(std::make_unique<RawClient>(server->port()));
        ASSERT_TRUE(slow.back()->connected);
        slow.back()->send("GET /api/state HTTP/1.1\r\n");
    }
    std::atomic<bool> done{false};
    std::thread dribble([&] {
        while (!done) {
            for (auto& c : slow)
                c->send("X");
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });
    auto res = client->Get("/api/state");
    // Served while every slow client is still held at the gate.
    size_t waiting = 0;
    for (auto& c : slow)
        waiting += c->waiting();
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(waiting, slow.size());
    // Then each is cut off at its deadline, however it goes on sending.
    for (auto& c : slow)
        EXPECT_EQ(c->answer().rfind("HTTP/1.1 408", 0), 0u);
    done = true;
    dribble.join();
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
        c.set_default_headers({{"Cookie", cookie}});
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
        c.set_default_headers({{"Cookie", cookie}});
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

} // namespace

namespace {

TEST(serve_session, keeps_the_component_loaded_after_the_scenarios_it_starts_from) {
    zeph::host::Module module;
    ASSERT_TRUE(module.open(std::string(ZEPH_TEST_MODULE_DIR) + "/test_component_clean.so"));
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
            if (line.compare(0, 6, "expect") != 0 && line.compare(0, 6, "answer") != 0 &&
                !line.empty() && line[0] != '#')
                lastStep = line + "\n";
        }
        EXPECT_EQ(lastStep, c.recordingEnds) << recording;
    }
}

// A stream behind by one update gets it at once, not when its wait runs out (the page would lag).
TEST(serve_session, an_update_already_made_is_handed_over_without_waiting) {
    zeph::host::Module module;
    ASSERT_TRUE(module.open(std::string(ZEPH_TEST_MODULE_DIR) + "/test_component_clean.so"));
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

TEST(serve_server, a_taken_port_is_refused_with_the_address) {
    zeph::host::Module module;
    ASSERT_TRUE(module.open(std::string(ZEPH_TEST_MODULE_DIR) + "/test_component_clean.so"));
    Session session(module.factory(), SessionOptions{});
    PageServer first(session, ServerOptions{});
    std::string error;
    ASSERT_TRUE(first.bind(error)) << error;
    ServerOptions same;
    same.port = first.port();
    PageServer second(session, same);
    EXPECT_FALSE(second.bind(error));
    EXPECT_NE(error.find("127.0.0.1:" + std::to_string(first.port())), std::string::npos) << error;
}

TEST(serve_server, the_token_is_turned_off_on_loopback_only) {
    zeph::host::Module module;
    ASSERT_TRUE(module.open(std::string(ZEPH_TEST_MODULE_DIR) + "/test_component_clean.so"));
    Session session(module.factory(), SessionOptions{});
    ServerOptions open;
    open.requireToken = false;
    open.address = "0.0.0.0";
    std::string error;
    EXPECT_FALSE(PageServer(session, open).bind(error));
    EXPECT_NE(error.find("loopback"), std::string::npos) << error;
    // Loopback by name too (where the machine cannot bind it, for another reason).
    for (const char* name : {"localhost", "::1"}) {
        open.address = name;
        error.clear();
        PageServer(session, open).bind(error);
        EXPECT_EQ(error.find("token may be turned off"), std::string::npos) << error;
    }

    open.address = "127.0.0.1";
    PageServer server(session, open);
    ASSERT_TRUE(server.bind(error)) << error;
    EXPECT_EQ(server.url(), "http://127.0.0.1:" + std::to_string(server.port()) + "/");
    server.start();
    httplib::Client client("127.0.0.1", server.port());
    auto res = client.Get("/api/state");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    // The other rules stay.
    res = client.Get("/api/state", {{"Host", "evil.example:" + std::to_string(server.port())}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403);
}

} // namespace
