// Fault texts of the bridge.
#include "bridge/bridge_faults.h"

#include "bridge/bridge_protocol.h"
#include "zeph_client_callback.h"
#include "zeph_records.h"

#include <csignal>
#include <cstdio>
#include <cstring>

namespace zeph::host::bridge {

namespace {

std::string quoted(const char* t) {
    if (!t)
        return "null";
    std::string s(t, strnlen(t, 80));
    return "\"" + s + (s.size() == 80 ? "...\"" : "\"");
}

std::string describeNotification(int type, const void* data) {
    const char* d = static_cast<const char*>(data);
    auto word = [&](int i) {
        int32_t w;
        std::memcpy(&w, d + ptrdiff_t(4) * i, 4);
        return std::to_string(w);
    };
    switch (type) {
    case ZEPH_REVERTIVE:
        return d ? "revertive " + word(0) + " " + word(2) + " " + quoted(d + 16) : "revertive";
    case ZEPH_DATABASE:
        return d ? "database change " + word(0) + " " + word(1) + " " + word(3) + " " +
                       quoted(d + 16)
                 : "database change";
    case ZEPH_BUTTON: {
        const auto* b = static_cast<const zeph_button_record*>(data);
        return b ? "press " + quoted(b->panel) + " " + quoted(b->control) : "press";
    }
    case ZEPH_PARENT:
        return "parent " + quoted(d);
    case ZEPH_TIMER:
        return "tick " + std::to_string(reinterpret_cast<intptr_t>(data));
    case ZEPH_RELEASE:
        return "release (type 5)";
    default:
        return "notification type " + std::to_string(type);
    }
}

struct Fault {
    const char* name;
    int signal;
};

Fault faultOf(uint32_t code) {
    switch (code) {
    case 0xC0000005:
        return {"access violation", SIGSEGV};
    case 0xC0000006:
        return {"in-page error", SIGBUS};
    case 0x80000002:
        return {"misaligned data", SIGBUS};
    case 0xC000001D:
        return {"illegal instruction", SIGILL};
    case 0xC0000096:
        return {"privileged instruction", SIGILL};
    case 0xC0000094:
        return {"integer division by zero", SIGFPE};
    case 0xC0000095:
        return {"integer overflow", SIGFPE};
    case 0xC00000FD:
        return {"stack overflow", SIGSEGV};
    case 0xC000008C:
        return {"array bounds exceeded", SIGSEGV};
    case 0x80000003:
        return {"breakpoint", SIGTRAP};
    case 0xC0000409:
        return {"stack buffer overrun", SIGABRT};
    case 0xC0000374:
        return {"heap corruption", SIGABRT};
    case 0xE06D7363:
        return {"C++ exception", SIGABRT};
    case 0x40000015:
        return {"abort", SIGABRT};
    default:
        if (code >= 0xC000008D && code <= 0xC0000093)
            return {"floating-point fault", SIGFPE};
        return {"exception", SIGABRT};
    }
}

} // namespace

std::string describe(const Activity& a) {
    const std::string what = a.what;
    if (what == "creation")
        return "creation (base path " + quoted(static_cast<const char*>(a.data)) + ")";
    if (what != "notification")
        return what;
    return describeNotification(a.type, a.data);
}

FaultText faultText(uint32_t code, uint32_t access, uint64_t target, const std::string& where) {
    const Fault f = faultOf(code);
    std::string line = std::string(f.name) + " (exception " + hex(code) + ")";
    if (access != ZB_NO_ACCESS)
        line += std::string(access == 1   ? " writing"
                            : access == 8 ? " executing"
                                          : " reading") +
                " address " + hex(target);
    return {line + " at " + where, f.signal};
}

std::string hex(uint64_t v, int digits) {
    char b[32];
    std::snprintf(b, sizeof b, "0x%0*llx", digits, static_cast<unsigned long long>(v));
    return b;
}

} // namespace zeph::host::bridge
