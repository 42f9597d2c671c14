// A component that does what a trace shows its component did: made by a factory of the bench, it
// answers each notification the facility delivers by making, through its host, the very calls
// the traced component made inside that notification (commands, releases, diagnostics) and by
// returning the recorded answer. Played by the ordinary runner, it turns a trace into the bench's
// own steps and expectations.
#pragma once

#include "component_source.h"
#include "trace/trace_reader.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zeph::bench::trace {

class TracedComponents {
public:
    explicit TracedComponents(const Trace& t);
    ~TracedComponents();
    TracedComponents(const TracedComponents&) = delete;
    TracedComponents& operator=(const TracedComponents&) = delete;

    // The factory of the traced components. One playback at a time: the factory is a bare
    // function, so it finds this one in a process-wide slot.
    host::ComponentSource source();
    // The top-level call (a create, a notification, a destroy) the next call from the facility
    // is, and the diagnostics after it that the trace put beside it rather than inside.
    void expect(size_t call, std::vector<size_t> trailing = {});
    // Whether the facility has made the call expect() named.
    bool delivered() const { return !m_pending; }

    // While a recorded command is made: the host's reply the trace holds, for the facility to
    // give (a query's text; for PS whether it was shown).
    const std::optional<std::string>& reply() const { return m_reply; }
    // Told before each recorded command goes to the host, with its index in the trace.
    std::function<void(size_t command, const Call& call)> onCommand;
    // Told what the playback cannot do as the trace did, with the call it concerns.
    std::function<void(const std::string& what, size_t call)> onNote;

    struct Component;

private:
    friend struct Component;
    static zeph_client_callback* create(zeph_client_callback* host, const char* path);
    // The calls the traced component made inside calls[at], made again through host.
    void replay(zeph_client_callback* host, size_t at);
    // A notification the host makes inside a recorded command: the next one the trace shows there.
    char* inside(zeph_client_callback* host, int type);
    void release(zeph_client_callback* host, const Call& c);
    char* answer(const Call& top);
    void note(const std::string& what, size_t call) {
        if (onNote)
            onNote(what, call);
    }

    const Trace& m_trace;
    size_t m_call = 0;
    std::vector<size_t> m_trailing;
    // The notifications the host delivered inside the command in progress, still to come.
    std::vector<size_t> m_inside;
    bool m_pending = false;
    std::optional<std::string> m_reply;
    // Each reply the trace shows handed out, by its recorded address: the pointer the bench's host
    // handed out for it; then, once released, the same pointer (a second release is made with it).
    std::map<uint64_t, char*> m_handed, m_released;
    std::vector<char*> m_answers; // answers given out, until the host hands them back
};

} // namespace zeph::bench::trace
