// The bench's end of the pipe, its call loop: a call from the bench sent and its RETURN awaited,
// the bridge's calls to the hosts served meanwhile, and the ledger of the replies those hosts
// handed out.
#include "bridge/bridge_connection_internal.h"

#include <algorithm>
#include <csignal>
#include <iterator>

namespace zeph::host::bridge {

using detail::selfPid;
using detail::textOf;

// What a host is given for a reply of its own coming back: the reply itself the first time and
// again for a repeated release (so that the host sees the repeat), a foreign pointer otherwise.
void* Connection::releasedData(uint64_t token) {
    if (m_replies.erase(token)) {
        m_released[m_releasedNext] = token;
        m_releasedNext = (m_releasedNext + 1) % std::size(m_released);
        return reinterpret_cast<void*>(uintptr_t(token));
    }
    if (token &&
        std::find(std::begin(m_released), std::end(m_released), token) != std::end(m_released))
        return reinterpret_cast<void*>(uintptr_t(token));
    return m_foreign;
}

void Connection::serveCall(const zb_call& call, bool answered) {
    std::string text;
    void* data = nullptr;
    switch (call.data.kind) {
    case ZB_DATA_NULL:
        break;
    case ZB_DATA_TEXT:
        text = textOf(call.data.text);
        text.append(16, '\0'); // a host reading past a short text reads zeros
        data = text.data();
        break;
    case ZB_DATA_HANDED:
        data = releasedData(call.data.value);
        break;
    case ZB_DATA_FOREIGN:
        data = m_foreign;
        break;
    default: // a host is given texts, its own replies or nothing: any other pointer is garbage
        protocolError();
    }
    const auto host = m_hosts.find(uint32_t(call.target));
    // A component calling a host that has gone (or a null host) reaches nothing.
    m_posting += answered ? 0 : 1;
    char* reply = host != m_hosts.end() ? host->second->callback(data, call.type) : nullptr;
    m_posting -= answered ? 0 : 1;
    if (!answered)
        return; // the component was given null: its host answers this call with nothing
    zb_message r{};
    r.kind = ZB_RETURN;
    if (reply) {
        r.u.ret.text = zb_text_of(reply);
        r.u.ret.value = uint64_t(reinterpret_cast<uintptr_t>(reply));
        r.u.ret.flags = r.u.ret.text.size < ZB_TEXT_LIMIT ? ZB_TERMINATED : 0;
        m_replies.insert(r.u.ret.value);
    }
    send(r);
}

Reply Connection::call(const zb_message& message, const Activity& activity) {
    // A job of overlap() sends its notifications ahead; anything else waits for those sent.
    if (m_overlap && m_activities.empty() && m_overlap->current >= 0) {
        if (message.kind == ZB_CALL && !activity.survivable &&
            m_link.header->one_way == oneWaySet())
            return callAhead(message, activity);
        drainAhead();
    }
    if (m_owner != selfPid())
        crash("a component created before a fork was used in the forked process", SIGABRT);
    if (m_posting)
        crash("a host called a component back while it served a call that takes no answer" +
                  activityText(),
              SIGABRT);
    // Seen by the process that lent this bridge, should this one end inside the call.
    struct InCall {
        zb_region_header* h;
        explicit InCall(zb_region_header* header) : h(header) {
            if (h)
                ++h->bench_calls;
        }
        ~InCall() {
            if (h)
                --h->bench_calls;
        }
        InCall(const InCall&) = delete;
        InCall& operator=(const InCall&) = delete;
    } inCall(m_shared ? m_link.header : nullptr);
    m_activities.push_back(&activity);
    updateOneWay();
    send(message);
    return await(activity);
}

Reply Connection::await(const Activity& activity) {
    for (;;) {
        Frame f;
        receive(f, m_launch.answerSeconds);
        const zb_message& m = f.message;
        switch (m.kind) {
        case ZB_RETURN: {
            Reply r;
            r.value = m.u.ret.value;
            r.flags = m.u.ret.flags;
            if (m.u.ret.text.data)
                r.text = textOf(m.u.ret.text);
            m_activities.pop_back();
            if (m_activities.empty())
                m_replies.clear();
            return r;
        }
        case ZB_CALL:
            serveCall(m.u.call);
            break;
        case ZB_POST:
            serveCall(m.u.call, false);
            break;
        case ZB_DEBUG:
            debugText(m.u.debug);
            break;
        case ZB_FAULT:
            if (activity.survivable) {
                Reply r;
                r.fault = survived(m.u.fault);
                m_activities.pop_back();
                if (m_activities.empty())
                    m_replies.clear();
                return r;
            }
            fault(m.u.fault);
        default:
            protocolError();
        }
    }
}

} // namespace zeph::host::bridge
