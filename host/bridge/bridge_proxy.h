// The stand-in for one bridged component: a local zeph_client_callback whose every call goes to
// the real component in the bridge, its records encoded for the pipe.
#pragma once

#include "bridge/bridge_connection.h"

namespace zeph::host::bridge {

// Creates the component in the bridge for this host (null: a null host) and returns its
// stand-in; null when the component's factory returned null.
zeph_client_callback* createProxy(Connection& connection, zeph_client_callback* host,
                                  const char* path);

} // namespace zeph::host::bridge
