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
#include "tap_ring.h"
#include "tap_win32.h"
#include "trace_format.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#define ZT_TAP_VERSION 2u

typedef char(static_assert_32bit[sizeof(void*) == 4 ? 1 : -1]);

/* ---- State ----------------------------------------------------------------------------------- */
static void* g_self;
static char g_component[520]; /* the component's path: this DLL's with .traced.dll */
static char g_name[260];      /* this DLL's file name, as the host loaded it */
static struct file_data g_component_file;
static zeph_object_factory_fn g_factory;
static struct critical_section g_lock;
static HANDLE g_file = INVALID_HANDLE;
static int g_opened; /* the trace was tried (once per process) */
static struct zt_writer g_trace;
static DWORD g_tls_depth = 0xFFFFFFFFu, g_tls_type = 0xFFFFFFFFu;
static void* g_handler;
static uint32_t g_next_host = 1;
static uint32_t g_live; /* components created and not yet destroyed */

/* ---- The trace file -------------------------------------------------------------------------- */
/* Each record goes, as it is made, into a section shared with a writer process the tap starts
 * (zeph_tap_writer.exe beside it, tap_ring.h), which copies it into the file: a memory copy for
 * the host, and a host killed outright loses nothing, since the section is the writer's too.
 * Where the writer cannot start, or ends, the records go to the file directly, as below. */
static struct tap_ring* g_ring; /* while the writer takes the records */
static struct tap_ring* g_view;
/* The bytes put in the ring; its head, the writer's to read, follows at each notification's end. */
static uint32_t g_ring_head;
static HANDLE g_section, g_writer, g_wake;
#define RING_CAPACITY (4u * 1024u * 1024u)

/* Written directly, records wait here while a call into the component is in progress and reach
 * the file, in one write, before the outermost call returns to the host (or before a fault takes
 * its course): one system call a notification rather than one a record. Static, so a fault can
 * flush it without the heap. Under g_lock. */
static unsigned char g_pending[64 * 1024];
static size_t g_pending_size;
static HANDLE g_direct = INVALID_HANDLE; /* where they go: the trace, or its copy (both) */
/* ZEPH_TRACE_WRITE=direct: no writer. =batched: directly, and the records wait until the buffer
 * fills, a fault anywhere in the process, or the end; a session killed outright loses what waits.
 * =both: through the writer, and directly into a copy (NAME....direct.zephtrace) to compare. */
static int g_batched;

static int write_through(HANDLE file, const void* data, size_t size) {
    DWORD done = 0;
    return WriteFile(file, data, (DWORD)size, &done, NULL) && done == size ? 0 : -1;
}

/* Before the outermost call returns to the host: the notification's records to the writer, or to
 * the file. */
static void flush_locked(void) {
    if (g_ring)
        tap_ring_store(&g_ring->head, g_ring_head);
    if (g_pending_size && g_direct != INVALID_HANDLE &&
        write_through(g_direct, g_pending, g_pending_size))
        g_trace.failed = 1; /* given up, as a write that failed at once would be */
    g_pending_size = 0;
}

static int write_direct(const void* data, size_t size) {
    if (g_pending_size + size > sizeof g_pending) {
        flush_locked();
        if (g_trace.failed)
            return -1;
        if (size > sizeof g_pending)
            return write_through(g_direct, data, size);
    }
    memcpy(g_pending + g_pending_size, data, size);
    g_pending_size += size;
    return 0;
}

/* The writer has ended with bytes still in the ring: the tap writes them itself and goes on
 * directly. The file is one object for both, so they follow what the writer wrote. */
static void writer_lost(void) {
    struct tap_ring* r = g_ring;
    const uint32_t head = g_ring_head, tail = tap_ring_load(&r->tail);
    const uint32_t at = tail & (r->capacity - 1);
    const uint32_t first = head - tail < r->capacity - at ? head - tail : r->capacity - at;
    g_ring = NULL;
    if (r->failed || (first && write_through(g_file, tap_ring_data(r) + at, first)) ||
        (head - tail > first && write_through(g_file, tap_ring_data(r), head - tail - first)))
        g_trace.failed = 1;
    if (g_direct == INVALID_HANDLE)
        g_direct = g_file;
    tap_say("the writer ended early; the trace goes on directly: ", g_name);
}

/* Until the ring has room for size bytes (0), or the writer has gone (-1). */
static int wait_for_room(uint32_t size) {
    unsigned tries;
    tap_ring_store(&g_ring->head, g_ring_head); /* what it holds, the writer may take */
    SetEvent(g_wake);
    for (tries = 0;; ++tries) {
        if (g_ring->capacity - (g_ring_head - tap_ring_load(&g_ring->tail)) >= size)
            return 0;
        if (WaitForSingleObject(g_writer, tries < 64 ? 0 : 1) == WAIT_OBJECT_0)
            return -1;
    }
}

