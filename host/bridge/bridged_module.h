// A component DLL run through the bridge: a Windows program under Wine that loads the DLL as the
// panel host does and relays the callback interface over a pipe (bridge_protocol.h). It sits
// behind zeph::host::Module, whose components are then local stand-ins that relay every call, so
// the bench drives a bridged component exactly as a dlopen'ed one.
//
// One bridge per process, for every bridged module open in it: the first module to be opened
// starts it, the others are loaded into it, and it ends with the last one. A process forked after
// the bridge started (each validate check, each scenario) starts its own on first use and never
// touches its parent's. A fault inside a DLL is reported on stderr with the DLL, the instance, its
// exception code and the notification in progress, and this process then dies of the matching
// signal, as it would had a shared object crashed; so does a bridge that ends or stops answering.
#pragma once

#include "bridge/wine_launch.h"
#include "zeph_client_callback.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zeph::host::bridge {

class Connection;

class BridgedModule {
public:
    BridgedModule();
    ~BridgedModule();
    BridgedModule(const BridgedModule&) = delete;
    BridgedModule& operator=(const BridgedModule&) = delete;

    // Starts the bridge and waits until it reports the DLL loaded with its factory. On failure
    // returns false with one line for the user in error.
    bool open(const Launch& launch, std::string& error);
    // Creates a stand-in component relaying to the DLL's component; null when its factory does.
    // A named instance ("alarm") is named in the lines that tell of its faults. With onFault, a
    // fault in the component is its own (createProxy): onFault hears "Vigil.dll: access
    // violation ... during parent \"x\"" and the rest go on.
    zeph_client_callback* create(zeph_client_callback* host, const char* path,
                                 const std::string& instance = "",
                                 const std::function<void(const std::string&)>& onFault = nullptr);
    // The bytes in use on every heap of this process's bridge, where the DLL's allocations live
    // (the bench's own heap never sees them; with several DLLs open, theirs are counted too);
    // nullopt when it cannot be measured.
    std::optional<size_t> heapInUse();
    // The same create() as a bare factory function, for code that keeps one; a few modules at
    // most can be open at once for that reason.
    zeph_factory_fn factory() const;

private:
    // This process's bridge, started on first use after a fork, with this DLL loaded in it; its
    // number there in dll.
    Connection& connection(uint32_t& dll);

    Launch m_launch;
    int m_slot = -1;
};

// The bridge of this process lent to the child about to be forked, which then uses it as its own
// instead of starting one of its own under Wine (a start costs more than most checks or
// scenarios): while this process only waits for the child to end, as isolation does. Taken back
// once the child has ended, or ended and started anew on next use when the child left a call in
// progress (it crashed or was killed) or the bridge has gone. The DLLs keep their state in the
// bridge from one child to the next, as a panel host keeps its DLLs loaded. Only a bridge whose
// frames go through shared memory is lent: there the child's calls in progress can be seen.
void lendBridge();
void takeBridgeBack();

// The open bridged module whose factory this is; null for any other factory.
BridgedModule* bridgedModuleOf(zeph_factory_fn factory);
// True for the factory of an open bridged module.
bool isBridgedFactory(zeph_factory_fn factory);
// Said before anything of this process answers a component's RC or RP inside the call (a
// facility's inline router): from then on the bridge waits for those calls to return. Until then
// it sends them without waiting, as it sends every command that cannot call a component back.
void expectInlineAnswers();
// Connection::overlap on this process's bridge; the jobs in turn where it has none.
void overlapCalls(size_t count, size_t apart, const std::function<void(size_t)>& job,
                  const std::function<void(size_t)>& onTurn);
// BridgedModule::heapInUse of the module whose factory this is; nullopt for any other factory.
std::optional<size_t> bridgedHeapInUse(zeph_factory_fn factory);

} // namespace zeph::host::bridge
