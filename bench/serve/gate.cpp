// The gate: a poll loop over the listening socket and every connection whose request is still
// arriving. Each connection has the HTTP library's request parser, fed only as much as the request
// can still need, so nothing is buffered past the head's limit or the declared body. The head is
// checked before the body is read: a line count within the limit, no compressed or chunked body.
// Whole requests go to the workers (gate_workers.cpp), which write the answers.
#include "serve/gate.h"

#include <boost/asio/buffer.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zeph::bench {

namespace {

namespace beast = boost::beast;
namespace http = boost::beast::http;
using Clock = std::chrono::steady_clock;
using Parser = http::request_parser<http::string_body>;

// A refused client still sending its body is read and dropped for this long (up to this much)
// after the answer, so that it reads the answer rather than a reset connection.
constexpr auto kDrainTime = std::chrono::milliseconds(1000);
constexpr size_t kDrainBytes = 2u << 20;
// Connections taken per turn of the loop: a flood waiting on the listener cannot starve the
// requests already arriving.
constexpr int kAcceptBurst = 64;

std::string text(beast::string_view s) {
    return std::string(s.data(), s.size());
}

// %XX decoded; in a query, '+' is a space.
std::string decoded(const std::string& s, bool query) {
    auto hex = [](char c) {
        return c >= '0' && c <= '9'   ? c - '0'
               : c >= 'a' && c <= 'f' ? c - 'a' + 10
               : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                      : -1;
    };
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && hex(s[i + 1]) >= 0 && hex(s[i + 2]) >= 0) {
            out += static_cast<char>(hex(s[i + 1]) * 16 + hex(s[i + 2]));
            i += 2;
        } else {
            out += query && s[i] == '+' ? ' ' : s[i];
        }
    }
    return out;
}

// What the library's parser refused, as the client is told.
std::pair<int, std::string> parseRefusal(const beast::error_code& ec, const Parser& parser,
                                         const GateLimits& limits) {
    if (ec == http::error::header_limit)
        return {431, "the request head is over " + std::to_string(limits.maxHead) + " bytes"};
    if (ec == http::error::body_limit)
        return {413, "the body is " + text(parser.get()[http::field::content_length]) +
                         " bytes; the bench takes at most " + std::to_string(limits.maxBody)};
    if (ec == http::error::bad_content_length)
        return {400, "malformed Content-Length"};
    if (ec == http::error::bad_transfer_encoding)
        return {411, "a request body needs a Content-Length (no chunked transfer)"};
    return {400, "malformed request"};
}

void copyHeaders(const http::request<http::string_body>& m, HttpHeaders& headers) {
    for (const auto& field : m)
        if (field.name() != http::field::range && field.name() != http::field::if_range)
            headers.emplace_back(text(field.name_string()), text(field.value()));
}

HttpRequest plain(Parser& parser) {
    http::request<http::string_body> m = parser.release();
    HttpRequest r;
    r.method = text(m.method_string());
    const std::string target = text(m.target());
    const size_t mark = target.find('?');
    r.path = decoded(target.substr(0, mark), false);
    if (mark != std::string::npos) {
        const std::string query = target.substr(mark + 1);
        for (size_t start = 0; start <= query.size();) {
            const size_t end = std::min(query.find('&', start), query.size());
            const std::string pair = query.substr(start, end - start);
            const size_t eq = pair.find('=');
            if (!pair.empty())
                r.params.emplace(decoded(pair.substr(0, eq), true),
                                 eq == std::string::npos ? "" : decoded(pair.substr(eq + 1), true));
            start = end + 1;
        }
    }
    copyHeaders(m, r.headers);
    r.body = std::move(m.body());
    return r;
}

} // namespace

struct Gate::Arriving {
    int fd = -1;
    std::unique_ptr<Parser> parser;
    std::string head; // what has come of the head, until the parser takes it whole
    Clock::time_point deadline;
    bool checked = false; // the head has been through headChecked
    bool draining = false;
    size_t drained = 0;
};

