/* zeph-bridge.exe: loads component DLLs as the panel host does, the one it is started with and any
 * the bench asks for, and relays the callback interface to the bench over its standard input and
 * output (bridge_protocol.h). The bench starts it under Wine, one per bench process for every DLL
 * and instance of a run, and it ends when its input ends.
 *
 * Built with the mingw C compiler, like the conformance host, so it shares nothing with the
 * component's C++ compiler: the component and the host object are seen as the Microsoft C++ ABI
 * lays them out, a pointer to a table whose slot 0 is the deleting destructor and slot 1
 * callback(), both __thiscall. A fault inside the DLL is reported to the bench with its exception
 * code and place instead of taking the bridge down silently. */
#include <windows.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bridge_capture.h"
#include "bridge_core.h"
#include "bridge_protocol.h"
#include "zeph_client_callback.h"

typedef char(static_assert_32bit[sizeof(void*) == 4 ? 1 : -1]);
_Static_assert(sizeof(struct zc_exception) == sizeof(EXCEPTION_RECORD) &&
                   offsetof(struct zc_exception, information) ==
                       offsetof(EXCEPTION_RECORD, ExceptionInformation),
               "the capture reads the system's exception record");

/* The host object of one component: the table, then which of the bench's hosts it stands for. */
struct host_object {
    struct zeph_object base;
    uint32_t id;
    struct host_object* next_free;
};

static char* __attribute__((thiscall))
host_callback(struct zeph_object* self, void* data, int type) {
    return zb_host_call(((struct host_object*)self)->id, data, type);
}

/* The component never owns its host: a delete through slot 0 changes nothing. */
static void* __attribute__((thiscall)) host_destroy(struct zeph_object* self, unsigned flags) {
    (void)flags;
    return self;
}

static const struct zeph_vtable g_host_vtable = {host_destroy, host_callback};

/* Host objects are reused, so that creating and destroying components leaves the heap as it
 * was: the heap is measured here for the bench. */
static struct host_object* g_free_hosts;

static void* make_host(uint32_t id) {
    struct host_object* h = g_free_hosts;
    if (h)
        g_free_hosts = h->next_free;
    else
        h = malloc(sizeof *h);
    if (!h)
        return NULL;
    h->base.vtbl = &g_host_vtable;
    h->id = id;
    h->next_free = NULL;
    return h;
}

static void free_host(void* host) {
    struct host_object* h = host;
    h->id = 0; /* a component still calling it reaches no host */
    h->next_free = g_free_hosts;
    g_free_hosts = h;
}

/* ---- The DLLs and their components ----------------------------------------------------------- */
/* A panel host loads a handful of component DLLs: a fixed table is plenty. */
enum { MAX_DLLS = 32 };
static struct dll {
    char path[MAX_PATH];
    zeph_object_factory_fn factory;
} g_dlls[MAX_DLLS];
static uint32_t g_dll_count;

static void describe_error(DWORD error, char* out, size_t size);

/* Loads it and finds its factory, as a panel host does; the DLL's own folder is searched for the
 * DLLs it imports (zeph_string.dll). */
static uint32_t open_dll(const char* path, uint32_t* number, uint32_t* error, char* what,
                         unsigned size) {
    HMODULE module;
    zeph_object_factory_fn factory;
    uint32_t i;
    for (i = 0; i < g_dll_count; ++i)
        if (!_stricmp(g_dlls[i].path, path)) {
            *number = i;
            return ZB_READY;
        }
    if (g_dll_count == MAX_DLLS) {
        snprintf(what, size, "the bridge holds no more than %d DLLs", MAX_DLLS);
        return ZB_LOAD_FAILED;
    }
    if (strlen(path) >= MAX_PATH) {
        *error = ERROR_FILENAME_EXCED_RANGE;
        describe_error(*error, what, size);
        return ZB_LOAD_FAILED;
    }
    module = LoadLibraryExA(path, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!module) {
        *error = GetLastError();
        describe_error(*error, what, size);
        return ZB_LOAD_FAILED;
    }
    factory =
        (zeph_object_factory_fn)(void (*)(void))GetProcAddress(module, "load_zeph_client_script");
    if (!factory) {
        snprintf(what, size, "load_zeph_client_script");
        return ZB_NO_FACTORY;
    }
    strcpy(g_dlls[g_dll_count].path, path);
    g_dlls[g_dll_count].factory = factory;
    *number = g_dll_count++;
    snprintf(what, size, "%s", path);
    return ZB_READY;
}