/* Before the process may end: the ring emptied into the file, for ms at most. */
static void settle(DWORD ms) {
    if (!g_ring)
        return;
    tap_ring_store(&g_ring->head, g_ring_head);
    if (g_ring_head == tap_ring_load(&g_ring->tail))
        return;
    SetEvent(g_wake);
    while (g_ring_head != tap_ring_load(&g_ring->tail)) {
        if (WaitForSingleObject(g_writer, 1) == WAIT_OBJECT_0) {
            writer_lost();
            return;
        }
        if (!ms--)
            return;
    }
}

static int write_ring(const unsigned char* data, size_t size) {
    while (size && g_ring) {
        struct tap_ring* r = g_ring;
        const uint32_t n = size < r->capacity ? (uint32_t)size : r->capacity;
        const uint32_t at = g_ring_head & (r->capacity - 1);
        const uint32_t first = n < r->capacity - at ? n : r->capacity - at;
        if (r->capacity - (g_ring_head - tap_ring_load(&r->tail)) < n && wait_for_room(n)) {
            writer_lost();
            break;
        }
        memcpy(tap_ring_data(r) + at, data, first);
        memcpy(tap_ring_data(r), data + first, n - first);
        g_ring_head += n;
        data += n;
        size -= n;
    }
    if (size)
        return write_direct(data, size);
    return g_ring && g_ring->failed ? -1 : 0;
}

static int write_file(void* context, const void* data, size_t size) {
    (void)context;
    if (!g_ring)
        return write_direct(data, size);
    if (g_direct != INVALID_HANDLE && write_direct(data, size))
        return -1;
    return write_ring(data, size);
}

/* The writer, started suspended, is given its handles before it runs: the tap's end, however it
 * comes, cannot take the section or the file from it. 0, or -1 and why. */
static int start_writer(const char** why) {
    char name[64], line[600], *at = name;
    struct startup_info si;
    struct process_information pi;
    HANDLE host = NULL, file = NULL, wake = NULL, section = NULL;
    unsigned copy;
    const char* folder_end = strrchr(g_component, '\\');
    const size_t folder = folder_end ? (size_t)(folder_end + 1 - g_component) : 0;
    if (folder + 48 > sizeof line)
        return *why = "its path is too long", -1;
    at = tap_put_text(name, name + sizeof name - 1, "Local\\zeph-tap.");
    at = tap_put_number(at, name + sizeof name - 1, GetCurrentProcessId(), 1);
    at = tap_put_text(at, name + sizeof name - 1, ".");
    at = tap_put_number(at, name + sizeof name - 1, GetTickCount(), 1);
    at = tap_put_text(at, name + sizeof name - 1, ".");
    /* A writer still draining a trace of an earlier process of this pid holds its name. */
    for (copy = 1; copy <= 100 && !g_section; ++copy) {
        *tap_put_number(at, name + sizeof name - 1, copy, 1) = '\0';
        g_section = CreateFileMappingA(INVALID_HANDLE, NULL, PAGE_READWRITE, 0,
                                       TAP_RING_DATA + RING_CAPACITY, name);
        if (g_section && GetLastError() == ERROR_ALREADY_EXISTS) {
            CloseHandle(g_section);
            g_section = NULL;
        }
    }
    g_view = g_section ? MapViewOfFile(g_section, FILE_MAP_ALL_ACCESS, 0, 0, 0) : NULL;
    g_wake = CreateEventA(NULL, 0, 0, NULL);
    if (!g_view || !g_wake)
        return *why = "no shared memory for it", -1;
    memset(g_view, 0, sizeof *g_view);
    g_view->magic = TAP_RING_MAGIC;
    g_view->version = TAP_RING_VERSION;
    g_view->capacity = RING_CAPACITY;
    at = tap_put_text(line, line + sizeof line - 1, "\"");
    memcpy(at, g_component, folder);
    at = tap_put_text(at + folder, line + sizeof line - 1, "zeph_tap_writer.exe\" ");
    *tap_put_text(at, line + sizeof line - 1, name) = '\0';
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    memset(&pi, 0, sizeof pi);
    if (!CreateProcessA(NULL, line, NULL, NULL, 0, CREATE_SUSPENDED | CREATE_NO_WINDOW, NULL, NULL,
                        &si, &pi))
        return *why = "cannot start zeph_tap_writer.exe beside the tap", -1;
    if (DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), pi.process, &host, SYNCHRONIZE, 0,
                        0) &&
        DuplicateHandle(GetCurrentProcess(), g_file, pi.process, &file, 0, 0,
                        DUPLICATE_SAME_ACCESS) &&
        DuplicateHandle(GetCurrentProcess(), g_wake, pi.process, &wake, 0, 0,
                        DUPLICATE_SAME_ACCESS) &&
        DuplicateHandle(GetCurrentProcess(), g_section, pi.process, &section, 0, 0,
                        DUPLICATE_SAME_ACCESS)) {
        g_view->host = (uint32_t)(uintptr_t)host;
        g_view->file = (uint32_t)(uintptr_t)file;
        g_view->wake = (uint32_t)(uintptr_t)wake;
        if (ResumeThread(pi.thread) != 0xFFFFFFFFu) {
            CloseHandle(pi.thread);
            g_writer = pi.process;
            g_ring = g_view;
            return 0;
        }
    }
    TerminateProcess(pi.process, 1);
    CloseHandle(pi.thread);
    CloseHandle(pi.process);
    return *why = "cannot hand the trace to zeph_tap_writer.exe", -1;
}

