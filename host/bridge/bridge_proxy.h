// The stand-in for one bridged component: a local zeph_client_callback whose every call goes to
// the real component in the bridge, its records encoded for the pipe.
#pragma once

#include "bridge/bridge_connection.h"

#include <cstdint>
#include <functional>
#include <string>

namespace zeph::host::bridge {

// What a stand-in tells of a fault its component survived in the bridge: one line.
using FaultSink = std::function<void(const std::string& line)>;

// Creates a component of DLL number dll in the bridge for this host (null: a null host) and
// returns its stand-in; null when the component's factory returned null. who names the DLL and
// the instance in the lines that tell of its faults. With onFault, a fault in the component is
// its own: onFault hears of it, the component is dead from then on (its calls reach nothing and
// return null) and the bench and the other components go on; without, it ends this process.
zeph_client_callback* createProxy(Connection& connection, uint32_t dll, const std::string& who,
                                  zeph_client_callback* host, const char* path,
                                  FaultSink onFault = nullptr);

} // namespace zeph::host::bridge