static void* create(uint32_t dll, void* host, const char* path) {
    return dll < g_dll_count ? g_dlls[dll].factory((struct zeph_object*)host, path) : NULL;
}

static char* callback(void* component, void* data, int type) {
    struct zeph_object* c = component;
    return c->vtbl->callback(c, data, type);
}

static void destroy(void* component) {
    struct zeph_object* c = component;
    c->vtbl->destroy(c, 1);
}

/* ---- The pipe, the heap, the end ------------------------------------------------------------- */
static HANDLE g_input, g_output;

static int read_input(void* buffer, unsigned size) {
    DWORD got = 0;
    if (!ReadFile(g_input, buffer, size, &got, NULL)) {
        const DWORD e = GetLastError();
        return e == ERROR_BROKEN_PIPE || e == ERROR_HANDLE_EOF ? 0 : -1;
    }
    return (int)got;
}

static int write_output(const void* data, unsigned size) {
    const char* p = data;
    while (size) {
        DWORD done = 0;
        if (!WriteFile(g_output, p, size, &done, NULL) || done == 0)
            return -1;
        p += done;
        size -= done;
    }
    return 0;
}

/* The bench's file through drive Z:, which Wine maps onto the root of its file system. The file
 * handle and the mapping may go at once: the view keeps the pages. */
static void* map_shared(const char* path, uint32_t size, char* why, unsigned why_size) {
    char windows[MAX_PATH];
    HANDLE file, mapping;
    void* view = NULL;
    size_t i;
    if (strlen(path) + 3 > sizeof windows) {
        snprintf(why, why_size, "its path is too long");
        return NULL;
    }
    snprintf(windows, sizeof windows, "Z:%s", path);
    for (i = 0; windows[i]; ++i)
        if (windows[i] == '/')
            windows[i] = '\\';
    file = CreateFileA(windows, GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        describe_error(GetLastError(), why, why_size);
        return NULL;
    }
    mapping = CreateFileMappingA(file, NULL, PAGE_READWRITE, 0, size, NULL);
    if (mapping) {
        view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, size);
        if (!view)
            describe_error(GetLastError(), why, why_size);
        CloseHandle(mapping);
    } else {
        describe_error(GetLastError(), why, why_size);
    }
    CloseHandle(file);
    return view;
}

/* Bytes in blocks in use on every heap of the process: the component's runtime has its own. */
static int heap_in_use(uint64_t* bytes) {
    HANDLE heaps[256];
    const DWORD count = GetProcessHeaps(256, heaps);
    uint64_t total = 0;
    DWORD i;
    if (count == 0 || count > 256)
        return 0;
    for (i = 0; i < count; ++i) {
        PROCESS_HEAP_ENTRY entry;
        if (!HeapLock(heaps[i]))
            continue;
        memset(&entry, 0, sizeof entry);
        while (HeapWalk(heaps[i], &entry))
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)
                total += entry.cbData;
        HeapUnlock(heaps[i]);
    }
    *bytes = total;
    return 1;
}

/* Nothing is left to save when the bench has gone or a fault was reported, and the component's
 * own detach code must not run on a broken state. */
static void quit(int code) {
    TerminateProcess(GetCurrentProcess(), (UINT)code);
}

/* ---- Faults and the debugger output ---------------------------------------------------------- */
/* A component's call in progress that a fault may abandon, as a panel host carries on with its
 * other scripts: where to resume, and the handler chain as it was there, since the frames the
 * exception's dispatch registered below it are abandoned too. */
struct guard {
    void* resume[5];
    void* handlers;
    struct guard* outer;
};
static struct guard* volatile g_guard;

/* The head of the thread's handler chain, at fs:0 on x86. */
static void* handler_chain(void) {
    void* head;
    __asm__ volatile("movl %%fs:0, %0" : "=r"(head));
    return head;
}

static void set_handler_chain(void* head) {
    __asm__ volatile("movl %0, %%fs:0" : : "r"(head) : "memory");
}

static int guarded(void (*fn)(void*), void* arg) {
    struct guard g;
    g.outer = g_guard;
    g.handlers = handler_chain();
    if (__builtin_setjmp(g.resume)) {
        set_handler_chain(g.handlers);
        g_guard = g.outer;
        return 1;
    }
    g_guard = &g;
    fn(arg);
    g_guard = g.outer;
    return 0;
}

/* Back to the innermost call in progress, once its fault is reported; returns when there is none.
 */
