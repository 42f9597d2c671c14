// How a bridge is started, and where the one that runs a DLL under Wine is found.
#pragma once

#include <string>
#include <vector>

namespace zeph::host::bridge {

// How a bridge is started: its standard input and output become the pipe.
struct Launch {
    std::vector<std::string> argv;
    std::string module;        // the module as the user named it, for messages
    double startSeconds = 60;  // until the bridge reports the DLL loaded (Wine's first start)
    double answerSeconds = 10; // for any one answer; ZEPH_BRIDGE_TIMEOUT overrides
    bool share = true;         // frames through shared memory, where the bridge can map it
};

// The launch of a DLL under Wine: tools/wine-run running zeph-bridge.exe. Each is looked for in
// the environment (ZEPH_WINE_RUN, ZEPH_BRIDGE_EXE), beside this executable (zeph-wine-run,
// zeph-bridge.exe, as the build leaves them), then where the build put them; the Wine prefix is
// ZEPH_WINE_PREFIX, the build's own, or one in the user's cache. False and why when missing.
bool wineLaunch(const std::string& dllPath, Launch& launch, std::string& error);

} // namespace zeph::host::bridge
