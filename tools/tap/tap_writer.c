/* zeph_tap_writer.exe: the field tap's writer. The tap starts it beside a panel host, hands it the
 * host process, the trace file and a section (tap_ring.h), and puts each record into the section
 * as it happens; this process copies what arrives into the file. The host may end any way at all,
 * a kill included: the section is this process's too, so what the tap put there is written, and
 * then the file is closed and this process ends.
 *
 *   zeph_tap_writer.exe SECTION-NAME
 *
 * Plain C on the tap's rules: KERNEL32.dll alone, no C runtime start-up, no heap. */
#include "tap_ring.h"
#include "tap_win32.h"

#include <stdint.h>

/* Longest pause between looks at an empty ring, in ms: the tap wakes the writer only when it
 * finds the ring full, so a quiet ring is looked at now and then. */
#define LONGEST_PAUSE 16u

static int write_all(HANDLE file, const unsigned char* data, uint32_t size) {
    while (size) {
        DWORD done = 0;
        if (!WriteFile(file, data, size, &done, NULL) || done == 0)
            return -1;
        data += done;
        size -= done;
    }
    return 0;
}

/* The last word of the command line: the section's name. */
static const char* section_name(void) {
    const char* line = GetCommandLineA();
    const char* last = line;
    int quoted = 0;
    for (; *line; ++line) {
        if (*line == '"')
            quoted = !quoted;
        else if (*line == ' ' && !quoted && line[1] && line[1] != ' ')
            last = line + 1;
    }
    return last;
}

static void run(struct tap_ring* r) {
    HANDLE waits[2];
    const HANDLE file = (HANDLE)(uintptr_t)r->file;
    const uint32_t mask = r->capacity - 1;
    unsigned char* data = tap_ring_data(r);
    uint32_t tail = r->tail;
    DWORD pause = 1, woke;
    int host_gone = 0;
    waits[0] = (HANDLE)(uintptr_t)r->host;
    waits[1] = (HANDLE)(uintptr_t)r->wake;
    for (;;) {
        /* closed first: once it is seen, the head read after it is the last. */
        const uint32_t closed = tap_ring_load(&r->closed);
        const uint32_t head = tap_ring_load(&r->head);
        if (head != tail) {
            while (head != tail) {
                const uint32_t at = tail & mask;
                uint32_t n = head - tail;
                if (n > mask + 1 - at)
                    n = mask + 1 - at;
                if (!r->failed && write_all(file, data + at, n))
                    tap_ring_store(&r->failed, 1); /* the tap stops; what comes is dropped */
                tail += n;
                tap_ring_store(&r->tail, tail);
            }
            if (closed || host_gone)
                continue;
            /* A millisecond's records a write, rather than a notification's. */
            pause = 1;
        } else if (closed || host_gone) {
            break;
        } else {
            pause = pause * 2 < LONGEST_PAUSE ? pause * 2 : LONGEST_PAUSE;
        }
        /* The host's end wakes this at once: after it, one more look drains what it left. A
         * wait that fails cannot tell, and is taken as the end rather than looped on. */
        woke = WaitForMultipleObjects(2, waits, 0, pause);
        if (woke == WAIT_OBJECT_0 || woke == 0xFFFFFFFFu)
            host_gone = 1;
    }
}

void __stdcall writer_main(void) {
    struct tap_ring* r;
    const HANDLE section = OpenFileMappingA(FILE_MAP_ALL_ACCESS, 0, section_name());
    if (!section)
        ExitProcess(2);
    r = MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    if (!r || r->magic != TAP_RING_MAGIC || r->version != TAP_RING_VERSION || !r->capacity ||
        (r->capacity & (r->capacity - 1)))
        ExitProcess(2);
    run(r);
    CloseHandle((HANDLE)(uintptr_t)r->file);
    ExitProcess(r->failed ? 1 : 0);
}