static void recover(void) {
    if (g_guard)
        __builtin_longjmp(g_guard->resume, 1);
}

static const struct zb_platform g_platform = {read_input,  write_output, make_host, free_host,
                                              open_dll,    create,       callback,  destroy,
                                              heap_in_use, quit,         guarded,   map_shared};

/* A stack overflow leaves the faulting thread too little stack to locate and send the fault: the
 * filter only notes it and wakes this thread, which has a stack of its own, reports it and ends
 * the process. */
static HANDLE g_overflow_noted;
static volatile uint32_t g_overflow_code;
static const void* volatile g_overflow_address;

static DWORD WINAPI overflow_reporter(void* unused) {
    char where[320];
    (void)unused;
    if (WaitForSingleObject(g_overflow_noted, INFINITE) != WAIT_OBJECT_0)
        return 0;
    zc_locate((const void*)g_overflow_address, where, sizeof where);
    zb_fault(g_overflow_code, (uint64_t)(uintptr_t)g_overflow_address, ZB_NO_ACCESS, 0, where);
    quit(70);
    return 0;
}

/* Room for the dispatch of the overflow and the filter's few calls, kept below the guard page.
 * The reporter is started before any component runs, so that no thread needs creating then. */
static void prepare_for_overflow(void) {
    ULONG guarantee = 64 * 1024;
    SetThreadStackGuarantee(&guarantee);
    g_overflow_noted = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (g_overflow_noted)
        CloseHandle(CreateThread(NULL, 256 * 1024, overflow_reporter, NULL, 0, NULL));
}

/* Only faults nothing else handled reach this filter, so the component's own handlers and Wine's
 * internal probes keep working. */
static LONG WINAPI fault_filter(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* rec = info->ExceptionRecord;
    if (rec->ExceptionCode == EXCEPTION_STACK_OVERFLOW && g_overflow_noted) {
        g_overflow_code = (uint32_t)rec->ExceptionCode;
        g_overflow_address = rec->ExceptionAddress;
        SetEvent(g_overflow_noted);
        for (;;)
            Sleep(INFINITE); /* until the reporter ends the process */
    }
    struct zb_fault f;
    char where[320];
    zc_fault((const struct zc_exception*)rec, &f, where, sizeof where);
    zb_fault(f.code, f.address, f.access, f.target, where);
    recover();
    quit(70);
    return EXCEPTION_EXECUTE_HANDLER;
}

/* abort() in the component (the C runtime it shares with the bridge raises SIGABRT first) is a
 * fault like any other, not a silent exit code 3. The code is the one Windows gives a fatal
 * application exit. */
#define ZB_ABORT_CODE 0x40000015u
static void abort_catcher(int sig) {
    (void)sig;
    zb_fault(ZB_ABORT_CODE, 0, ZB_NO_ACCESS, 0, "abort() of the C runtime");
    quit(70);
}

/* OutputDebugStringA raises an exception of its own; the system's own handling still runs. */
static LONG CALLBACK debug_catcher(EXCEPTION_POINTERS* info) {
    const char* text = zc_debug_text((const struct zc_exception*)info->ExceptionRecord);
    if (text)
        zb_debug(text);
    return EXCEPTION_CONTINUE_SEARCH;
}

static void describe_error(DWORD error, char* out, size_t size) {
    size_t n;
    if (!FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, error, 0,
                        out, (DWORD)size, NULL))
        snprintf(out, size, "error %lu", (unsigned long)error);
    n = strlen(out);
    while (n &&
           (out[n - 1] == '\n' || out[n - 1] == '\r' || out[n - 1] == ' ' || out[n - 1] == '.'))
        out[--n] = '\0';
}

int main(int argc, char** argv) {
    char what[600];
    uint32_t number = 0, error = 0, status;
    g_input = GetStdHandle(STD_INPUT_HANDLE);
    g_output = GetStdHandle(STD_OUTPUT_HANDLE);
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    AddVectoredExceptionHandler(1, debug_catcher);
    prepare_for_overflow();
    SetUnhandledExceptionFilter(fault_filter);
    signal(SIGABRT, abort_catcher);
    if (argc < 2) {
        zb_hello(&g_platform, ZB_BAD_USAGE, 0, "usage: zeph-bridge.exe DLL");
        return 2;
    }
    status = open_dll(argv[1], &number, &error, what, sizeof what);
    zb_hello(&g_platform, status, error, what);
    return status == ZB_READY ? zb_serve(&g_platform) : 1;
}
