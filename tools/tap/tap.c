/* The field tap: a DLL a panel host loads in place of a component (it takes the component's file
 * name, Ostrel.dll) that loads the component from beside itself under the name Ostrel.traced.dll,
 * gives it a host object of its own, relays every call both ways unchanged and records each one
 * in a trace file (trace_format.h) before passing on what came back.
 *
 * The objects are seen as the Microsoft C++ ABI lays them out: a pointer to a table whose slot 0
 * is the deleting destructor and slot 1 callback(), both __thiscall. Plain C on the component
 * rules: no C++ runtime, only KERNEL32.dll and msvcrt.dll. Recording never changes what is
 * relayed: a trace that cannot be written is given up, and the session goes on. */
#include "bridge_capture.h"
#include "tap_clock.h"
#include "tap_trace.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

typedef char(static_assert_32bit[sizeof(void*) == 4 ? 1 : -1]);

/* ---- State ----------------------------------------------------------------------------------- */
static void* g_self;
char g_component[520];
char g_name[260];
struct file_data g_component_file;
static zeph_object_factory_fn g_factory;
static struct critical_section g_lock;
static DWORD g_tls_depth = 0xFFFFFFFFu, g_tls_type = 0xFFFFFFFFu;
static void* g_handler;
static uint32_t g_next_host = 1;
static uint32_t g_live; /* components created and not yet destroyed */

static int depth_here(void) {
    return g_tls_depth != 0xFFFFFFFFu ? (int)(intptr_t)TlsGetValue(g_tls_depth) : 0;
}

static void record(const struct zb_message* m) {
    const int outermost = depth_here() == 0;
    EnterCriticalSection(&g_lock);
    if (g_file != INVALID_HANDLE) {
        zt_write(&g_trace, tap_stamp(outermost), GetCurrentThreadId(), m);
        if (outermost && !g_batched)
            tap_flush_locked();
    }
    LeaveCriticalSection(&g_lock);
}

static void record_call(uint64_t target, void* data, int type, int to_host) {
    struct zb_message m; /* every field the call's encoding reads is set below */
    m.kind = ZB_CALL;
    m.u.call.target = target;
    m.u.call.type = type;
    zt_payload(type, data, to_host, &m.u.call.data);
    record(&m);
}

static void record_return(const char* result, uint64_t value) {
    struct zb_message m; /* every field the return's encoding reads is set below */
    m.kind = ZB_RETURN;
    zt_result(result, &m.u.ret);
    if (!result)
        m.u.ret.value = value;
    record(&m);
}

/* Calls into the component in progress on this thread, and the type of the innermost: the
 * debugger output and faults seen meanwhile are the component's. */
static int enter(int type) {
    const int depth = (int)(intptr_t)TlsGetValue(g_tls_depth);
    const int outer = (int)(intptr_t)TlsGetValue(g_tls_type);
    TlsSetValue(g_tls_depth, (void*)(intptr_t)(depth + 1));
    TlsSetValue(g_tls_type, (void*)(intptr_t)type);
    return outer;
}

static void leave(int outer) {
    TlsSetValue(g_tls_depth, (void*)(intptr_t)((int)(intptr_t)TlsGetValue(g_tls_depth) - 1));
    TlsSetValue(g_tls_type, (void*)(intptr_t)outer);
}

/* ---- Faults and the debugger output, while the component is being called --------------------- */
/* Written without the heap, which a fault may have left broken; then the search goes on and the
 * fault takes its course as if the tap were not there. */
