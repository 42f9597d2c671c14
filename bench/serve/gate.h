// The serve page's connections: one thread reads every request whole (head and body) within its
// limits and its deadline, and only then hands it to a worker. A slow or oversized client is cut
// off at the gate, so it can never hold a worker, and the others are served meanwhile. Requests
// that bear the session's token have a budget of their own (their queue and workers), so a crowd
// of clients without it can never keep the user out.
//
// The HTTP library (its parser and its writer) stays inside gate.cpp and gate_workers.cpp: what
// the server sees is the plain request and answer below.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace zeph::bench {

struct GateLimits {
    size_t maxHead = 16384; // request line and headers, in bytes
    size_t maxHeaders = 64; // header lines
    size_t maxBody = 1 << 20;
    // A request without the token is refused whatever its body says, so none is read past this:
    // connections still arriving cannot hold a MiB each for a client that has no token.
    size_t maxUntrustedBody = 16384;
    std::chrono::milliseconds deadline{10000}; // for a whole request to arrive
    size_t maxArriving = 256;    // connections still sending their request; the oldest gives way
    size_t maxQueued = 256;      // whole requests waiting for a worker, per budget
    size_t workers = 24;         // for requests that bear the token
    size_t untrustedWorkers = 2; // for the rest (quick answers: the page, refusals)
    // Out of descriptors with no connection to give way: the listener rests this long.
    std::chrono::milliseconds acceptPause{250};
};

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

// A request as the gate read it, whole. Range and If-Range are not passed on: every answer is
// whole, so a request for thousands of ranges costs no more than one for none.
struct HttpRequest {
    std::string method;
    std::string path;                          // percent-decoded, without the query
    std::map<std::string, std::string> params; // the query's, decoded; the first of a name
    HttpHeaders headers;
    std::string body;
    std::string match; // what a route's pattern left to its handler (a name, a rest of path)

    // The first header of that name, in any case; empty when there is none.
    std::string header(const std::string& name) const;
    bool hasHeader(const std::string& name) const;
};

struct HttpResponse {
    int status = 200;
    HttpHeaders headers;
    std::string body;
    // A body sent as it is made (chunked), in place of body: write says false once the client
    // has gone. Runs on the request's worker until it returns.
    using Write = std::function<bool(const std::string& chunk)>;
    std::function<void(const Write& write)> stream;

    void setHeader(const std::string& name, const std::string& value); // replaces
    void setContent(std::string content, const std::string& type);
    std::string header(const std::string& name) const;
};

class Gate {
public:
    // Runs on a worker with a whole request; the gate writes the answer and closes the
    // connection when it returns.
    using Handler = std::function<void(HttpRequest& request, HttpResponse& response)>;
    // Whether a whole request bears the session's token; none: every request does.
    using Trusted = std::function<bool(const HttpRequest& request)>;

    Gate(GateLimits limits, Handler handler, Trusted trusted = {});
    ~Gate();
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;

    // Binds and listens; false and why in error. Port 0 takes any free one.
    bool listen(const std::string& address, int port, std::string& error);
    int port() const { return m_port; }
    void start();
    // Stops accepting, closes what is still arriving, and waits for the workers.
    void stop();

    // A complete refusal: status, a one-line JSON error and the headers every answer carries.
    static std::string refusal(int status, const std::string& why);

private:
    struct Arriving;
    void run();
    // Takes what waits on the listener; false when out of descriptors with none to free.
    bool accept(std::vector<Arriving>& arriving);
    // Reads what the client sent; false when the connection is done with (handed on or closed).
    bool receive(Arriving& a);
    bool headChecked(Arriving& a);
    bool handOn(Arriving& a);
    void refuse(Arriving& a, int status, const std::string& why);
    void work(bool trusted);
    // Sends it all, waiting a while (none: one try) each time the socket is full.
    static bool sendAll(int fd, const std::string& data, bool wait = true);

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
    std::deque<std::pair<int, HttpRequest>> m_queue[2]; // [1]: bearing the token
};

} // namespace zeph::bench
