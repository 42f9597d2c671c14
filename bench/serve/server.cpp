// The serve page's HTTP side. The gate reads and parses each request whole; its routes are answered
// here on a worker. Request threads never touch the component: every action goes to the session,
// which plays it on its own thread and answers when it is done. A view (a page that only reads) is
// served the same way, behind the same checks, with no action at all.
#include "serve/server.h"

#include "serve/access.h"
#include "serve/actions.h"
#include "serve/gate.h"
#include "serve/json_limits.h"

#include <atomic>
#include <cctype>
#include <functional>
#include <vector>

namespace zeph::bench {

namespace {

// The page's own policy: its inline script and style, calls to itself only, and no framing.
const char* const kPagePolicy =
    "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; connect-src "
    "'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
const char* const kDataPolicy = "default-src 'none'; frame-ancestors 'none'";
// A header no page of another origin can set without a preflight, which is refused.
const char* const kTokenHeader = "X-Zeph-Token";

void fail(HttpResponse& res, int status, const std::string& why) {
    res.status = status;
    res.setContent(errorJson(why), "application/json");
}

using Handler = std::function<void(const HttpRequest&, HttpResponse&)>;

// The routes: a path as it is, or one ending in "*" (any rest) or ":name" (a rest of lower-case
// letters), which the handler reads in the request's match.
class Routes {
public:
    void Get(std::string pattern, Handler h) { m_routes.push_back({"GET", std::move(pattern), h}); }
    void Post(std::string pattern, Handler h) {
        m_routes.push_back({"POST", std::move(pattern), h});
    }
    // The handler for the request, its match set; none when no route takes it.
    const Handler* find(HttpRequest& req) const {
        const std::string method = req.method == "HEAD" ? "GET" : req.method;
        for (const Route& r : m_routes)
            if (r.method == method && matches(r.pattern, req))
                return &r.handler;
        return nullptr;
    }

private:
    struct Route {
        std::string method, pattern;
        Handler handler;
    };
    static bool matches(const std::string& pattern, HttpRequest& req) {
        const size_t star = pattern.size() - 1;
        const size_t name = pattern.rfind(":name");
        std::string rest;
        if (!pattern.empty() && pattern[star] == '*') {
            if (req.path.compare(0, star, pattern, 0, star) != 0)
                return false;
            rest = req.path.substr(star);
        } else if (name != std::string::npos && name + 5 == pattern.size()) {
            if (req.path.size() <= name || req.path.compare(0, name, pattern, 0, name) != 0)
                return false;
            rest = req.path.substr(name);
            for (char c : rest)
                if (c < 'a' || c > 'z')
                    return false;
        } else if (req.path != pattern) {
            return false;
        }
        req.match = rest;
        return true;
    }
    std::vector<Route> m_routes;
};

std::string sseMessage(const Session::Update& u) {
    return "id: " + std::to_string(u.seq) + "\ndata: " + u.json + "\n\n";
}

// Where a stream's provider writes; done() ends the stream.
struct DataSink {
    const HttpResponse::Write& out;
    bool ended = false;
    bool write(const char* data, size_t size) { return out(std::string(data, size)); }
    void done() { ended = true; }
};

// An open stream's place, given back when its answer is done with (sent or not).
struct StreamPlace {
    std::atomic<int>& open;
    ~StreamPlace() { --open; }
};

} // namespace

struct PageServer::Impl {
    Session* session; // the live session, or
    const PageView* view;
    ServerOptions options;
    Routes http;
    Gate gate;
    std::string token; // carried by the page's every call in kTokenHeader, never in a cookie
    std::atomic<int> streams{0};
    std::atomic<bool> stopping{false};
    bool started = false;

    Impl(Session* s, const PageView* v, ServerOptions o)
        : session(s), view(v), options(std::move(o)),
          gate(
              limits(options), [this](HttpRequest& req, HttpResponse& res) { answer(req, res); },
              options.requireToken ? Gate::Trusted([this](const HttpRequest& req) {
                  return sameSecret(req.header(kTokenHeader), token);
              })
                                   : Gate::Trusted()) {
        if (options.requireToken)
            token = newToken();
        routes();
    }

