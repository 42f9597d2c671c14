// The serve page's HTTP side. Request threads never touch the component: every action goes to the
// session, which plays it on its own thread and answers when it is done.
#include "serve/server.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <sys/socket.h>
#include <thread>

namespace zeph::bench {

namespace {

using nlohmann::json;

// Parent commands are a few words; this leaves room for quoting within the session's line limit.
constexpr size_t kMaxParentText = 2048;

std::string dump(const json& j) {
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

void reply(httplib::Response& res, int status, const json& body) {
    res.status = status;
    res.set_content(dump(body), "application/json");
}

void fail(httplib::Response& res, int status, const std::string& why) {
    reply(res, status, {{"ok", false}, {"error", why}});
}

// A malformed request: the body or one of its fields is not what the action takes.
struct BadRequest {
    std::string why;
};

json body(const httplib::Request& req) {
    json j = json::parse(req.body, nullptr, false);
    if (j.is_discarded() || !j.is_object())
        throw BadRequest{"malformed request: the body must be one JSON object"};
    return j;
}

std::string text(const json& j, const char* key, std::optional<std::string> fallback = {}) {
    auto it = j.find(key);
    if (it == j.end() || it->is_null()) {
        if (fallback)
            return *fallback;
        throw BadRequest{std::string("malformed request: \"") + key + "\" is missing"};
    }
    if (!it->is_string())
        throw BadRequest{std::string("malformed request: \"") + key + "\" must be a text"};
    return it->get<std::string>();
}

long long number(const json& j, const char* key) {
    auto it = j.find(key);
    if (it == j.end() || !it->is_number_integer())
        throw BadRequest{std::string("malformed request: \"") + key + "\" must be a whole number"};
    return it->get<long long>();
}

// A word of a step line: bare when it reads back the same, else quoted.
std::string word(const std::string& w) {
    const bool bare = !w.empty() && w[0] != '"' && w.find_first_of(" \t") == std::string::npos;
    return bare ? w : quoteText(w, true);
}

void answerAction(httplib::Response& res, const ActionResult& r) {
    if (!r.ok()) {
        fail(res, r.status, r.error);
        return;
    }
    json out = {{"ok", true}, {"seq", r.seq}};
    if (r.answered)
        out["answer"] = r.answer ? json(*r.answer) : json(nullptr);
    reply(res, 200, out);
}

std::string sseMessage(const Session::Update& u) {
    return "id: " + std::to_string(u.seq) + "\ndata: " + u.json + "\n\n";
}

} // namespace

struct PageServer::Impl {
    Session& session;
    ServerOptions options;
    httplib::Server http;
    std::thread thread;
    std::atomic<int> streams{0};
    std::atomic<bool> stopping{false};
    int port = 0;

    Impl(Session& s, ServerOptions o) : session(s), options(std::move(o)) {}

    void routes();
    void stream(const httplib::Request& req, httplib::Response& res);
    // Each action turns its request into one step line for the session.
    void action(const httplib::Request& req, httplib::Response& res,
                const std::function<ActionResult(const json&)>& play) {
        try {
            answerAction(res, play(body(req)));
        } catch (const BadRequest& e) {
            fail(res, 400, e.why);
        }
    }
};

void PageServer::Impl::routes() {
    http.Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_header("Cache-Control", "no-store");
        res.set_header("Content-Security-Policy",
                       "default-src 'none'; script-src 'unsafe-inline'; style-src "
                       "'unsafe-inline'; connect-src 'self'; base-uri 'none'; form-action 'none'");
        res.set_content(servePage(), "text/html; charset=utf-8");
    });
    http.Get("/events",
             [this](const httplib::Request& req, httplib::Response& res) { stream(req, res); });
    http.Get("/api/state", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(session.snapshot().json, "application/json");
    });
    http.Get("/api/scenario", [this](const httplib::Request&, httplib::Response& res) {
        res.set_header("Content-Disposition", "attachment; filename=\"session.zs\"");
        res.set_content(session.recording(), "text/plain; charset=utf-8");
    });

    auto post = [this](const char* path, std::function<ActionResult(const json&)> play) {
        http.Post(path, [this, play](const httplib::Request& req, httplib::Response& res) {
            action(req, res, play);
        });
    };
    post("/api/press", [this](const json& j) {
        const std::string event = text(j, "event", std::string());
        return session.play("press " + word(text(j, "panel")) + " " + word(text(j, "control")) +
                            (event.empty() ? "" : " " + quoteText(event)));
    });
    post("/api/parent", [this](const json& j) {
        const std::string t = text(j, "text");
        // Refused before it is quoted, so that the limit reads in the client's own bytes.
        if (t.size() > kMaxParentText) {
            ActionResult r;
            r.status = 413;
            r.error = "the parent text is " + std::to_string(t.size()) +
                      " bytes long; the page sends at most " + std::to_string(kMaxParentText);
            return r;
        }
        return session.play("parent " + quoteText(t));
    });
    post("/api/advance", [this](const json& j) {
        const long long ms = number(j, "ms");
        if (ms < 0)
            throw BadRequest{"malformed request: the clock does not go back"};
        return session.play("advance " + std::to_string(ms));
    });
    post("/api/next", [this](const json&) { return session.advanceToNextDue(); });
    post("/api/route", [this](const json& j) {
        return session.play("route " + std::to_string(number(j, "router")) + " " +
                            std::to_string(number(j, "source")) + " " +
                            std::to_string(number(j, "destination")));
    });
    post("/api/router", [this](const json& j) {
        const std::string device = std::to_string(number(j, "router"));
        const std::string mode = text(j, "mode");
        if (mode == "normal")
            return session.play("router " + device + " normal");
        if (mode == "delay")
            return session.play("router " + device + " delay " + std::to_string(number(j, "ms")));
        if (mode == "drop") {
            auto count = j.find("count");
            if (count == j.end() || (count->is_string() && *count == "all"))
                return session.play("router " + device + " drop all");
            return session.play("router " + device + " drop " + std::to_string(number(j, "count")));
        }
        throw BadRequest{"malformed request: \"mode\" is normal, delay or drop"};
    });
    post("/api/step", [this](const json& j) { return session.play(text(j, "line")); });

    http.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
        if (!res.body.empty())
            return;
        const std::string why = res.status == 404   ? "nothing is served at " + req.path
                                : res.status == 405 ? "method not allowed"
                                : res.status == 413 ? "the request is too large"
                                                    : "malformed request";
        fail(res, res.status, why);
    });
    http.set_exception_handler(
        [](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
            std::string why = "internal error";
            try {
                std::rethrow_exception(ep);
            } catch (const std::exception& e) {
                why += std::string(": ") + e.what();
            } catch (...) {
            }
            fail(res, 500, why);
        });
}

