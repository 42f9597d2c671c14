// The stand-in for one bridged component: a local zeph_client_callback whose every call goes to
// the real component in the bridge, its records encoded for the pipe.
#pragma once

#include "bridge/bridge_connection.h"

#include <cstdint>
#include <string>

namespace zeph::host::bridge {

// Creates a component of DLL number dll in the bridge for this host (null: a null host) and
// returns its stand-in; null when the component's factory returned null. who names the DLL and
// the instance in the lines that tell of its faults.
zeph_client_callback* createProxy(Connection& connection, uint32_t dll, const std::string& who,
                                  zeph_client_callback* host, const char* path);

} // namespace zeph::host::bridge
