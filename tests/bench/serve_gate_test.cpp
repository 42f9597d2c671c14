// Who the serve page's server answers: only the page's own tab, on loopback, and no client can make
// it buffer past its limits or hold it past a request's deadline.
#include "built_paths.h"
#include "serve/gate.h"
#include "serve_fixture.h"

#include <zlib.h>

#include <arpa/inet.h>
#include <atomic>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// A client that writes its request byte for byte as given, for what a library would not send.
class RawClient {
public:
    // A small send buffer keeps what the kernel takes for the server small: what the client
    // could send then depends on how much the server reads.
    // later: the socket is made now, and connect() called when the test says.
    explicit RawClient(int port, int sendBuffer = 0, bool later = false) : m_port(port) {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (sendBuffer)
            setsockopt(m_fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
        timeval t{20, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
        if (!later)
            connect();
    }
    void connect() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(m_port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
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
    int m_port;
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
         {{"X-Zeph-Token", token}},
         step,
         "text/plain",
         415,
         "application/json"},
        {"another origin with the token",
         "POST",
         "/api/step",
         {{"X-Zeph-Token", token}, {"Origin", "http://localhost:1"}},
         step,
         "application/json",
         403,
         "another site"},
        {"a rebound name",
         "GET",
         "/api/state",
         {{"X-Zeph-Token", token}, {"Host", "evil.example:" + port}},
         "",
         "",
         403,
         "Host header"},
        {"no port",
         "GET",
         "/api/state",
         {{"X-Zeph-Token", token}, {"Host", "127.0.0.1"}},
         "",
         "",
         403,
         "Host header"},
        {"no token", "GET", "/api/state", {}, "", "", 403, "token is missing"},
        {"no token on the stream", "GET", "/events", {}, "", "", 403, "token is missing"},
        {"no token for the recording", "GET", "/api/scenario", {}, "", "", 403, "token is missing"},
        {"a wrong token", "GET", "/api/state", {{"X-Zeph-Token", "00"}}, "", "", 403, "token is"},
        // Only the header counts: a cookie (which a page on another port could send or plant) or
        // the address's query carries nothing, the right token or not.
        {"the token as a cookie",
         "GET",
         "/api/scenario",
         {{"Cookie", "zeph_token_" + port + "=" + token}},
         "",
         "",
         403,
         "token is missing"},
        {"the token in the query", "GET", "/api/state?token=" + token, {}, "", "", 403, "token is"},
        {"a preflight",
         "OPTIONS",
         "/api/step",
         {{"X-Zeph-Token", token}, {"Origin", "http://127.0.0.1:1"}},
         "",
         "",
         403,
         "another site"},
        {"raw through the page",
         "POST",
         "/api/step",
         {{"X-Zeph-Token", token}},
         raw,
         "application/json",
         403,
         "test tool"},
        {"a router past 32 bits",
         "POST",
         "/api/route",
         {{"X-Zeph-Token", token}},
         R"({"router":18446744073709551615,"source":1,"destination":2})",
         "application/json",
         400,
         "router\\\" must be a whole number from 0 to 2147483647"},
        {"a negative drop count",
         "POST",
         "/api/router",
         {{"X-Zeph-Token", token}},
         R"({"router":5,"mode":"drop","count":-5})",
         "application/json",
         400,
         "count\\\" must be a whole number"},
        {"a negative drop count as a step",
         "POST",
         "/api/step",
         {{"X-Zeph-Token", token}},
         R"({"line":"router 5 drop -5"})",
         "application/json",
         400,
         "bad router setting"},
    };
    httplib::Client bare("127.0.0.1", server->port());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto res = c.method == "GET" ? bare.Get(c.path.c_str(), c.headers)
                   : c.method == "OPTIONS"
                       ? bare.Options(c.path.c_str(), c.headers)
                       : bare.Post(c.path.c_str(), c.headers, c.body, c.type.c_str());
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, c.status);
        EXPECT_NE(res->body.find(c.says), std::string::npos) << res->body;
        EXPECT_EQ(res->body.find('\n'), std::string::npos) << res->body;
        EXPECT_FALSE(res->has_header("Access-Control-Allow-Origin"));
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
        {"Content-Length: 5, 6\r\n", "400 Bad Request"},
        {"Content-Length: 5\r\nTransfer-Encoding: chunked\r\n", "411 Length Required"},
        {"Transfer-Encoding: gzip\r\n", "411 Length Required"},
        {"Content-Encoding: identity\r\nContent-Encoding: br\r\n", "415 Unsupported Media"},
        {"Bad Header\r\n", "400 Bad Request"},
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

// Clients without the token cannot keep the user out: a crowd of connections that send nothing
// gives way to newcomers, and a request with the token has workers of its own.
TEST_F(ServeTest, idle_connections_without_the_token_do_not_keep_the_page_out) {
    std::vector<std::unique_ptr<RawClient>> idle;
    for (int i = 0; i < 300; ++i) {
        idle.push_back(std::make_unique<RawClient>(server->port()));
        ASSERT_TRUE(idle.back()->connected);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // Tokenless requests that hold their worker by never reading a long answer cannot take
    // the token's workers either.
    for (int i = 0; i < 40; ++i) {
        idle.push_back(std::make_unique<RawClient>(server->port(), 0));
        idle.back()->send("GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server->port()) +
                          "\r\n\r\n");
    }
    auto res = client->Get("/api/state");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(post("/api/advance", R"({"ms":10})")->status, 200);
}

// However long the answers to requests without the token take, one bearing it has a worker.
TEST(serve_gate, requests_without_the_token_never_take_the_workers_of_those_with_it) {
    std::atomic<bool> release{false};
    GateLimits limits;
    limits.workers = 2;
    Gate gate(
        limits,
        [&](HttpRequest& request, HttpResponse&) {
            while (request.header("Token") != "t" && !release)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        },
        [](const HttpRequest& request) { return request.header("Token") == "t"; });
    std::string error;
    ASSERT_TRUE(gate.listen("127.0.0.1", 0, error)) << error;
    gate.start();
    std::vector<std::unique_ptr<RawClient>> stuck;
    for (int i = 0; i < 8; ++i) {
        stuck.push_back(std::make_unique<RawClient>(gate.port()));
        stuck.back()->send("GET / HTTP/1.1\r\n\r\n");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    RawClient user(gate.port());
    user.send("GET / HTTP/1.1\r\nToken: t\r\n\r\n");
    EXPECT_EQ(user.answer().rfind("HTTP/1.1 200", 0), 0u);
    EXPECT_TRUE(stuck.front()->waiting());
    release = true;
    gate.stop();
}

// Out of descriptors, with each held by a request being answered, the listener rests instead of
// being polled again at once (it stays readable); the connections waiting on it are served once
// descriptors are free again.
TEST(serve_gate, out_of_descriptors_the_listener_rests_and_then_serves) {
    std::atomic<bool> release{false};
    GateLimits limits;
    limits.workers = 8;
    Gate gate(limits, [&](HttpRequest&, HttpResponse&) {
        while (!release)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    });
    std::string error;
    ASSERT_TRUE(gate.listen("127.0.0.1", 0, error)) << error;
    gate.start();
    // The clients' sockets are made first: under the limit the gate has room for 3 more.
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 12; ++i)
        clients.push_back(std::make_unique<RawClient>(gate.port(), 0, true));
    rlimit was{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &was), 0);
    const int highest = ::dup(0);
    ::close(highest);
    rlimit tight = was;
    tight.rlim_cur = static_cast<rlim_t>(highest + 3);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    for (auto& c : clients) {
        c->connect();
        ASSERT_TRUE(c->connected);
        c->send("GET / HTTP/1.1\r\n\r\n");
    }
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    getrusage(RUSAGE_SELF, &after);
    setrlimit(RLIMIT_NOFILE, &was);
    const auto ms = [](const rusage& r) {
        return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000 +
               (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1000;
    };
    EXPECT_LT(ms(after) - ms(before), 200) << "ms of CPU in a second out of descriptors";
    EXPECT_TRUE(clients.back()->waiting());
    release = true;
    for (auto& c : clients)
        EXPECT_EQ(c->answer().rfind("HTTP/1.1 200", 0), 0u);
    gate.stop();
}

TEST(serve_server, a_taken_port_is_refused_with_the_address) {
    zeph::host::Module module;
    ASSERT_TRUE(module.open(std::string(zeph::built::testModuleDir) + "/test_component_clean.so"));
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
    ASSERT_TRUE(module.open(std::string(zeph::built::testModuleDir) + "/test_component_clean.so"));
    Session session(module.factory(), SessionOptions{});
    ServerOptions open;
    open.requireToken = false;
    open.address = "0.0.0.0";
    std::string error;
    EXPECT_FALSE(PageServer(session, open).bind(error));
    EXPECT_NE(error.find("loopback"), std::string::npos) << error;
    // What the address resolves to counts, not how it is written.
    for (const char* name : {"", "::", "::ffff:127.0.0.1", "127.zeph.invalid"}) {
        open.address = name;
        error.clear();
        EXPECT_FALSE(PageServer(session, open).bind(error)) << name;
        EXPECT_NE(error.find("loopback only"), std::string::npos) << name << ": " << error;
    }
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
