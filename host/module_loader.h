// Loads a script component module the way the panel host does and finds its factory.
#pragma once

#include "zeph_client_callback.h"

#include <string>

namespace zeph::host {

class Module {
public:
    Module() = default;
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // Loads the file and looks up the factory; on failure returns false and says why in error().
    bool open(const std::string& path);
    void close();
    zeph_factory_fn factory() const { return m_factory; }
    const std::string& error() const { return m_error; }

private:
    void* m_handle = nullptr;
    zeph_factory_fn m_factory = nullptr;
    std::string m_error;
};

} // namespace zeph::host
