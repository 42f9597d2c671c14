// The serve page's connections: one thread reads every request whole (head and body) within its
// limits and its deadline, and only then hands it to a worker. A slow or oversized client is cut
// off at the gate, so it can never hold a worker, and the others are served meanwhile. Requests
// that bear the session's token have a budget of their own (their queue and workers), so a crowd
// of clients without it can never keep the user out.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zeph::bench {

struct GateLimits {
    size_t maxHead = 16384; // request line and headers, in bytes
    size_t maxHeaders = 64; // header lines
    size_t maxBody = 1 << 20;
    std::chrono::milliseconds deadline{10000}; // for a whole request to arrive
    size_t maxArriving = 256;    // connections still sending their request; the oldest gives way
    size_t maxQueued = 256;      // whole requests waiting for a worker, per budget
    size_t workers = 24;         // for requests that bear the token
    size_t untrustedWorkers = 2; // for the rest (quick answers: the page, refusals)
};

class Gate {
public:
    // Runs on a worker with the connection (non-blocking) and its whole request; the gate closes
    // the connection when it returns.
    using Handler = std::function<void(int fd, const std::string& request)>;
    // Whether a whole request head bears the session's token; none: every request does.
    using Trusted = std::function<bool(const std::string& head)>;

    Gate(GateLimits limits, Handler handler, Trusted trusted = {});
    ~Gate();
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;

    // Binds and listens; false and why in error. Port 0 takes any free one.
    bool listen(const std::string& address, int port, std::string& error);
    int port() const { return m_port; }
    int socket() const { return m_listen; }
    void start();
    // Stops accepting, closes what is still arriving, and waits for the workers.
    void stop();

    // A complete refusal: status, a one-line JSON error and the headers every answer carries.
    static std::string refusal(int status, const std::string& why);

private:
    struct Arriving;
    void run();
    void accept(std::vector<Arriving>& arriving);
    // Reads what the client sent; false when the connection is done with (handed on or closed).
    bool receive(Arriving& a);
    void refuse(Arriving& a, int status, const std::string& why);
    void work(bool trusted);

    GateLimits m_limits;
    Handler m_handler;
    Trusted m_trusted;
    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::thread m_thread;
    std::vector<std::thread> m_workers;

    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<std::pair<int, std::string>> m_queue[2]; // [1]: bearing the token
};

} // namespace zeph::bench
