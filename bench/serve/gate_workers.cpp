// The gate's workers: each takes whole requests from its budget's queue, has the handler answer
// and writes the answer (streamed in chunks when it says so), one request a connection.
#include "serve/gate.h"

#include <boost/asio/buffer.hpp>
#include <boost/beast/core/buffer_traits.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/http/chunk_encode.hpp>
#include <boost/beast/http/serializer.hpp>
#include <boost/beast/http/string_body.hpp>

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zeph::bench {

namespace {

namespace beast = boost::beast;
namespace http = boost::beast::http;
using Message = http::response<http::string_body>;

// A stalled reader is given up after this long per write.
constexpr int kWriteTimeoutMs = 5000;

// The message as sent: its head alone, or head and body (chunked when it says so).
std::string wire(Message& m, bool headOnly) {
    http::response_serializer<http::string_body> sr{m};
    sr.split(headOnly);
    std::string out;
    beast::error_code ec;
    while (!ec && !(headOnly ? sr.is_header_done() : sr.is_done())) {
        sr.next(ec, [&](beast::error_code&, const auto& buffers) {
            out += beast::buffers_to_string(buffers);
            sr.consume(beast::buffer_bytes(buffers));
        });
    }
    return out;
}

Message message(HttpResponse& r) {
    Message m;
    m.version(11);
    m.result(static_cast<unsigned>(r.status));
    for (const auto& [name, value] : r.headers)
        m.insert(name, value);
    m.keep_alive(false); // one request a connection: the gate reads the next one, not a worker
    return m;
}

} // namespace

// Sends it all, waiting at most kWriteTimeoutMs (none: one try) each time the socket is full.
bool Gate::sendAll(int fd, const std::string& data, bool wait) {
    for (size_t done = 0; done < data.size();) {
        const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || !wait || (errno != EAGAIN && errno != EWOULDBLOCK))
            return false;
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, kWriteTimeoutMs) <= 0 || (p.revents & (POLLERR | POLLHUP)))
            return false;
    }
    return true;
}

std::string Gate::refusal(int status, const std::string& why) {
    std::string escaped;
    for (char c : why)
        escaped += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
    HttpResponse r;
    r.status = status;
    r.setContent("{\"ok\":false,\"error\":\"" + escaped + "\"}", "application/json");
    r.setHeader("X-Content-Type-Options", "nosniff");
    r.setHeader("Content-Security-Policy", "default-src 'none'; frame-ancestors 'none'");
    Message m = message(r);
    m.body() = std::move(r.body);
    m.prepare_payload();
    return wire(m, false);
}

Gate::Gate(GateLimits limits, Handler handler, Trusted trusted)
    : m_limits(std::move(limits)), m_handler(std::move(handler)), m_trusted(std::move(trusted)) {}

Gate::~Gate() {
    stop();
    if (m_listen >= 0)
        ::close(m_listen);
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
        for (auto& job : queue)
            ::close(job.first);
        queue.clear();
    }
}

void Gate::work(bool trusted) {
    auto& queue = m_queue[trusted];
    for (;;) {
        std::pair<int, HttpRequest> job;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_ready.wait(lock, [&] { return m_stopping || !queue.empty(); });
            if (queue.empty())
                return;
            job = std::move(queue.front());
            queue.pop_front();
        }
        const int fd = job.first;
        HttpResponse response;
        m_handler(job.second, response);
        const bool headOnly = job.second.method == "HEAD";
        Message m = message(response);
        if (response.stream) {
            m.chunked(true);
            if (sendAll(fd, wire(m, true)) && !headOnly) {
                response.stream([fd](const std::string& chunk) {
                    return chunk.empty() || sendAll(fd, beast::buffers_to_string(http::make_chunk(
                                                            boost::asio::buffer(chunk))));
                });
                sendAll(fd, beast::buffers_to_string(http::make_chunk_last()));
            }
        } else {
            m.body() = std::move(response.body);
            m.prepare_payload();
            // The body goes as it is, after its head: a large download is not copied into a
            // second string on its way out.
            if (sendAll(fd, wire(m, true)) && !headOnly)
                sendAll(fd, m.body());
        }
        response = HttpResponse(); // a stream's hold on its place ends with the connection
        ::shutdown(fd, SHUT_WR);
        ::close(fd);
    }
}

} // namespace zeph::bench