bool Gate::listen(const std::string& address, int port, std::string& error) {
    error = "cannot listen on " + address + ":" + std::to_string(port) +
            " (the port is taken, or the address is not one of this machine's)";
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
        return false;
    for (addrinfo* a = found; a && m_listen < 0; a = a->ai_next) {
        const int fd =
            ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0)
            continue;
        // Address reuse only, never port sharing: a second bench on a taken port must fail.
        int yes = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, 64) == 0)
            m_listen = fd;
        else
            ::close(fd);
    }
    freeaddrinfo(found);
    if (m_listen < 0)
        return false;
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    getsockname(m_listen, reinterpret_cast<sockaddr*>(&bound), &len);
    m_port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                                               : reinterpret_cast<sockaddr_in&>(bound).sin_port);
    error.clear();
    return true;
}

void Gate::run() {
    std::vector<Arriving> arriving;
    std::vector<pollfd> fds;
    Clock::time_point resting = Clock::now(); // the listener is left alone until then
    while (!m_stopping) {
        const bool listening = Clock::now() >= resting;
        fds.assign(1, pollfd{listening ? m_listen : -1, POLLIN, 0});
        Clock::time_point wake = Clock::now() + std::chrono::milliseconds(100);
        if (!listening)
            wake = std::min(wake, resting);
        for (const Arriving& a : arriving) {
            fds.push_back(pollfd{a.fd, POLLIN, 0});
            wake = std::min(wake, a.deadline);
        }
        const auto wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(wake - Clock::now()).count();
        if (::poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(0, wait + 1))) <
                0 &&
            errno != EINTR)
            break;
        std::vector<Arriving> next;
        const Clock::time_point now = Clock::now();
        for (size_t i = 0; i < arriving.size(); ++i) {
            Arriving& a = arriving[i];
            bool keep = true;
            if (fds[i + 1].revents)
                keep = receive(a);
            if (keep && now >= a.deadline) {
                if (a.draining) {
                    ::close(a.fd);
                    keep = false;
                } else {
                    refuse(a, 408,
                           "the request did not arrive within " +
                               std::to_string(m_limits.deadline.count()) + " ms");
                }
            }
            if (keep)
                next.push_back(std::move(a));
        }
        arriving.swap(next);
        if ((fds[0].revents & POLLIN) && !accept(arriving))
            resting = Clock::now() + m_limits.acceptPause;
    }
    for (const Arriving& a : arriving)
        ::close(a.fd);
}

bool Gate::accept(std::vector<Arriving>& arriving) {
    // The oldest gives way, not the newcomer. Whoever holds every place cannot keep out a client
    // that sends its request at once (as the page does).
    auto giveWay = [&] {
        Arriving& oldest = arriving.front();
        if (!oldest.draining)
            sendAll(oldest.fd, refusal(503, "too many connections are still sending their request"),
                    false);
        ::close(oldest.fd);
        arriving.erase(arriving.begin());
    };
    for (int turn = 0; turn < kAcceptBurst; ++turn) {
        const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0 && (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)) {
            // Out of descriptors: as when every place is taken, and with no place to free the
            // listener rests, for it stays readable and polling it again would only spin.
            if (arriving.empty())
                return false;
            giveWay();
            continue;
        }
        if (fd < 0 && (errno == EINTR || errno == ECONNABORTED))
            continue;
        if (fd < 0)
            return true;
        if (!arriving.empty() && arriving.size() >= m_limits.maxArriving)
            giveWay();
        Arriving a;
        a.fd = fd;
        a.deadline = Clock::now() + m_limits.deadline;
        a.parser = std::make_unique<Parser>();
        a.parser->header_limit(static_cast<std::uint32_t>(m_limits.maxHead));
        a.parser->body_limit(m_limits.maxBody);
        // A request already there is taken now, before a crowd behind it could push it out.
        if (receive(a))
            arriving.push_back(std::move(a));
    }
    return true;
}

