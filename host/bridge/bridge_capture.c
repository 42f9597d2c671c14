/* One capture of faults and debugger output for the bridge and the tap (bridge_capture.h). */
#include "bridge_capture.h"

#include <string.h>

/* Declared here, not from windows.h: the tap is built without it. */
__declspec(dllimport) int __stdcall GetModuleHandleExA(unsigned long flags, const char* name,
                                                       void** module);
__declspec(dllimport) unsigned long __stdcall GetModuleFileNameA(void* module, char* path,
                                                                 unsigned long size);

typedef char(zc_static_assert_32bit[sizeof(void*) == 4 ? 1 : -1]);

int zc_is_fault(uint32_t code) {
    return (code & 0xC0000000u) == 0xC0000000u;
}

const char* zc_debug_text(const struct zc_exception* r) {
    if (r->code != ZC_DEBUG_OUTPUT || r->parameters < 2 || !r->information[1])
        return NULL;
    return (const char*)r->information[1];
}

/* Hex digits of v, the leading zeros dropped unless digits asks for them. */
static char* put_hex(char* at, const char* end, uint32_t v, int digits) {
    int shift, started = 0;
    for (shift = 28; shift >= 0; shift -= 4) {
        const unsigned d = v >> shift & 15u;
        started |= d != 0 || shift < digits * 4;
        if (started && at < end)
            *at++ = "0123456789abcdef"[d];
    }
    return at;
}

void zc_locate(const void* address, char* out, size_t size) {
    void* module = NULL;
    char path[520];
    char* at = out;
    const char* end = out + size - 1;
    if (GetModuleHandleExA(6 /* FROM_ADDRESS | UNCHANGED_REFCOUNT */, (const char*)address,
                           &module) &&
        GetModuleFileNameA(module, path, sizeof path)) {
        const char* name = strrchr(path, '\\');
        name = name ? name + 1 : path;
        while (*name && at < end)
            *at++ = *name++;
        if (at + 3 < end) {
            memcpy(at, "+0x", 3);
            at += 3;
        }
        at = put_hex(at, end, (uint32_t)((uintptr_t)address - (uintptr_t)module), 1);
    } else {
        if (at + 2 < end) {
            memcpy(at, "0x", 2);
            at += 2;
        }
        at = put_hex(at, end, (uint32_t)(uintptr_t)address, 8);
    }
    *at = '\0';
}

void zc_fault(const struct zc_exception* r, struct zb_fault* f, char* place, size_t size) {
    memset(f, 0, sizeof *f);
    f->code = r->code;
    f->address = (uintptr_t)r->address;
    f->access = ZB_NO_ACCESS;
    if ((r->code == ZC_ACCESS_VIOLATION || r->code == ZC_IN_PAGE_ERROR) && r->parameters >= 2) {
        f->access = (uint32_t)r->information[0];
        f->target = r->information[1];
    }
    zc_locate(r->address, place, size);
    f->where = zb_text_of(place);
}
