/* The field tap's trace file: the records through the writer process's ring, or written directly,
 * and the file's header. */
#include "tap_trace.h"
#include "tap_clock.h"

#include <stdint.h>
#include <string.h>

#define ZT_TAP_VERSION 2u

HANDLE g_file = INVALID_HANDLE;
int g_opened; /* the trace was tried (once per process) */
struct zt_writer g_trace;

/* ---- The trace file -------------------------------------------------------------------------- */
/* Each record goes, as it is made, into a section shared with a writer process the tap starts
 * (zeph_tap_writer.exe beside it, tap_ring.h), which copies it into the file: a memory copy for
 * the host, and a host killed outright loses nothing, since the section is the writer's too.
 * Where the writer cannot start, or ends, the records go to the file directly, as below. */
struct tap_ring* g_ring; /* while the writer takes the records */
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
HANDLE g_direct = INVALID_HANDLE; /* where they go: the trace, or its copy (both) */
/* ZEPH_TRACE_WRITE=direct: no writer. =batched: directly, and the records wait until the buffer
 * fills, a fault anywhere in the process, or the end; a session killed outright loses what waits.
 * =both: through the writer, and directly into a copy (NAME....direct.zephtrace) to compare. */
int g_batched;

static int write_through(HANDLE file, const void* data, size_t size) {
    DWORD done = 0;
    return WriteFile(file, data, (DWORD)size, &done, NULL) && done == size ? 0 : -1;
}

void tap_flush_locked(void) {
    if (g_ring)
        tap_ring_store(&g_ring->head, g_ring_head);
    if (g_pending_size && g_direct != INVALID_HANDLE &&
        write_through(g_direct, g_pending, g_pending_size))
        g_trace.failed = 1; /* given up, as a write that failed at once would be */
    g_pending_size = 0;
}

static int write_direct(const void* data, size_t size) {
    if (g_pending_size + size > sizeof g_pending) {
        tap_flush_locked();
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

void tap_settle(DWORD ms) {
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

void tap_stop_writer(void) {
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

void tap_open_trace(void) {
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
        tap_stop_writer();
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
        tap_flush_locked();
}
