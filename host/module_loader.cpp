// dlopen here, LoadLibrary on Windows: the same two steps a panel host takes.
#include "module_loader.h"

#include "bridge/bridged_module.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include "bridge/pe_file.h"

#include <dlfcn.h>
#endif

namespace zeph::host {

Module::Module() = default;

Module::~Module() {
    close();
}

bool Module::open(const std::string& path) {
    close();
#if !defined(_WIN32)
    if (bridge::looksLikeWindowsModule(path))
        return openBridged(path);
#endif
#if defined(_WIN32)
    HMODULE h = LoadLibraryA(path.c_str());
    if (!h) {
        m_error = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    m_handle = h;
    m_factory = reinterpret_cast<zeph_factory_fn>(GetProcAddress(h, ZEPH_FACTORY_NAME));
#else
    m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!m_handle) {
        const char* why = dlerror();
        m_error = "cannot load " + path + ": " + (why ? why : "unknown error");
        return false;
    }
    m_factory = reinterpret_cast<zeph_factory_fn>(dlsym(m_handle, ZEPH_FACTORY_NAME));
#endif
    if (!m_factory) {
        m_error = path + " exports no " ZEPH_FACTORY_NAME;
        close();
        return false;
    }
    m_error.clear();
    return true;
}

#if !defined(_WIN32)
// What the file's bytes tell is checked before any Wine process starts, so a wrong file is
// reported at once and the same way everywhere.
bool Module::openBridged(const std::string& path) {
    using bridge::PeCheck;
    const PeCheck check = bridge::inspectPeFile(path);
    if (check.kind == PeCheck::Kind::NoFactory) {
        m_error = path + " exports no " ZEPH_FACTORY_NAME;
        return false;
    }
    if (check.kind != PeCheck::Kind::Ok) {
        m_error = "cannot load " + path + ": " + check.why;
        return false;
    }
    bridge::Launch launch;
    if (!bridge::wineLaunch(path, launch, m_error))
        return false;
    auto module = std::make_unique<bridge::BridgedModule>();
    if (!module->open(launch, m_error))
        return false;
    m_factory = module->factory();
    m_bridge = std::move(module);
    m_error.clear();
    return true;
}
#else
bool Module::openBridged(const std::string&) {
    return false;
}
#endif

void Module::close() {
    m_bridge.reset();
    if (m_handle) {
#if defined(_WIN32)
        FreeLibrary(static_cast<HMODULE>(m_handle));
#else
        dlclose(m_handle);
#endif
    }
    m_handle = nullptr;
    m_factory = nullptr;
}

} // namespace zeph::host
