// The serve page's HTTP side: the page itself (built into the binary), a server-sent event stream
// of the session's updates, and one POST per kind of action. Nothing else is served: no file is
// read from disk.
//
// Only the page's own tab is answered: the Host must be one of the bench's addresses, a change
// must come as JSON and, when the browser names its origin, from the page's own; and every call
// but the page itself carries the session's token in a header (X-Zeph-Token). The printed address
// holds the token in its fragment, which a browser never sends; the page reads it there and keeps
// it for its tab. No other origin can set that header: it would need a preflight, never answered.
#pragma once

#include "serve/actions.h"
#include "serve/session.h"

#include <functional>
#include <map>
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
    bool requireToken = true;      // false only on an address that resolves to loopback alone
};

// What the server shows instead of a live session: a page of its own that only reads, by GET, from
// /api/view/NAME, and a scenario to download. Nothing is played from it: every POST is refused.
// Read from the server's threads at once, so it does not change once served.
class PageView {
public:
    virtual ~PageView() = default;
    virtual const std::string& page() const = 0;
    virtual std::string scenario() const = 0;
    // The scenario handed to write in pieces, for a download that builds no whole copy of it:
    // false once write says the client has gone. By default, the whole text at once.
    virtual bool writeScenario(const std::function<bool(const std::string&)>& write) const {
        return write(scenario());
    }
    // The name the downloaded scenario is saved under (letters, digits, '.', '-' and '_').
    virtual std::string scenarioName() const = 0;
    // GET /api/view/NAME?QUERY: 200 and JSON, or an error status and errorJson.
    virtual ActionReply read(const std::string& name,
                             const std::map<std::string, std::string>& query) const = 0;
};

class PageServer {
public:
    PageServer(Session& session, ServerOptions options);
    PageServer(const PageView& view, ServerOptions options);
    ~PageServer();
    PageServer(const PageServer&) = delete;
    PageServer& operator=(const PageServer&) = delete;

    // Binds the address; false and why in error (a taken port, or no token off loopback).
    bool bind(std::string& error);
    int port() const;
    // The address to open, with the session's token in its fragment when one is required.
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
