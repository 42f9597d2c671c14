// Loads a script component module the way the panel host does and finds its factory. A 32-bit
// Windows DLL is run through the bridge (bridge/bridged_module.h): its factory() then makes
// stand-ins that relay to the DLL under Wine, and the bench needs to know no more.
#pragma once

#include "zeph_client_callback.h"

#include <memory>
#include <string>

namespace zeph::host {

namespace bridge {
class BridgedModule;
}

class Module {
public:
    Module();
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // Loads the file and looks up the factory; on failure returns false and says why in error().
    bool open(const std::string& path);
    void close();
    zeph_factory_fn factory() const { return m_factory; }
    const std::string& error() const { return m_error; }
    // True for a Windows DLL run through the bridge: its heap is not this process's.
    bool bridged() const { return m_bridge != nullptr; }
    bridge::BridgedModule* bridgedModule() const { return m_bridge.get(); }

private:
    bool openBridged(const std::string& path);

    std::unique_ptr<bridge::BridgedModule> m_bridge;
    void* m_handle = nullptr;
    zeph_factory_fn m_factory = nullptr;
    std::string m_error;
};

} // namespace zeph::host
