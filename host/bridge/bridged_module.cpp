// A bridged module: its connection per process, and the bare factory functions handed out for it.
#include "bridge/bridged_module.h"

#include "bridge/bridge_connection.h"
#include "bridge/bridge_proxy.h"

#include <csignal>

#include <unistd.h>

namespace zeph::host::bridge {

namespace {

// A factory function carries no context, so each open module gets one of a few fixed ones.
constexpr int kSlots = 4;
BridgedModule* g_slots[kSlots];

template <int N> zeph_client_callback* slotFactory(zeph_client_callback* host, const char* path) {
    return g_slots[N]->create(host, path);
}
const zeph_factory_fn kFactories[kSlots] = {slotFactory<0>, slotFactory<1>, slotFactory<2>,
                                            slotFactory<3>};

} // namespace

BridgedModule* bridgedModuleOf(zeph_factory_fn factory) {
    for (int i = 0; i < kSlots; ++i)
        if (factory && g_slots[i] && kFactories[i] == factory)
            return g_slots[i];
    return nullptr;
}

BridgedModule::BridgedModule() = default;

BridgedModule::~BridgedModule() {
    m_connection.reset();
    if (m_slot >= 0)
        g_slots[m_slot] = nullptr;
}

bool BridgedModule::open(const Launch& launch, std::string& error) {
    int slot = -1;
    for (int i = 0; i < kSlots && slot < 0; ++i)
        if (!g_slots[i])
            slot = i;
    if (slot < 0) {
        error = "cannot load " + launch.module + ": " + std::to_string(kSlots) +
                " bridged modules are open already";
        return false;
    }
    m_connection = Connection::start(launch, error);
    if (!m_connection)
        return false;
    m_launch = launch;
    m_slot = slot;
    g_slots[slot] = this;
    return true;
}

Connection& BridgedModule::connection() {
    if (m_connection && m_connection->owner() == getpid())
        return *m_connection;
    if (m_connection) {
        m_connection->abandon();
        m_inherited.push_back(std::move(m_connection));
    }
    std::string error;
    m_connection = Connection::start(m_launch, error);
    if (!m_connection) {
        const std::string line = error + "\n";
        writeAll(STDERR_FILENO, line.data(), line.size());
        dieOf(SIGABRT);
    }
    return *m_connection;
}

zeph_client_callback* BridgedModule::create(zeph_client_callback* host, const char* path) {
    return createProxy(connection(), host, path);
}

std::optional<size_t> BridgedModule::heapInUse() {
    zb_message m{};
    m.kind = ZB_HEAP;
    const Reply r = connection().call(m, Activity{"heap measurement"});
    if (!(r.flags & ZB_MEASURED))
        return std::nullopt;
    return size_t(r.value);
}

zeph_factory_fn BridgedModule::factory() const {
    return m_slot >= 0 ? kFactories[m_slot] : nullptr;
}

bool isBridgedFactory(zeph_factory_fn factory) {
    return bridgedModuleOf(factory) != nullptr;
}

std::optional<size_t> bridgedHeapInUse(zeph_factory_fn factory) {
    BridgedModule* m = bridgedModuleOf(factory);
    return m ? m->heapInUse() : std::nullopt;
}

} // namespace zeph::host::bridge