    static GateLimits limits(const ServerOptions& o) {
        GateLimits l;
        l.deadline = std::chrono::milliseconds(o.requestDeadlineMs);
        l.workers = static_cast<size_t>(std::max(4, o.threads));
        return l;
    }

    bool hostAllowed(const std::string& host) const {
        const std::string port = ":" + std::to_string(gate.port());
        return host == hostPart(options.address) + port || host == "localhost" + port ||
               host == "127.0.0.1" + port;
    }
    // True when the request is answered (refused) already.
    bool guard(const HttpRequest& req, HttpResponse& res);
    void answer(HttpRequest& req, HttpResponse& res);
    void routes();
    void sessionRoutes();
    void viewRoutes();
    void stream(const HttpRequest& req, HttpResponse& res);
};

bool PageServer::Impl::guard(const HttpRequest& req, HttpResponse& res) {
    enum R : bool { Unhandled = false, Handled = true };
    res.setHeader("X-Content-Type-Options", "nosniff");
    res.setHeader("Content-Security-Policy", req.path == "/" ? kPagePolicy : kDataPolicy);
    res.setHeader("Referrer-Policy", "no-referrer");
    res.setHeader("Cache-Control", "no-store");
    const std::string host = req.header("Host");
    if (!hostAllowed(host)) {
        fail(res, 403, "the Host header names no address of this bench");
        return R::Handled;
    }
    if (req.hasHeader("Origin") && req.header("Origin") != "http://" + host) {
        fail(res, 403, "refused: the request comes from another site's page");
        return R::Handled;
    }
    // No preflight is ever answered, so no other origin's page can send the token's header.
    if (req.method == "OPTIONS") {
        fail(res, 405, "no calls from another site's page");
        return R::Handled;
    }
    // The page itself holds nothing: the token it needs is in the address's fragment, which only
    // the tab that opened it reads.
    const bool page = req.path == "/" && (req.method == "GET" || req.method == "HEAD");
    if (options.requireToken && !page && !sameSecret(req.header(kTokenHeader), token)) {
        fail(res, 403,
             "the session's token is missing or wrong: open the address the bench printed");
        return R::Handled;
    }
    if (req.method != "GET" && req.method != "HEAD") {
        const std::string type = req.header("Content-Type");
        if (type.substr(0, type.find(';')) != "application/json") {
            fail(res, 415, "a change is sent as Content-Type: application/json");
            return R::Handled;
        }
        // Measured before any document is built: a body nested a million deep is refused
        // as it is scanned, not after a million arrays were made of it.
        const JsonCheck checked = checkJson(req.body);
        if (checked.status) {
            fail(res, checked.status, checked.why);
            return R::Handled;
        }
    }
    return R::Unhandled;
}

void PageServer::Impl::answer(HttpRequest& req, HttpResponse& res) {
    if (guard(req, res))
        return;
    const Handler* route = http.find(req);
    if (!route) {
        // The path is not echoed: an error page is no place for a text the client chose.
        const bool known = req.method == "GET" || req.method == "HEAD" || req.method == "POST";
        fail(res, known ? 404 : 405, known ? "nothing is served here" : "method not allowed");
        return;
    }
    try {
        (*route)(req, res);
    } catch (const std::exception& e) {
        res.stream = nullptr;
        fail(res, 500, std::string("internal error: ") + e.what());
    }
}

void PageServer::Impl::routes() {
    if (view)
        viewRoutes();
    else
        sessionRoutes();
}

void PageServer::Impl::sessionRoutes() {
    http.Get("/", [](const HttpRequest&, HttpResponse& res) {
        res.setContent(servePage(), "text/html; charset=utf-8");
    });
    http.Get("/events", [this](const HttpRequest& req, HttpResponse& res) { stream(req, res); });
    http.Get("/api/state", [this](const HttpRequest&, HttpResponse& res) {
        res.setContent(session->snapshot().json, "application/json");
    });
    http.Get("/api/scenario", [this](const HttpRequest&, HttpResponse& res) {
        res.setHeader("Content-Disposition", "attachment; filename=\"session.zs\"");
        res.setContent(session->recording(), "text/plain; charset=utf-8");
    });
    http.Post("/api/*", [this](const HttpRequest& req, HttpResponse& res) {
        const ActionReply r = pageAction(*session, req.path, req.body);
        res.status = r.status;
        res.setContent(r.json, "application/json");
    });
}

// A view's page reads its state by GET and downloads its scenario; it plays nothing.
void PageServer::Impl::viewRoutes() {
    http.Get("/", [this](const HttpRequest&, HttpResponse& res) {
        res.setContent(view->page(), "text/html; charset=utf-8");
    });
    http.Get("/api/scenario", [this](const HttpRequest&, HttpResponse& res) {
        res.setHeader("Content-Disposition",
                      "attachment; filename=\"" + view->scenarioName() + "\"");
        // Sent as it is read: a trace's scenario may be larger than the trace.
        res.setHeader("Content-Type", "text/plain; charset=utf-8");
        res.stream = [this](const HttpResponse::Write& write) { view->writeScenario(write); };
    });
    http.Get("/api/view/:name", [this](const HttpRequest& req, HttpResponse& res) {
        const ActionReply r = view->read(req.match, req.params);
        res.status = r.status;
        res.setContent(r.json, "application/json");
    });
    http.Post("/api/*", [](const HttpRequest&, HttpResponse& res) {
        fail(res, 405, "this page only shows: nothing is played from it");
    });
}

void PageServer::Impl::stream(const HttpRequest& req, HttpResponse& res) {
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
    const std::string last = req.header("Last-Event-ID");
    if (!last.empty() && last.find_first_not_of("0123456789") == std::string::npos &&
        last.size() < 19) {
        cursor->seq = std::stoull(last);
        cursor->started = true;
    }
    std::shared_ptr<StreamPlace> place(new StreamPlace{streams});
    auto provide = [this, cursor](DataSink& sink) {
        auto send = [&](const Session::Update& u) {
            const std::string m = sseMessage(u);
            cursor->seq = u.seq;
            return sink.write(m.data(), m.size());
        };
        if (!cursor->started) {
            cursor->started = true;
            return send(session->snapshot());
        }
        const auto idleUntil =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(options.keepAliveMs);
        while (!stopping) {
            std::vector<Session::Update> updates;
            switch (session->updatesAfter(cursor->seq, updates, std::chrono::milliseconds(250))) {
            case Session::Wait::Closed:
                sink.done();
                return true;
            case Session::Wait::Gap:
                return send(session->snapshot());
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
    };
    res.setHeader("Content-Type", "text/event-stream");
    res.stream = [place, provide](const HttpResponse::Write& write) {
        DataSink sink{write};
        while (!sink.ended && provide(sink)) {
        }
    };
}

PageServer::PageServer(Session& session, ServerOptions options)
    : m_impl(std::make_unique<Impl>(&session, nullptr, std::move(options))) {}

PageServer::PageServer(const PageView& view, ServerOptions options)
    : m_impl(std::make_unique<Impl>(nullptr, &view, std::move(options))) {}

PageServer::~PageServer() {
    stop();
}

bool PageServer::bind(std::string& error) {
    Impl& m = *m_impl;
    if (m.options.requireToken)
        return m.gate.listen(m.options.address, m.options.port, error);
    // Listens on the very addresses checked, not on a second lookup of the name.
    std::vector<std::string> numeric;
    if (!loopbackOnly(m.options.address, numeric)) {
        error = "the token may be turned off on an address that is loopback only, not on " +
                m.options.address;
        return false;
    }
    for (const std::string& address : numeric)
        if (m.gate.listen(address, m.options.port, error))
            return true;
    return false;
}

int PageServer::port() const {
    return m_impl->gate.port();
}

std::string PageServer::url() const {
    const Impl& m = *m_impl;
    return "http://" + hostPart(m.options.address) + ":" + std::to_string(m.gate.port()) + "/" +
           (m.options.requireToken ? "#token=" + m.token : "");
}

void PageServer::start() {
    Impl& m = *m_impl;
    m.gate.start();
    m.started = true;
}

void PageServer::stop() {
    Impl& m = *m_impl;
    m.stopping = true;
    if (!m.started)
        return;
    m.started = false;
    m.gate.stop();
}

} // namespace zeph::bench
