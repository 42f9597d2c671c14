// Stand-ins and the encoding of what the bench hands a component.
#include "bridge/bridge_proxy.h"

#include "zeph_records.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <utility>

#include <unistd.h>

namespace zeph::host::bridge {

namespace {

// A revertive or database record: its four words and the text from byte 16.
zb_payload recordPayload(const void* data) {
    zb_payload d{};
    d.kind = ZB_DATA_RECORD;
    std::memcpy(d.words, data, sizeof d.words);
    d.text = zb_text_of(static_cast<const char*>(data) + 16);
    return d;
}

zb_payload buttonPayload(const zeph_button_record* b) {
    zb_payload d{};
    d.kind = ZB_DATA_BUTTON;
    zb_button_data& p = d.button;
    p.word0 = b->unused0;
    p.word1 = b->unused1;
    p.panel = zb_text_of(b->panel);
    p.control = zb_text_of(b->control);
    p.has_event = b->event ? 1 : 0;
    if (const zeph_parent_event* e = b->event) {
        // The host's record holds only the texts; the counts the component's own parser keeps
        // beside them are what those texts say.
        p.command = zb_text_of(e->command);
        p.value = zb_text_of(e->value);
        for (int i = 0; i < ZB_EVENT_SUBS; ++i) {
            p.sub[i] = zb_text_of(e->sub[i]);
            p.sub_count += e->sub[i] && *e->sub[i] ? 1 : 0;
        }
        p.has_value = e->value && *e->value ? 1 : 0;
    }
    return d;
}

class Proxy final : public zeph_client_callback {
public:
    Proxy(Connection& c, uint64_t handle, uint32_t host, std::string who, FaultSink onFault)
        : m_c(c), m_handle(handle), m_host(host), m_who(std::move(who)),
          m_onFault(std::move(onFault)) {}
    ~Proxy() override;
    Proxy(const Proxy&) = delete;
    Proxy& operator=(const Proxy&) = delete;
    char* callback(void* data, int type) override;

private:
    zb_payload payload(void* data, int type, char*& releasing);
    zb_payload releasePayload(char* p, char*& releasing);
    char* keepAnswer(const Reply& r);

    Connection& m_c;
    uint64_t m_handle;
    uint32_t m_host;
    std::string m_who;
    FaultSink m_onFault;
    bool m_dead = false; // it faulted in the bridge
    // This side's copy of each answer the component returned -> its own address. A copy the
    // bench hands back with type 5 goes back as that address; again for a repeated release.
    std::unordered_map<char*, uint64_t> m_answers;
    std::unordered_map<uintptr_t, uint64_t> m_released;
};

Proxy::~Proxy() {
    if (m_c.owner() == getpid()) {
        zb_message m{};
        m.kind = ZB_DESTROY;
        m.u.destroy.handle = m_handle;
        // A dead component is only forgotten there.
        const Reply r = m_c.call(m, Activity{"destruction", 0, nullptr, &m_who, bool(m_onFault)});
        if (r.fault)
            m_onFault(*r.fault);
        m_c.removeHost(m_host);
    }
    // The component has freed its own answers; the copies go with them.
    for (auto& kept : m_answers)
        std::free(kept.first);
}

zb_payload Proxy::releasePayload(char* p, char*& releasing) {
    zb_payload d{};
    d.kind = ZB_DATA_FOREIGN;
    if (!p) {
        d.kind = ZB_DATA_NULL;
    } else if (auto it = m_answers.find(p); it != m_answers.end()) {
        d.kind = ZB_DATA_HANDED;
        d.value = it->second;
        m_released[reinterpret_cast<uintptr_t>(p)] = it->second;
        m_answers.erase(it);
        releasing = p;
    } else if (auto was = m_released.find(reinterpret_cast<uintptr_t>(p));
               was != m_released.end()) {
        d.kind = ZB_DATA_HANDED;
        d.value = was->second;
    }
    return d;
}

zb_payload Proxy::payload(void* data, int type, char*& releasing) {
    zb_payload d{};
    d.kind = ZB_DATA_NULL;
    switch (type) {
    case ZEPH_REVERTIVE:
    case ZEPH_DATABASE:
        return data ? recordPayload(data) : d;
    case ZEPH_BUTTON:
        return data ? buttonPayload(static_cast<const zeph_button_record*>(data)) : d;
    case ZEPH_TIMER:
        d.kind = ZB_DATA_VALUE;
        d.value = uint64_t(int64_t(reinterpret_cast<intptr_t>(data)));
        return d;
    case ZEPH_RELEASE:
        return releasePayload(static_cast<char*>(data), releasing);
    default:
        if (data) {
            d.kind = ZB_DATA_TEXT;
            d.text = zb_text_of(static_cast<const char*>(data));
        }
        return d;
    }
}

char* Proxy::callback(void* data, int type) {
    zb_message m{};
    m.kind = ZB_CALL;
    m.u.call.target = m_handle;
    m.u.call.type = type;
    char* released = nullptr;
    m.u.call.data = payload(data, type, released);
    // Freed once the call is over, however it ends.
    const std::unique_ptr<char, void (*)(void*)> releasing(released, std::free);
    if (m_dead)
        return nullptr;
    const Reply r = m_c.call(m, Activity{"notification", type, data, &m_who, bool(m_onFault)});
    if (r.fault) {
        m_dead = true;
        m_onFault(*r.fault);
        return nullptr;
    }
    return r.text ? keepAnswer(r) : nullptr;
}

// A text the component did not end within the limit stays unended for as far as the bench
// looks; the NUL past it only keeps a careless reader in bounds.
char* Proxy::keepAnswer(const Reply& r) {
    const std::string& t = *r.text;
    char* copy = static_cast<char*>(std::malloc(t.size() + 1));
    if (!copy)
        return nullptr;
    std::memcpy(copy, t.data(), t.size());
    copy[t.size()] = '\0';
    m_released.erase(reinterpret_cast<uintptr_t>(copy));
    m_answers[copy] = r.value;
    return copy;
}

} // namespace

zeph_client_callback* createProxy(Connection& c, uint32_t dll, const std::string& who,
                                  zeph_client_callback* host, const char* path, FaultSink onFault) {
    const uint32_t id = host ? c.addHost(host) : 0;
    zb_message m{};
    // The DLL the bridge was started with takes the message it always took.
    m.kind = dll == 0 ? ZB_CREATE : ZB_CREATE_IN;
    m.u.create.dll = dll;
    m.u.create.host = id;
    m.u.create.path = zb_text_of(path);
    const Reply r = c.call(m, Activity{"creation", 0, path, &who, bool(onFault)});
    if (r.fault)
        onFault(*r.fault);
    if (!r.value) {
        c.removeHost(id);
        return nullptr;
    }
    return new Proxy(c, r.value, id, who, std::move(onFault));
}

} // namespace zeph::host::bridge
