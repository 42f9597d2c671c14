/* What the bridge and the field tap capture of an exception raised while a component runs: a
 * fault, its place worded one way for both ("Ostrel.dll+0x1a2b", or the bare address outside any
 * module), and the text the component wrote to the debugger output. Plain C without the heap or
 * more of the C runtime than string.h: fault handlers call it, and the tap counts on no more.
 * 32-bit Windows; neither windows.h nor the tap's own declarations are needed to include it. */
#ifndef ZEPH_BRIDGE_CAPTURE_H
#define ZEPH_BRIDGE_CAPTURE_H

#include "bridge_codec.h"

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* EXCEPTION_RECORD as the system lays it out. */
struct zc_exception {
    uint32_t code, flags;
    struct zc_exception* next;
    void* address;
    uint32_t parameters;
    uintptr_t information[15];
};

#define ZC_DEBUG_OUTPUT 0x40010006u /* DBG_PRINTEXCEPTION_C: OutputDebugStringA */
#define ZC_STACK_OVERFLOW 0xC00000FDu
#define ZC_ACCESS_VIOLATION 0xC0000005u
#define ZC_IN_PAGE_ERROR 0xC0000006u

/* An exception of an error's severity: a fault, not a notice such as the debugger output. */
int zc_is_fault(uint32_t code);
/* The text OutputDebugStringA raised; NULL for any other exception. */
const char* zc_debug_text(const struct zc_exception* r);
/* "module+0xoffset" of address, or "0x%08x" outside any module, in out (size 16 at least). */
void zc_locate(const void* address, char* out, size_t size);
/* The fault r reports: its code, address and what it accessed (an access violation's or a paging
 * error's), and its place located into place, which f->where then names. */
void zc_fault(const struct zc_exception* r, struct zb_fault* f, char* place, size_t size);

#ifdef __cplusplus
}
#endif

#endif
