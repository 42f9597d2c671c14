// The gate: a poll loop over the listening socket and every connection whose request is still
// arriving. Requests are checked here, before anything is buffered beyond the limits: the head's
// size and line count, a Content-Length within the body limit, no compressed or chunked body. No
// Range is passed on: the library would repeat the body once per range asked for.
#include "serve/gate.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zeph::bench {

namespace {

using Clock = std::chrono::steady_clock;

// A refused client still sending its body is read and dropped for this long (up to this much)
// after the answer, so that it reads the answer rather than a reset connection.
constexpr auto kDrainTime = std::chrono::milliseconds(1000);
constexpr size_t kDrainBytes = 2u << 20;

const char* reason(int status) {
    switch (status) {
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 408:
        return "Request Timeout";
    case 411:
        return "Length Required";
    case 413:
        return "Payload Too Large";
    case 415:
        return "Unsupported Media Type";
    case 431:
        return "Request Header Fields Too Large";
    default:
        return "Service Unavailable";
    }
}

std::string lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return s;
}

std::string trim(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t");
    const size_t e = s.find_last_not_of(" \t");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

void sendAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return; // a refusal is best effort: the socket buffer takes it, or the client is gone
        done += static_cast<size_t>(n);
    }
}

// What a request head says of its body: how long it is, or why the bench does not read it as sent
// (status non-zero). blank is where the head's blank line starts.
struct Framing {
    int status = 0;
    std::string why;
    long long length = -1;
};

Framing framing(const std::string& data, size_t blank, const GateLimits& limits) {
    Framing f;
    size_t lines = 0;
    size_t start = data.find("\r\n") + 2;
    while (start < blank + 2) {
        const size_t end = data.find("\r\n", start);
        const std::string line = data.substr(start, end - start);
        start = end + 2;
        if (++lines > limits.maxHeaders)
            return {431,
                    "the request has over " + std::to_string(limits.maxHeaders) + " header lines"};
        const size_t colon = line.find(':');
        const std::string name = lower(trim(line.substr(0, colon)));
        const std::string value =
            colon == std::string::npos ? std::string() : trim(line.substr(colon + 1));
        if (name == "transfer-encoding")
            return {411, "a request body needs a Content-Length (no chunked transfer)"};
        if (name == "content-encoding" && lower(value) != "identity")
            return {415, "compressed request bodies are not taken"};
        if (name == "content-length") {
            const bool digits = !value.empty() && value.size() <= 12 &&
                                value.find_first_not_of("0123456789") == std::string::npos;
            const long long n = digits ? std::stoll(value) : -1;
            if (!digits || (f.length >= 0 && n != f.length))
                return {400, "malformed Content-Length"};
            f.length = n;
        }
    }
    if (f.length > static_cast<long long>(limits.maxBody))
        return {413, "the body is " + std::to_string(f.length) +
                         " bytes; the bench takes at most " + std::to_string(limits.maxBody)};
    return f;
}

// Drops the head's Range and If-Range lines; where the head now ends.
size_t dropRanges(std::string& data, size_t headEnd) {
    size_t start = data.find("\r\n") + 2;
    while (start + 2 < headEnd) {
        const size_t end = data.find("\r\n", start) + 2;
        const std::string name = lower(trim(data.substr(start, data.find(':', start) - start)));
        if (data.find(':', start) < end && (name == "range" || name == "if-range")) {
            data.erase(start, end - start);
            headEnd -= end - start;
        } else {
            start = end;
        }
    }
    return headEnd;
}

} // namespace

struct Gate::Arriving {
    int fd = -1;
    std::string data;
    Clock::time_point deadline;
    size_t headEnd = 0; // past the blank line, once it has arrived
    size_t total = 0;   // head and body
    bool draining = false;
    size_t drained = 0;
};

std::string Gate::refusal(int status, const std::string& why) {
    std::string escaped;
    for (char c : why)
        escaped += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
    const std::string body = "{\"ok\":false,\"error\":\"" + escaped + "\"}";
    return "HTTP/1.1 " + std::to_string(status) + " " + reason(status) +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\nX-Content-Type-Options: nosniff\r\n"
           "Content-Security-Policy: default-src 'none'; frame-ancestors 'none'\r\n\r\n" +
           body;
}

Gate::Gate(GateLimits limits, Handler handler, Trusted trusted)
    : m_limits(std::move(limits)), m_handler(std::move(handler)), m_trusted(std::move(trusted)) {}

Gate::~Gate() {
    stop();
    if (m_listen >= 0)
        ::close(m_listen);
}

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

