// The traced component: each notification answered with the calls and the answer the trace holds.
#include "trace/traced_component.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zeph::bench::trace {

namespace {
TracedComponents* g_playing; // the one playback, which the bare factory function finds

// What a release names that the host never handed out: an address of the bench's, never a reply.
char g_foreign[] = "foreign";

char* copyOf(const std::string& text) {
    char* p = static_cast<char*>(std::malloc(text.size() + 1));
    std::memcpy(p, text.c_str(), text.size() + 1);
    return p;
}
} // namespace

struct TracedComponents::Component : zeph_client_callback {
    Component(TracedComponents& p, zeph_client_callback* host) : playback(p), host(host) {}
    ~Component() override {
        TracedComponents& p = playback;
        if (p.m_pending && p.m_trace.calls.kind(p.m_call) == Call::Kind::Destroy)
            p.replay(host, p.m_call);
    }
    char* callback(void* data, int type) override {
        TracedComponents& p = playback;
        // The host handing back an answer given out here: the bench's facility does it itself.
        if (type == 5)
            for (size_t i = 0; i < p.m_answers.size(); ++i)
                if (p.m_answers[i] == data) {
                    std::free(p.m_answers[i]);
                    p.m_answers.erase(p.m_answers.begin() + long(i));
                    return nullptr;
                }
        if (!p.m_inside.empty())
            return p.inside(host, type);
        if (!p.m_pending || p.m_trace.calls.kind(p.m_call) == Call::Kind::Destroy) {
            p.note("the bench delivered a notification of type " + std::to_string(type) +
                       " that the trace does not hold",
                   p.m_call);
            return nullptr;
        }
        // Only its answer is read: the call itself is not made again.
        const zb_text answer = p.m_trace.calls.resultText(p.m_call);
        p.replay(host, p.m_call);
        if (!answer.data)
            return nullptr;
        p.m_answers.push_back(copyOf(text(answer)));
        return p.m_answers.back();
    }
    TracedComponents& playback;
    zeph_client_callback* host;
};

TracedComponents::TracedComponents(const Trace& t) : m_trace(t) {
    g_playing = this;
}

TracedComponents::~TracedComponents() {
    if (g_playing == this)
        g_playing = nullptr;
    for (char* a : m_answers)
        std::free(a);
}

host::ComponentSource TracedComponents::source() {
    return host::ComponentSource(&TracedComponents::create);
}

void TracedComponents::expect(size_t call, std::vector<size_t> trailing) {
    m_call = call;
    m_trailing = std::move(trailing);
    m_pending = true;
}

zeph_client_callback* TracedComponents::create(zeph_client_callback* host, const char* path) {
    TracedComponents& p = *g_playing;
    (void)path; // the load line gave the recorded one
    if (!p.m_pending || p.m_trace.calls.kind(p.m_call) != Call::Kind::Create) {
        p.note("the bench created a component the trace does not", p.m_call);
        return nullptr;
    }
    const Call top = p.m_trace.calls[p.m_call];
    p.replay(host, p.m_call);
    return top.returned && top.value ? new Component(p, host) : nullptr;
}

// The answer the traced component returned: a copy the host hands back (a parent's) or keeps.
char* TracedComponents::answer(const Call& top) {
    if (!top.result)
        return nullptr;
    m_answers.push_back(copyOf(*top.result));
    return m_answers.back();
}

void TracedComponents::release(zeph_client_callback* host, const Call& c) {
    const zb_payload& d = c.message.u.call.data;
    char* p = nullptr;
    if (d.kind == ZB_DATA_HANDED) {
        if (auto h = m_handed.find(d.value); h != m_handed.end()) {
            p = h->second;
            m_released[d.value] = p;
            m_handed.erase(h);
        } else if (auto r = m_released.find(d.value); r != m_released.end()) {
            p = r->second; // released again: the host sees the very pointer a second time
        } else {
            p = g_foreign;
        }
    }
    host->callback(p, 5);
}

char* TracedComponents::inside(zeph_client_callback* host, int type) {
    const size_t at = m_inside.front();
    m_inside.erase(m_inside.begin());
    const Call c = m_trace.calls[at];
    if (c.type != type)
        note("the bench delivered a notification of type " + std::to_string(type) +
                 " where the "
                 "trace holds " +
                 c.describe(),
             at);
    std::vector<size_t> outer;
    outer.swap(m_inside);
    replay(host, at);
    m_inside.swap(outer);
    return answer(c);
}

void TracedComponents::replay(zeph_client_callback* host, size_t at) {
    if (at == m_call)
        m_pending = false;
    const Calls& calls = m_trace.calls;
    const int depth = calls.depth(at);
    const uint32_t thread = calls.thread(at);
    std::vector<size_t> opened;
    for (size_t i = at + 1; i < calls.size() && calls.depth(i) > depth && calls.thread(i) == thread;
         ++i) {
        // The call in progress at each level below this one, for what is made inside it.
        opened.resize(size_t(calls.depth(i) - depth));
        opened.back() = i;
        if (calls.depth(i) != depth + 1) {
            // Inside a command, played when the facility delivers it there; inside anything else,
            // not played, and told.
            if (calls.kind(opened[0]) != Call::Kind::Command && !calls.toHost(i))
                note("the host delivered " + calls[i].describe() + " inside " +
                         calls[opened[opened.size() - 2]].describe() + "; a scenario cannot",
                     i);
            continue;
        }
        const Call c = calls.withoutOwner(i); // the notes below describe it in full
        // What the host delivered inside a command: played when the facility delivers it there.
        std::vector<size_t> within;
        for (size_t j = i + 1;
             j < calls.size() && calls.depth(j) > depth + 1 && calls.thread(j) == thread; ++j)
            if (calls.depth(j) == depth + 2 && !calls.toHost(j))
                within.push_back(j);
        const bool noHost = !host && (c.toHost || c.kind == Call::Kind::Command);
        if (noHost) {
            note("the component called a null host: " + calls[i].describe(), i);
            continue;
        }
        switch (c.kind) {
        case Call::Kind::Command: {
            if (onCommand)
                onCommand(i, c);
            m_reply = c.result;
            m_inside = within;
            const zb_text& t = c.message.u.call.data.text;
            std::string command = text(t);
            char* r = host->callback(t.data ? &command[0] : nullptr, 0);
            if (r && c.returned && c.value) {
                // The address handed out again: a release of it now means this reply, as the
                // trace's reader reads it, so the one released before is forgotten.
                m_handed[c.value] = r;
                m_released.erase(c.value);
            }
            m_reply.reset();
            for (size_t j : m_inside)
                note("the host delivered " + calls[j].describe() + " inside " + c.describe() +
                         "; a scenario cannot",
                     j);
            m_inside.clear();
            break;
        }
        case Call::Kind::Release:
            if (c.toHost)
                release(host, c);
            else
                note("the host released a text inside a notification: " + calls[i].describe(), i);
            break;
        case Call::Kind::Debug:
            std::fprintf(stderr, "%s\n", text(c.message.u.debug.text).c_str());
            break;
        case Call::Kind::Notification:
            if (c.toHost) // a call type no host knows: the host is told it, data aside
                host->callback(nullptr, c.type);
            else
                note("the host delivered " + c.describe() + " inside " + calls[at].describe() +
                         "; a scenario cannot",
                     i);
            break;
        default:
            note(c.describe(), i);
            break;
        }
    }
    for (size_t i : at == m_call ? m_trailing : std::vector<size_t>{})
        std::fprintf(stderr, "%s\n", text(calls[i].message.u.debug.text).c_str());
    std::fflush(stderr);
}

} // namespace zeph::bench::trace