void PageServer::Impl::stream(const httplib::Request& req, httplib::Response& res) {
    if (++streams > options.maxStreams) {
        --streams;
        fail(res, 503,
             "too many open streams (" + std::to_string(options.maxStreams) + "); close a page");
        return;
    }
    struct Cursor {
        uint64_t seq = 0;
        bool started = false;
    };
    auto cursor = std::make_shared<Cursor>();
    // A reconnecting page says where it stopped; it then gets only what it missed.
    const std::string last = req.get_header_value("Last-Event-ID");
    if (!last.empty() && last.find_first_not_of("0123456789") == std::string::npos &&
        last.size() < 19) {
        cursor->seq = std::stoull(last);
        cursor->started = true;
    }
    res.set_header("Cache-Control", "no-store");
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, cursor](size_t, httplib::DataSink& sink) {
            auto send = [&](const Session::Update& u) {
                const std::string m = sseMessage(u);
                cursor->seq = u.seq;
                return sink.write(m.data(), m.size());
            };
            if (!cursor->started) {
                cursor->started = true;
                return send(session.snapshot());
            }
            const auto idleUntil =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(options.keepAliveMs);
            while (!stopping) {
                std::vector<Session::Update> updates;
                switch (
                    session.updatesAfter(cursor->seq, updates, std::chrono::milliseconds(250))) {
                case Session::Wait::Closed:
                    sink.done();
                    return true;
                case Session::Wait::Gap:
                    return send(session.snapshot());
                case Session::Wait::Ready:
                    for (const Session::Update& u : updates)
                        if (!send(u))
                            return false; // the client has gone
                    return true;
                case Session::Wait::Timeout:
                    if (std::chrono::steady_clock::now() >= idleUntil) {
                        static const char idle[] = ": idle\n\n";
                        return sink.write(idle, sizeof idle - 1);
                    }
                    break;
                }
            }
            sink.done();
            return true;
        },
        [this](bool) { --streams; });
}

PageServer::PageServer(Session& session, ServerOptions options)
    : m_impl(std::make_unique<Impl>(session, std::move(options))) {
    Impl& m = *m_impl;
    const size_t threads = static_cast<size_t>(std::max(4, m.options.threads));
    m.http.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    // Short, so that stopping does not wait long on an idle connection.
    m.http.set_keep_alive_timeout(1);
    // Updates are small and must leave at once, not wait for the previous one to be acknowledged.
    m.http.set_tcp_nodelay(true);
    m.http.set_keep_alive_max_count(1000);
    m.http.set_payload_max_length(1 << 20);
    // Address reuse only: the library's default also shares the port (SO_REUSEPORT), so that a
    // second bench on a taken port would quietly get half of the first one's requests.
    m.http.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    m.routes();
}

PageServer::~PageServer() {
    stop();
}

bool PageServer::bind(std::string& error) {
    Impl& m = *m_impl;
    if (m.options.port == 0) {
        m.port = m.http.bind_to_any_port(m.options.address);
    } else if (m.http.bind_to_port(m.options.address, m.options.port)) {
        m.port = m.options.port;
    } else {
        m.port = -1;
    }
    if (m.port <= 0) {
        error = "cannot listen on " + m.options.address + ":" + std::to_string(m.options.port) +
                " (the port is taken, or the address is not one of this machine's)";
        return false;
    }
    return true;
}

int PageServer::port() const {
    return m_impl->port;
}

std::string PageServer::url() const {
    const std::string& a = m_impl->options.address;
    const std::string host = a.find(':') != std::string::npos ? "[" + a + "]" : a;
    return "http://" + host + ":" + std::to_string(m_impl->port) + "/";
}

void PageServer::start() {
    Impl& m = *m_impl;
    m.thread = std::thread([&m] { m.http.listen_after_bind(); });
    // stop() only reaches a server that is already running: wait until it is.
    for (int i = 0; i < 2000 && !m.http.is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void PageServer::stop() {
    Impl& m = *m_impl;
    m.stopping = true;
    if (m.thread.joinable()) {
        m.http.stop();
        m.thread.join();
    }
}

} // namespace zeph::bench