bool Gate::receive(Arriving& a) {
    char buffer[16384];
    for (;;) {
        // Never more than the request can still need: its head's limit, then its declared body.
        size_t want = sizeof buffer;
        if (!a.draining && !a.parser->is_header_done())
            want = std::min(want, m_limits.maxHead + 1 - a.head.size());
        else if (!a.draining)
            want = std::min<size_t>(want, a.parser->content_length_remaining().value_or(0));
        const ssize_t n = want ? ::recv(a.fd, buffer, want, 0) : 0;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        if (n <= 0) {
            ::close(a.fd); // the client has gone, or has finished sending what was refused
            return false;
        }
        if (a.draining) {
            a.drained += static_cast<size_t>(n);
            if (a.drained > kDrainBytes) {
                ::close(a.fd);
                return false;
            }
            continue;
        }
        // The parser takes a head only whole: what it leaves waits for the rest.
        a.head.append(buffer, static_cast<size_t>(n));
        size_t used = 0;
        beast::error_code ec;
        while (used < a.head.size() && !a.parser->is_done()) {
            used +=
                a.parser->put(boost::asio::buffer(a.head.data() + used, a.head.size() - used), ec);
            if (ec == http::error::need_more) {
                ec = {};
                break;
            }
            if (ec || !headChecked(a))
                break;
        }
        if (a.draining)
            return true;
        a.head.erase(0, used);
        if (ec) {
            const auto [status, why] = parseRefusal(ec, *a.parser, m_limits);
            refuse(a, status, why);
            return true;
        }
        if (a.parser->is_done())
            return handOn(a);
    }
}

// What the head says of its body, checked before any of the body is read; false when refused.
bool Gate::headChecked(Arriving& a) {
    if (a.checked || !a.parser->is_header_done())
        return true;
    a.checked = true;
    const auto& m = a.parser->get();
    if (static_cast<size_t>(std::distance(m.begin(), m.end())) > m_limits.maxHeaders) {
        refuse(a, 431,
               "the request has over " + std::to_string(m_limits.maxHeaders) + " header lines");
        return false;
    }
    if (m.find(http::field::transfer_encoding) != m.end()) {
        refuse(a, 411, "a request body needs a Content-Length (no chunked transfer)");
        return false;
    }
    for (auto it = m.find(http::field::content_encoding);
         it != m.end() && it->name() == http::field::content_encoding; ++it) {
        if (!beast::iequals(it->value(), "identity")) {
            refuse(a, 415, "compressed request bodies are not taken");
            return false;
        }
    }
    if (m_trusted && a.parser->content_length().value_or(0) > m_limits.maxUntrustedBody) {
        HttpRequest head;
        copyHeaders(m, head.headers);
        if (!m_trusted(head)) {
            refuse(a, 413,
                   "a request without the session's token has a body of at most " +
                       std::to_string(m_limits.maxUntrustedBody) + " bytes");
            return false;
        }
    }
    return true;
}

bool Gate::handOn(Arriving& a) {
    HttpRequest request = plain(*a.parser);
    a.parser.reset();
    auto& queue = m_queue[!m_trusted || m_trusted(request)];
    std::unique_lock<std::mutex> lock(m_mutex);
    if (queue.size() >= m_limits.maxQueued) {
        lock.unlock();
        refuse(a, 503, "the bench is busy: try again");
        return true;
    }
    queue.emplace_back(a.fd, std::move(request));
    lock.unlock();
    m_ready.notify_all(); // a worker of the right budget must wake
    return false;
}

void Gate::refuse(Arriving& a, int status, const std::string& why) {
    sendAll(a.fd, refusal(status, why), false);
    ::shutdown(a.fd, SHUT_WR);
    a.draining = true;
    a.parser.reset();
    a.head.clear();
    a.head.shrink_to_fit();
    a.deadline = Clock::now() + kDrainTime;
}

} // namespace zeph::bench
