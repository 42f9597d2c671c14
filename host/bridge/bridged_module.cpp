// Bridged modules: the one connection per process they share, and the bare factory functions
// handed out for them.
#include "bridge/bridged_module.h"

#include "bridge/bridge_connection.h"
#include "bridge/bridge_proxy.h"

#include <csignal>
#include <map>

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

// The bridge of this process and the number each open module's DLL has in it.
struct Shared {
    std::unique_ptr<Connection> connection;
    std::map<const BridgedModule*, uint32_t> dlls;
    // Bridges of the process this one was forked from: let go of, but kept, so that a stand-in
    // made before the fork finds its connection and says it cannot be used here.
    std::vector<std::unique_ptr<Connection>> inherited;
    int open = 0;
    pid_t lentBy = 0; // the parent lent its bridge to this process (set before the fork)
};
Shared g_shared;

// The bridge of this process, with the module's DLL in it: started with that DLL when there is
// none, loaded into it otherwise. Null with one line in error when the DLL cannot be.
Connection* share(const BridgedModule* module, const Launch& launch, std::string& error) {
    Shared& s = g_shared;
    if (s.connection && s.lentBy && s.lentBy == getppid() && s.connection->owner() == s.lentBy)
        s.connection->adopt();
    s.lentBy = 0;
    if (s.connection && s.connection->owner() != getpid()) {
        s.connection->abandon();
        s.inherited.push_back(std::move(s.connection));
        s.dlls.clear();
    }
    if (s.dlls.count(module))
        return s.connection.get();
    if (!s.connection) {
        s.connection = Connection::start(launch, error);
        if (!s.connection)
            return nullptr;
        s.dlls[module] = 0;
        return s.connection.get();
    }
    const std::optional<uint32_t> number = s.connection->load(launch, error);
    if (!number)
        return nullptr;
    s.dlls[module] = *number;
    return s.connection.get();
}

} // namespace

void lendBridge() {
    Shared& s = g_shared;
    if (s.connection && s.connection->owner() == getpid() && s.connection->shared())
        s.lentBy = getpid();
}

void takeBridgeBack() {
    Shared& s = g_shared;
    if (!s.lentBy)
        return;
    s.lentBy = 0;
    if (s.connection && !s.connection->takeBack()) {
        // Stand-ins made before still find it, and hear that the bridge has gone.
        s.inherited.push_back(std::move(s.connection));
        s.dlls.clear();
    }
}

BridgedModule* bridgedModuleOf(zeph_factory_fn factory) {
    for (int i = 0; i < kSlots; ++i)
        if (factory && g_slots[i] && kFactories[i] == factory)
            return g_slots[i];
    return nullptr;
}

BridgedModule::BridgedModule() = default;

BridgedModule::~BridgedModule() {
    if (m_slot < 0)
        return;
    g_slots[m_slot] = nullptr;
    g_shared.dlls.erase(this);
    // The DLL stays loaded in the bridge (a panel host never unloads one either) until the last
    // module goes with it.
    if (--g_shared.open == 0) {
        g_shared.connection.reset();
        g_shared.dlls.clear();
    }
}

bool BridgedModule::open(const Launch& launch, std::string& error) {
    int slot = -1;
    for (int i = 0; i < kSlots && slot < 0; ++i)
        if (!g_slots[i])
            slot = i;
    if (slot < 0) {
        // Said with the ones holding the places, so that the user knows which to do without.
        error = "cannot load " + launch.module + ": the bench holds at most " +
                std::to_string(kSlots) + " DLLs at once (";
        for (int i = 0; i < kSlots; ++i)
            error += (i ? ", " : "") + g_slots[i]->m_launch.module;
        error += ")";
        return false;
    }
    if (!share(this, launch, error))
        return false;
    m_launch = launch;
    m_slot = slot;
    g_slots[slot] = this;
    ++g_shared.open;
    return true;
}

Connection& BridgedModule::connection(uint32_t& dll) {
    std::string error;
    Connection* c = share(this, m_launch, error);
    if (!c) {
        const std::string line = error + "\n";
        writeAll(STDERR_FILENO, line.data(), line.size());
        dieOf(SIGABRT);
    }
    dll = g_shared.dlls[this];
    return *c;
}

zeph_client_callback*
BridgedModule::create(zeph_client_callback* host, const char* path, const std::string& instance,
                      const std::function<void(const std::string&)>& onFault) {
    uint32_t dll = 0;
    Connection& c = connection(dll);
    FaultSink sink;
    if (onFault)
        sink = [onFault, module = m_launch.module](const std::string& line) {
            onFault(module + ": " + line);
        };
    return createProxy(c, dll,
                       instance.empty() ? m_launch.module : m_launch.module + " @" + instance, host,
                       path, std::move(sink));
}

std::optional<size_t> BridgedModule::heapInUse() {
    zb_message m{};
    m.kind = ZB_HEAP;
    uint32_t dll = 0;
    const Reply r =
        connection(dll).call(m, Activity{"heap measurement", 0, nullptr, &m_launch.module});
    if (!(r.flags & ZB_MEASURED))
        return std::nullopt;
    return size_t(r.value);
}

zeph_factory_fn BridgedModule::factory() const {
    return m_slot >= 0 ? kFactories[m_slot] : nullptr;
}

void expectInlineAnswers() {
    Connection::expectInlineAnswers();
}

void overlapCalls(size_t count, size_t apart, const std::function<void(size_t)>& job,
                  const std::function<void(size_t)>& onTurn) {
    Shared& s = g_shared;
    if (s.connection && s.connection->owner() == getpid()) {
        s.connection->overlap(count, apart, job, onTurn);
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        onTurn(i);
        job(i);
    }
}

bool isBridgedFactory(zeph_factory_fn factory) {
    return bridgedModuleOf(factory) != nullptr;
}

std::optional<size_t> bridgedHeapInUse(zeph_factory_fn factory) {
    BridgedModule* m = bridgedModuleOf(factory);
    return m ? m->heapInUse() : std::nullopt;
}

} // namespace zeph::host::bridge