void Gate::start() {
    m_stopping = false;
    for (size_t i = 0; i < std::max<size_t>(1, m_limits.workers); ++i)
        m_workers.emplace_back([this] { work(true); });
    for (size_t i = 0; m_trusted && i < std::max<size_t>(1, m_limits.untrustedWorkers); ++i)
        m_workers.emplace_back([this] { work(false); });
    m_thread = std::thread([this] { run(); });
}

void Gate::stop() {
    m_stopping = true;
    m_ready.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    for (std::thread& w : m_workers)
        w.join();
    m_workers.clear();
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& queue : m_queue) {
        for (auto& [fd, request] : queue)
            ::close(fd);
        queue.clear();
    }
}

void Gate::run() {
    std::vector<Arriving> arriving;
    std::vector<pollfd> fds;
    while (!m_stopping) {
        fds.assign(1, pollfd{m_listen, POLLIN, 0});
        Clock::time_point wake = Clock::now() + std::chrono::milliseconds(100);
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
        if (fds[0].revents & POLLIN)
            accept(arriving);
    }
    for (const Arriving& a : arriving)
        ::close(a.fd);
}

void Gate::accept(std::vector<Arriving>& arriving) {
    for (;;) {
        const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        // Full: the oldest gives way, not the newcomer. Whoever holds every place cannot keep
        // out a client that sends its request at once (as the page does).
        if (!arriving.empty() && arriving.size() >= m_limits.maxArriving) {
            Arriving& oldest = arriving.front();
            if (!oldest.draining)
                sendAll(oldest.fd,
                        refusal(503, "too many connections are still sending their request"));
            ::close(oldest.fd);
            arriving.erase(arriving.begin());
        }
        Arriving a;
        a.fd = fd;
        a.deadline = Clock::now() + m_limits.deadline;
        arriving.push_back(std::move(a));
    }
}

bool Gate::receive(Arriving& a) {
    char buffer[16384];
    for (;;) {
        // Never more than the request can still need: its head's limit, then its declared body.
        size_t want = sizeof buffer;
        if (!a.draining)
            want = std::min(want, (a.headEnd ? a.total : m_limits.maxHead + 1) - a.data.size());
        const ssize_t n = want ? ::recv(a.fd, buffer, want, 0) : 0;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        if (n <= 0 && (a.draining || want)) {
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
        a.data.append(buffer, static_cast<size_t>(n));
        if (!a.headEnd) {
            const size_t blank = a.data.find("\r\n\r\n");
            if (blank == std::string::npos || blank + 4 > m_limits.maxHead) {
                if (a.data.size() > m_limits.maxHead) {
                    refuse(a, 431,
                           "the request head is over " + std::to_string(m_limits.maxHead) +
                               " bytes");
                    return true;
                }
                continue;
            }
            const Framing f = framing(a.data, blank, m_limits);
            if (f.status) {
                refuse(a, f.status, f.why);
                return true;
            }
            a.headEnd = dropRanges(a.data, blank + 4);
            a.total = a.headEnd + static_cast<size_t>(std::max(0LL, f.length));
        }
        if (a.data.size() >= a.total) {
            a.data.resize(a.total);
            auto& queue = m_queue[!m_trusted || m_trusted(a.data.substr(0, a.headEnd))];
            std::unique_lock<std::mutex> lock(m_mutex);
            if (queue.size() >= m_limits.maxQueued) {
                lock.unlock();
                refuse(a, 503, "the bench is busy: try again");
                return true;
            }
            queue.emplace_back(a.fd, std::move(a.data));
            lock.unlock();
            m_ready.notify_all(); // a worker of the right budget must wake
            return false;
        }
    }
}

void Gate::refuse(Arriving& a, int status, const std::string& why) {
    sendAll(a.fd, refusal(status, why));
    ::shutdown(a.fd, SHUT_WR);
    a.draining = true;
    a.data.clear();
    a.data.shrink_to_fit();
    a.deadline = Clock::now() + kDrainTime;
}

void Gate::work(bool trusted) {
    auto& queue = m_queue[trusted];
    for (;;) {
        std::pair<int, std::string> job;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_ready.wait(lock, [&] { return m_stopping || !queue.empty(); });
            if (queue.empty())
                return;
            job = std::move(queue.front());
            queue.pop_front();
        }
        m_handler(job.first, job.second);
        ::shutdown(job.first, SHUT_WR);
        ::close(job.first);
    }
}

} // namespace zeph::bench
