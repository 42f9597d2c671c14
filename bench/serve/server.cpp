// The serve page's HTTP side. The gate reads each request whole; the HTTP library parses and
// routes it on a worker. Request threads never touch the component: every action goes to the
// session, which plays it on its own thread and answers when it is done. A view (a page that only
// reads) is served the same way, behind the same checks, with no action at all.
#include "serve/server.h"

#include "serve/actions.h"
#include "serve/gate.h"
#include "serve/request_stream.h"

#include <atomic>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/random.h>

namespace zeph::bench {

namespace {

// The page's own policy: its inline script and style, calls to itself only, and no framing.
const char* const kPagePolicy =
    "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; connect-src "
    "'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
const char* const kDataPolicy = "default-src 'none'; frame-ancestors 'none'";
// A header no page of another origin can set without a preflight, which is refused.
const char* const kTokenHeader = "X-Zeph-Token";

void fail(httplib::Response& res, int status, const std::string& why) {
    res.status = status;
    res.set_content(errorJson(why), "application/json");
}

std::string newToken() {
    unsigned char bytes[16];
    size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n > 0)
            got += static_cast<size_t>(n);
        else if (errno != EINTR)
            throw std::runtime_error("no random bytes for the session's token");
    }
    static const char* hex = "0123456789abcdef";
    std::string token;
    for (unsigned char b : bytes) {
        token += hex[b >> 4];
        token += hex[b & 15];
    }
    return token;
}

// Compares in time independent of where the texts differ.
bool sameSecret(const std::string& a, const std::string& b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

// A request head's header, by name in lower case (the first such line); empty when it has none.
std::string headerOf(const std::string& head, const std::string& name) {
    for (size_t start = head.find("\r\n") + 2; start < head.size();) {
        const size_t end = std::min(head.find("\r\n", start), head.size());
        const size_t colon = head.find(':', start);
        if (colon < end && colon - start == name.size()) {
            bool same = true;
            for (size_t i = 0; i < name.size(); ++i)
                same &= std::tolower(static_cast<unsigned char>(head[start + i])) == name[i];
            if (same) {
                const size_t b = head.find_first_not_of(" \t", colon + 1);
                const size_t e = head.find_last_not_of(" \t", end - 1);
                return b < end && e != std::string::npos && e >= b ? head.substr(b, e - b + 1) : "";
            }
        }
        start = end + 2;
    }
    return {};
}

// The address's numeric forms, as it resolves; false when any is not loopback (a name such as
// 127.example.org is looked up, and may be anywhere), or it does not resolve.
bool loopbackOnly(const std::string& address, std::vector<std::string>& numeric) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    if (getaddrinfo(address.empty() ? nullptr : address.c_str(), "0", &hints, &found) != 0)
        return false;
    bool loopback = found != nullptr;
    for (addrinfo* a = found; a; a = a->ai_next) {
        char text[INET6_ADDRSTRLEN] = "";
        if (a->ai_family == AF_INET) {
            const in_addr& in = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr;
            loopback &= (ntohl(in.s_addr) >> 24) == 127;
            inet_ntop(AF_INET, &in, text, sizeof text);
        } else if (a->ai_family == AF_INET6) {
            const in6_addr& in6 = reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr;
            loopback &= IN6_IS_ADDR_LOOPBACK(&in6) != 0;
            inet_ntop(AF_INET6, &in6, text, sizeof text);
        } else {
            loopback = false;
        }
        numeric.push_back(text);
    }
    freeaddrinfo(found);
    return loopback;
}

std::string hostPart(const std::string& address) {
    return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}

std::string sseMessage(const Session::Update& u) {
    return "id: " + std::to_string(u.seq) + "\ndata: " + u.json + "\n\n";
}

} // namespace

struct PageServer::Impl {
    Session* session; // the live session, or
    const PageView* view;
    ServerOptions options;
    Http http;
    Gate gate;
    std::string token; // carried by the page's every call in kTokenHeader, never in a cookie
    std::atomic<int> streams{0};
    std::atomic<bool> stopping{false};
    bool started = false;