static long __stdcall watch(struct exception_pointers* info) {
    const struct zc_exception* r = info->record;
    const int depth = depth_here();
    const int fault = zc_is_fault(r->code) && r->code != ZC_STACK_OVERFLOW;
    const char* text = zc_debug_text(r);
    if (fault && (g_batched || g_ring)) {
        /* A fault of the host too may end the process, and the writer may not outlive it (a
         * session that ends all its processes with it): what waits goes first. */
        EnterCriticalSection(&g_lock);
        tap_flush_locked();
        tap_settle(5000);
        LeaveCriticalSection(&g_lock);
    }
    /* The tap's own lines (tap_say) are not the component's, whenever they come. */
    if (depth <= 0 || (text && !strncmp(text, "zeph-tap: ", 10)))
        return EXCEPTION_CONTINUE_SEARCH;
    if (text) {
        struct zb_message m;
        memset(&m, 0, sizeof m);
        m.kind = ZB_DEBUG;
        m.u.debug.text = zb_text_of(text);
        record(&m);
    } else if (fault) {
        struct zb_fault f;
        char where[400], *at;
        const int type = (int)(intptr_t)TlsGetValue(g_tls_type);
        zc_fault(r, &f, where, 300);
        at = tap_put_text(where + strlen(where), where + sizeof where - 1,
                          type == -1   ? " during its creation"
                          : type == -2 ? " during its destruction"
                                       : " during notification type ");
        if (type >= 0)
            at = tap_put_number(at, where + sizeof where - 1, (unsigned long)type, 1);
        *at = '\0';
        f.where = zb_text_of(where);
        EnterCriticalSection(&g_lock);
        if (g_file != INVALID_HANDLE) {
            zt_write_fault(&g_trace, tap_stamp(1), GetCurrentThreadId(), &f);
            tap_flush_locked(); /* the process may end here */
            tap_settle(5000);
        }
        LeaveCriticalSection(&g_lock);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

/* ---- The host object the component gets, and the component the host gets --------------------- */
struct tap_host {
    struct zeph_object base;
    struct zeph_object* real;
    uint32_t id;
};
struct tap_component {
    struct zeph_object base;
    struct zeph_object* real;
    struct tap_host* host;
};

static char* __attribute__((thiscall))
host_callback(struct zeph_object* self, void* data, int type) {
    struct tap_host* h = (struct tap_host*)self;
    char* result;
    record_call(h->id, data, type, 1);
    result = h->real->vtbl->callback(h->real, data, type);
    record_return(result, 0);
    return result;
}

/* The component does not own its host; should it delete it all the same, the host hears it. */
static void* __attribute__((thiscall)) host_destroy(struct zeph_object* self, unsigned flags) {
    struct tap_host* h = (struct tap_host*)self;
    h->real->vtbl->destroy(h->real, flags);
    return self;
}

static const struct zeph_vtable g_host_vtable = {host_destroy, host_callback};

static char* __attribute__((thiscall))
component_callback(struct zeph_object* self, void* data, int type) {
    struct tap_component* c = (struct tap_component*)self;
    char* result;
    int outer;
    record_call((uintptr_t)c->real, data, type, 0);
    outer = enter(type);
    result = c->real->vtbl->callback(c->real, data, type);
    leave(outer);
    record_return(result, 0);
    return result;
}

static void* __attribute__((thiscall)) component_destroy(struct zeph_object* self, unsigned flags) {
    struct tap_component* c = (struct tap_component*)self;
    struct zb_message m;
    int outer;
    memset(&m, 0, sizeof m);
    m.kind = ZB_DESTROY;
    m.u.destroy.handle = (uintptr_t)c->real;
    record(&m);
    outer = enter(-2);
    c->real->vtbl->destroy(c->real, 1);
    leave(outer);
    record_return(NULL, 0);
    EnterCriticalSection(&g_lock);
    /* With no component left a host may end at once, and not always so that the writer outlives
     * it (a session that ends all its processes together): the trace is brought up to date. */
    if (--g_live == 0)
        tap_settle(5000);
    LeaveCriticalSection(&g_lock);
    free(c->host);
    if (flags & 1)
        free(c);
    return self;
}

static const struct zeph_vtable g_component_vtable = {component_destroy, component_callback};

static int load_component(void) {
    void* dll;
    if (g_factory)
        return 1;
    /* Its own folder is searched for the DLLs it imports, as when the host loads it. */
    dll = LoadLibraryExA(g_component, NULL, 8 /* LOAD_WITH_ALTERED_SEARCH_PATH */);
    if (!dll) {
        tap_say("cannot load ", g_component);
        return 0;
    }
    g_factory =
        (zeph_object_factory_fn)(void (*)(void))GetProcAddress(dll, "load_zeph_client_script");
    if (!g_factory)
        tap_say("no load_zeph_client_script in ", g_component);
    return g_factory != NULL;
}

__declspec(dllexport) struct zeph_object* __cdecl load_zeph_client_script(struct zeph_object* host,
                                                                          const char* path) {
    struct tap_host* h = NULL;
    struct tap_component* c;
    struct zeph_object* real;
    struct zb_message m;
    int outer;
    if (!load_component())
        return NULL;
    EnterCriticalSection(&g_lock);
    if (!g_opened)
        tap_open_trace();
    LeaveCriticalSection(&g_lock);
    memset(&m, 0, sizeof m);
    m.kind = ZB_CREATE;
    if (host) {
        h = malloc(sizeof *h);
        if (!h)
            return NULL;
        h->base.vtbl = &g_host_vtable;
        h->real = host;
        EnterCriticalSection(&g_lock);
        h->id = g_next_host++;
        LeaveCriticalSection(&g_lock);
        m.u.create.host = h->id;
    }
    m.u.create.path = zb_text_of(path);
    record(&m);
    outer = enter(-1);
    real = g_factory(h ? &h->base : NULL, path);
    leave(outer);
    record_return(NULL, (uintptr_t)real);
    c = real ? malloc(sizeof *c) : NULL;
    if (!c) {
        /* Without a wrapper the component would talk to a host object nobody owns. */
        if (real)
            real->vtbl->destroy(real, 1);
        free(h);
        return NULL;
    }
    c->base.vtbl = &g_component_vtable;
    c->real = real;
    c->host = h;
    EnterCriticalSection(&g_lock);
    ++g_live;
    LeaveCriticalSection(&g_lock);
    return &c->base;
}

/* Only files are looked at here, under the loader's lock: the component itself is loaded at the
 * first creation. Without it beside the tap, the tap does not load, and says why. */
int __stdcall DllMain(void* module, DWORD reason, void* reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        DWORD n;
        char *file, *dot;
        DisableThreadLibraryCalls(module);
        n = GetModuleFileNameA(module, g_component, sizeof g_component - 16);
        if (n == 0 || n >= sizeof g_component - 16)
            return 0;
        file = strrchr(g_component, '\\') ? strrchr(g_component, '\\') + 1 : g_component;
        if (strlen(file) >= sizeof g_name)
            return 0;
        memcpy(g_name, file, strlen(file) + 1);
        /* Ostrel.dll loads Ostrel.traced.dll: the extension keeps its place at the end. */
        dot = strrchr(file, '.');
        if (!dot)
            dot = g_component + n;
        memmove(dot + 7, dot, strlen(dot) + 1);
        memcpy(dot, ".traced", 7);
        if (!GetFileAttributesExA(g_component, 0, &g_component_file)) {
            tap_say("the component is not beside the tap: no ", g_component);
            SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        InitializeCriticalSection(&g_lock);
        g_tls_depth = TlsAlloc();
        g_tls_type = TlsAlloc();
        tap_clock_start();
        g_handler = AddVectoredExceptionHandler(1, watch);
        g_self = module;
    } else if (reason == DLL_PROCESS_DETACH && g_self) {
        if (g_handler)
            RemoveVectoredExceptionHandler(g_handler);
        if (g_file != INVALID_HANDLE) {
            tap_flush_locked();
            tap_stop_writer();
            if (g_direct != g_file && g_direct != INVALID_HANDLE)
                CloseHandle(g_direct);
            CloseHandle(g_file);
        }
        g_file = g_direct = INVALID_HANDLE;
        zt_writer_free(&g_trace);
        TlsFree(g_tls_depth);
        TlsFree(g_tls_type);
        DeleteCriticalSection(&g_lock);
    }
    return 1;
}
