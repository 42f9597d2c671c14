// dlopen here, LoadLibrary on Windows: the same two steps a panel host takes.
#include "module_loader.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace zeph::host {

Module::~Module() {
    close();
}

bool Module::open(const std::string& path) {
    close();
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

void Module::close() {
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