    Impl(Session* s, const PageView* v, ServerOptions o)
        : session(s), view(v), options(std::move(o)),
          gate(
              limits(options),
              [this](int fd, const std::string& r) {
                  RequestStream stream(fd, r);
                  http.answer(stream);
              },
              options.requireToken ? Gate::Trusted([this](const std::string& head) {
                  return sameSecret(headerOf(head, "x-zeph-token"), token);
              })
                                   : Gate::Trusted()) {
        if (options.requireToken)
            token = newToken();
        http.set_payload_max_length(GateLimits{}.maxBody);
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
    httplib::Server::HandlerResponse guard(const httplib::Request& req, httplib::Response& res);
    void routes();
    void sessionRoutes();
    void viewRoutes();
    void stream(const httplib::Request& req, httplib::Response& res);
};

httplib::Server::HandlerResponse PageServer::Impl::guard(const httplib::Request& req,
                                                         httplib::Response& res) {
    using R = httplib::Server::HandlerResponse;
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Content-Security-Policy", req.path == "/" ? kPagePolicy : kDataPolicy);
    res.set_header("Referrer-Policy", "no-referrer");
    res.set_header("Cache-Control", "no-store");
    const std::string host = req.get_header_value("Host");
    if (!hostAllowed(host)) {
        fail(res, 403, "the Host header names no address of this bench");
        return R::Handled;
    }
    if (req.has_header("Origin") && req.get_header_value("Origin") != "http://" + host) {
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
    if (options.requireToken && !page && !sameSecret(req.get_header_value(kTokenHeader), token)) {
        fail(res, 403,
             "the session's token is missing or wrong: open the address the bench printed");
        return R::Handled;
    }
    if (req.method != "GET" && req.method != "HEAD") {
        const std::string type = req.get_header_value("Content-Type");
        if (type.substr(0, type.find(';')) != "application/json") {
            fail(res, 415, "a change is sent as Content-Type: application/json");
            return R::Handled;
        }
    }
    return R::Unhandled;
}

void PageServer::Impl::routes() {
    http.set_pre_routing_handler(
        [this](const httplib::Request& req, httplib::Response& res) { return guard(req, res); });
    if (view)
        viewRoutes();
    else
        sessionRoutes();

    // The path is not echoed: an error page is no place for a text the client chose.
    http.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty())
            return;
        const std::string why = res.status == 404   ? "nothing is served here"
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

void PageServer::Impl::sessionRoutes() {
    http.Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(servePage(), "text/html; charset=utf-8");
    });
    http.Get("/events",
             [this](const httplib::Request& req, httplib::Response& res) { stream(req, res); });
    http.Get("/api/state", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(session->snapshot().json, "application/json");
    });
    http.Get("/api/scenario", [this](const httplib::Request&, httplib::Response& res) {
        res.set_header("Content-Disposition", "attachment; filename=\"session.zs\"");
        res.set_content(session->recording(), "text/plain; charset=utf-8");
    });
    http.Post("/api/.*", [this](const httplib::Request& req, httplib::Response& res) {
        const ActionReply r = pageAction(*session, req.path, req.body);
        res.status = r.status;
        res.set_content(r.json, "application/json");
    });
}

// A view's page reads its state by GET and downloads its scenario; it plays nothing.
void PageServer::Impl::viewRoutes() {
    http.Get("/", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(view->page(), "text/html; charset=utf-8");
    });
    http.Get("/api/scenario", [this](const httplib::Request&, httplib::Response& res) {
        res.set_header("Content-Disposition",
                       "attachment; filename=\"" + view->scenarioName() + "\"");
        res.set_content(view->scenario(), "text/plain; charset=utf-8");
    });
    http.Get("/api/view/([a-z]+)", [this](const httplib::Request& req, httplib::Response& res) {
        const ActionReply r = view->read(req.matches[1], {req.params.begin(), req.params.end()});
        res.status = r.status;
        res.set_content(r.json, "application/json");
    });
    http.Post("/api/.*", [](const httplib::Request&, httplib::Response& res) {
        fail(res, 405, "this page only shows: nothing is played from it");
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
                return send(session->snapshot());
            }
            const auto idleUntil =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(options.keepAliveMs);
            while (!stopping) {
                std::vector<Session::Update> updates;
                switch (
                    session->updatesAfter(cursor->seq, updates, std::chrono::milliseconds(250))) {
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
        },
        [this](bool) { --streams; });
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
    m.http.setRunning(m.gate.socket());
    m.gate.start();
    m.started = true;
}

void PageServer::stop() {
    Impl& m = *m_impl;
    m.stopping = true;
    if (!m.started)
        return;
    m.started = false;
    m.http.setRunning(INVALID_SOCKET);
    m.gate.stop();
}

} // namespace zeph::bench
