// The HTTP library's side of a request the gate has read whole: a stream over the request's bytes
// and its connection, and the library's parsing, routing and writing fed from it. Included by
// the server alone.
#pragma once

#include <httplib.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>

namespace zeph::bench {

// A stalled reader is given up after this long per write.
constexpr int kWriteTimeoutMs = 5000;

// One request, already read whole, and its connection to answer on.
class RequestStream : public httplib::Stream {
public:
    RequestStream(int fd, const std::string& request) : m_fd(fd), m_request(request) {}
    bool is_readable() const override { return m_read < m_request.size(); }
    bool is_writable() const override {
        pollfd p{m_fd, POLLOUT, 0};
        return ::poll(&p, 1, kWriteTimeoutMs) > 0 && (p.revents & POLLOUT) &&
               !(p.revents & (POLLERR | POLLHUP));
    }
    ssize_t read(char* out, size_t size) override {
        size = std::min(size, m_request.size() - m_read);
        std::memcpy(out, m_request.data() + m_read, size);
        m_read += size;
        return static_cast<ssize_t>(size);
    }
    ssize_t write(const char* data, size_t size) override {
        for (size_t done = 0; done < size;) {
            const ssize_t n = ::send(m_fd, data + done, size - done, MSG_NOSIGNAL);
            if (n > 0)
                done += static_cast<size_t>(n);
            else if (n < 0 && errno != EINTR && (errno != EAGAIN || !is_writable()))
                return -1;
        }
        return static_cast<ssize_t>(size);
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        address(getpeername, ip, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        address(getsockname, ip, port);
    }
    socket_t socket() const override { return m_fd; }

private:
    void address(int (*get)(int, sockaddr*, socklen_t*), std::string& ip, int& port) const {
        sockaddr_storage a{};
        socklen_t len = sizeof a;
        char text[INET6_ADDRSTRLEN] = "";
        port = 0;
        if (get(m_fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        if (a.ss_family == AF_INET6) {
            const auto& in6 = reinterpret_cast<const sockaddr_in6&>(a);
            inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
            port = ntohs(in6.sin6_port);
        } else {
            const auto& in = reinterpret_cast<const sockaddr_in&>(a);
            inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
            port = ntohs(in.sin_port);
        }
        ip = text;
    }

    int m_fd;
    const std::string& m_request;
    size_t m_read = 0;
};

// The library's parsing, routing and writing, fed by the gate instead of its own listener.
class Http : public httplib::Server {
public:
    void answer(httplib::Stream& stream) {
        bool closed = true;
        process_request(stream, true, closed, nullptr);
    }
    // A chunked answer (the event stream) goes on while this is a valid socket.
    void setRunning(socket_t listening) { svr_sock_ = listening; }
};

} // namespace zeph::bench
