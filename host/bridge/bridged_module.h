// A component DLL run through the bridge: a Windows program under Wine that loads the DLL as the
// panel host does and relays the callback interface over a pipe (bridge_protocol.h). It sits
// behind zeph::host::Module, whose factory() then creates local stand-ins that relay every call,
// so the bench drives a bridged component exactly as a dlopen'ed one.
//
// One bridge per process: a process forked after the bridge started (each validate check) starts
// its own on first use and never touches its parent's. A fault inside the DLL is reported on
// stderr with its exception code and the notification in progress, and this process then dies of
// the matching signal, as it would had a shared object crashed; so does a bridge that ends or
// stops answering.
#pragma once

#include "zeph_client_callback.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace zeph::host::bridge {

// How a bridge is started: its standard input and output become the pipe.
struct Launch {
    std::vector<std::string> argv;
    std::string module;        // the module as the user named it, for messages
    double startSeconds = 60;  // until the bridge reports the DLL loaded (Wine's first start)
    double answerSeconds = 10; // for any one answer; ZEPH_BRIDGE_TIMEOUT overrides
};

// The launch of a DLL under Wine: tools/wine-run running zeph-bridge.exe. Each is looked for in
// the environment (ZEPH_WINE_RUN, ZEPH_BRIDGE_EXE), beside this executable (zeph-wine-run,
// zeph-bridge.exe, as the build leaves them), then where the build put them; the Wine prefix is
// ZEPH_WINE_PREFIX, the build's own, or one in the user's cache. False and why when missing.
bool wineLaunch(const std::string& dllPath, Launch& launch, std::string& error);

class BridgedModule {
public:
    BridgedModule() = default;
    ~BridgedModule();
    BridgedModule(const BridgedModule&) = delete;
    BridgedModule& operator=(const BridgedModule&) = delete;

    // Starts the bridge and waits until it reports the DLL loaded with its factory. On failure
    // returns false with one line for the user in error.
    bool open(const Launch& launch, std::string& error);
    // Creates a stand-in component relaying to the DLL's component; null when its factory does.
    zeph_factory_fn factory() const;

private:
    int m_slot = -1;
};

// True for the factory of an open bridged module.
bool isBridgedFactory(zeph_factory_fn factory);
// The bytes in use on every heap of this process's bridge, where the DLL's allocations live (the
// bench's own heap never sees them). Nullopt for any other factory, or when it cannot be measured.
std::optional<size_t> bridgedHeapInUse(zeph_factory_fn factory);

} // namespace zeph::host::bridge
