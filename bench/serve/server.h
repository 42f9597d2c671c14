// The serve page's HTTP side: the page itself (built into the binary), a server-sent event stream
// of the session's updates, and one POST per kind of action. Nothing else is served: no file is
// read from disk.
//
// Only the page's own tab is answered: the Host must be one of the bench's addresses, a change
// must come as JSON and, when the browser names its origin, from the page's own; and every call
// carries the session's token, which the printed address hands to the page once and the page
// keeps in a cookie no script can read and no other site can send.
#pragma once

#include "serve/session.h"

#include <memory>
#include <string>

namespace zeph::bench {

struct ServerOptions {
    std::string address = "127.0.0.1";
    int port = 0;           // 0: any free port
    int maxStreams = 16;    // open event streams at once; one more is refused with 503
    int threads = 24;       // workers (each open stream holds one); requests arrive without one
    int keepAliveMs = 5000; // an idle stream sends a comment this often (finds closed clients)
    int requestDeadlineMs = 10000; // for a whole request to arrive; a slower client is cut off
    bool requireToken = true;      // false only on a loopback address
};

class PageServer {
public:
    PageServer(Session& session, ServerOptions options);
    ~PageServer();
    PageServer(const PageServer&) = delete;
    PageServer& operator=(const PageServer&) = delete;

    // Binds the address; false and why in error (a taken port, or no token off loopback).
    bool bind(std::string& error);
    int port() const;
    // The address to open, with the session's token when one is required.
    std::string url() const;
    // Serves on threads of its own until stop().
    void start();
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// The page, as served.
const std::string& servePage();

} // namespace zeph::bench