static void stop_writer(void) {
    if (g_ring) {
        tap_ring_store(&g_ring->head, g_ring_head);
        tap_ring_store(&g_ring->closed, 1);
        SetEvent(g_wake);
        /* Normally a few ms; one that takes longer finishes alone. */
        if (WaitForSingleObject(g_writer, 30000) == WAIT_OBJECT_0 &&
            g_ring_head != tap_ring_load(&g_ring->tail))
            writer_lost();
    }
    g_ring = NULL;
    if (g_view)
        UnmapViewOfFile(g_view);
    g_view = NULL;
    if (g_writer)
        CloseHandle(g_writer);
    if (g_section)
        CloseHandle(g_section);
    if (g_wake)
        CloseHandle(g_wake);
    g_writer = g_section = g_wake = NULL;
}

static int depth_here(void) {
    return g_tls_depth != 0xFFFFFFFFu ? (int)(intptr_t)TlsGetValue(g_tls_depth) : 0;
}

/* The header names the component by this DLL's name, with the component file's size and time. */
static void open_trace(void) {
    struct file_time ft;
    struct zt_header h;
    char mode[16];
    const DWORD n = GetEnvironmentVariableA("ZEPH_TRACE_WRITE", mode, sizeof mode);
    const char* why = NULL;
    if (n == 0 || n >= sizeof mode)
        mode[0] = '\0';
    g_opened = 1;
    g_file = tap_create_trace(g_name, g_component, ".zephtrace");
    if (g_file == INVALID_HANDLE)
        return;
    zt_writer_init(&g_trace, write_file, NULL, 0);
    g_batched = !strcmp(mode, "batched");
    if (g_batched || !strcmp(mode, "direct") || start_writer(&why)) {
        if (why)
            tap_say("the trace is written directly: ", why);
        stop_writer();
        g_direct = g_file;
    } else if (!strcmp(mode, "both")) {
        g_direct = tap_create_trace(g_name, g_component, ".direct.zephtrace");
    }
    memset(&h, 0, sizeof h);
    h.tap_version = ZT_TAP_VERSION;
    h.pid = GetCurrentProcessId();
    h.component = zb_text_of(g_name);
    h.component_size = (uint64_t)g_component_file.size_high << 32 | g_component_file.size_low;
    h.component_time = tap_divide(
        tap_unix_us((uint64_t)g_component_file.written.high << 32 | g_component_file.written.low),
        1000000u);
    GetSystemTimeAsFileTime(&ft);
    h.started_us = tap_unix_us((uint64_t)ft.high << 32 | ft.low);
    {
        /* With the pid, which process: Wine gives every fresh process the same one. */
        struct file_time created, exited, kernel, user;
        if (GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user) &&
            (created.high || created.low))
            h.process_us = tap_unix_us((uint64_t)created.high << 32 | created.low);
    }
    zt_write_header(&g_trace, &h);
    if (!g_batched)
        flush_locked();
}

static void record(const struct zb_message* m) {
    const int outermost = depth_here() == 0;
    EnterCriticalSection(&g_lock);
    if (g_file != INVALID_HANDLE) {
        zt_write(&g_trace, tap_stamp(outermost), GetCurrentThreadId(), m);
        if (outermost && !g_batched)
            flush_locked();
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
        flush_locked();
        settle(5000);
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
            flush_locked(); /* the process may end here */
            settle(5000);
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
        settle(5000);
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
        open_trace();
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
            flush_locked();
            stop_writer();
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
