// The serve page's HTTP side: the page itself (built into the binary), a server-sent event stream
// of the session's updates, and one POST per kind of action. Nothing else is served: no file is
// read from disk.
#pragma once

#include "serve/session.h"

#include <memory>
#include <string>

namespace zeph::bench {

struct ServerOptions {
    std::string address = "127.0.0.1";
    int port = 0;           // 0: any free port
    int maxStreams = 16;    // open event streams at once; one more is refused with 503
    int threads = 24;       // request threads (each open stream holds one)
    int keepAliveMs = 5000; // an idle stream sends a comment this often (finds closed clients)
};

class PageServer {
public:
    PageServer(Session& session, ServerOptions options);
    ~PageServer();
    PageServer(const PageServer&) = delete;
    PageServer& operator=(const PageServer&) = delete;

    // Binds the address; false and why in error.
    bool bind(std::string& error);
    int port() const;
    std::string url() const;
    // Serves on a thread of its own until stop().
    void start();
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// The page, as served.
const std::string& servePage();

} // namespace zeph::bench
