/* A Windows component for the bridge's tests under Wine, built with the mingw C compiler: the
 * callback object as the Microsoft C++ ABI lays it out (the C view of zeph_client_callback.h).
 * Parent texts: "crash" writes through null, "divide" divides by zero, "debug" writes to the
 * debugger output, "leak" loses 100 bytes, "abort" calls the C runtime's abort(), "recurse"
 * recurses until the stack overflows, "wild" answers a pointer to nowhere; type 8 writes through
 * null too, or never returns when PROBE_HANG is set in the environment. The factory returns null
 * for the base path "null" and writes through null for "crash". Built once more without the
 * factory's export.
 */
#include <windows.h>
#include <stdlib.h>
#include <string.h>

#include "zeph_client_callback.h"

struct probe {
    struct zeph_object base;
    struct zeph_object* host;
};

static int* volatile g_nowhere;
static volatile int g_zero;
static void* volatile g_lost;

/* Each call keeps a frame the compiler cannot fold away or turn into a loop. */
static volatile int g_deeper = 1;
static int recurse(int depth) {
    volatile char frame[512];
    frame[depth % 512] = (char)depth;
    return (g_deeper ? recurse(depth + 1) : 0) + frame[depth % 512];
}

static void tell_host(struct probe* p, const char* command) {
    if (p->host)
        p->host->vtbl->callback(p->host, (void*)command, ZEPH_COMMAND);
}

static char* __attribute__((thiscall))
probe_callback(struct zeph_object* self, void* data, int type) {
    (void)self;
    if (type == 8) {
        if (GetEnvironmentVariableA("PROBE_HANG", NULL, 0))
            for (;;)
                Sleep(1000);
        *g_nowhere = 1;
    }
    if (type != ZEPH_PARENT || !data)
        return NULL;
    if (!strcmp(data, "crash"))
        *g_nowhere = 1;
    else if (!strcmp(data, "divide"))
        g_zero = 1000 / g_zero;
    else if (!strcmp(data, "debug"))
        OutputDebugStringA("probe: said on the debugger output");
    else if (!strcmp(data, "leak"))
        g_lost = malloc(100);
    else if (!strcmp(data, "abort"))
        abort();
    else if (!strcmp(data, "recurse"))
        recurse(0);
    else if (!strcmp(data, "wild"))
        return (char*)16;
    return NULL;
}

static void* __attribute__((thiscall)) probe_destroy(struct zeph_object* self, unsigned flags) {
    tell_host((struct probe*)self, "AS");
    if (flags & 1)
        free(self);
    return self;
}

static const struct zeph_vtable g_vtable = {probe_destroy, probe_callback};

#ifndef PROBE_NO_FACTORY
__declspec(dllexport) struct zeph_object* load_zeph_client_script(struct zeph_object* host,
                                                                  const char* path) {
    struct probe* p;
    if (path && !strcmp(path, "null"))
        return NULL;
    if (path && !strcmp(path, "crash"))
        *g_nowhere = 1;
    p = malloc(sizeof *p);
    if (!p)
        return NULL;
    p->base.vtbl = &g_vtable;
    p->host = host;
    return &p->base;
}
#else
__declspec(dllexport) const void* probe_without_factory(void) {
    return &g_vtable;
}
#endif
