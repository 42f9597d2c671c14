/* The trace file's name and creation, and the few text helpers the tap writes itself because the
 * C runtime it may count on (msvcrt.dll) does not promise them or would touch the heap. */
#include "tap_win32.h"

#include <string.h>

void tap_say(const char* what, const char* about) {
    char line[700];
    size_t n = 0, k = strlen(what), a = about ? strlen(about) : 0;
    if (k > 100 || a > 560)
        return;
    memcpy(line, "zeph-tap: ", 10);
    n = 10;
    memcpy(line + n, what, k);
    n += k;
    memcpy(line + n, about ? about : "", a);
    n += a;
    line[n++] = '\n';
    line[n] = '\0';
    OutputDebugStringA(line);
}

char* tap_put_text(char* at, const char* end, const char* text) {
    while (*text && at < end)
        *at++ = *text++;
    return at;
}

char* tap_put_number(char* at, const char* end, unsigned long v, int digits) {
    char b[12];
    int n = 0;
    do {
        b[n++] = (char)('0' + v % 10);
        v /= 10;
    } while (v || n < digits);
    while (n && at < end)
        *at++ = b[--n];
    return at;
}

HANDLE tap_create_trace(const char* name, const char* component, const char* extension) {
    char path[700], *at = path, *stem;
    const char* end = path + sizeof path - 24;
    const char* dot = strrchr(name, '.');
    const char* folder_end = strrchr(component, '\\');
    struct system_time t;
    HANDLE file = INVALID_HANDLE;
    unsigned long copy;
    DWORD n = GetEnvironmentVariableA("ZEPH_TRACE_DIR", path, 400);
    if (n > 0 && n < 400) {
        at = path + n;
        if (at[-1] != '\\' && at[-1] != '/')
            *at++ = '\\';
    } else {
        n = folder_end ? (DWORD)(folder_end + 1 - component) : 0;
        memcpy(path, component, n);
        at = path + n;
    }
    while (*name && name != dot && at < end)
        *at++ = *name++;
    GetLocalTime(&t);
    at = tap_put_text(at, end, ".");
    at = tap_put_number(at, end, t.year, 4);
    at = tap_put_number(at, end, t.month, 2);
    at = tap_put_number(at, end, t.day, 2);
    at = tap_put_text(at, end, "-");
    at = tap_put_number(at, end, t.hour, 2);
    at = tap_put_number(at, end, t.minute, 2);
    at = tap_put_number(at, end, t.second, 2);
    at = tap_put_text(at, end, "-");
    at = tap_put_number(at, end, t.ms, 3);
    at = tap_put_text(at, end, ".");
    stem = tap_put_number(at, end, GetCurrentProcessId(), 1);
    /* Created only where no file is: a trace is never written over another process's. */
    for (copy = 1; copy <= 1000 && file == INVALID_HANDLE; ++copy) {
        at = stem;
        if (copy > 1) {
            at = tap_put_text(at, end, "-");
            at = tap_put_number(at, end, copy, 1);
        }
        at = tap_put_text(at, end, extension);
        *at = '\0';
        /* Shared for reading: the trace can be looked at while the host runs. */
        file = CreateFileA(path, 0x40000000u /* GENERIC_WRITE */, 1 /* FILE_SHARE_READ */, NULL,
                           1 /* CREATE_NEW */, 0x80 /* NORMAL */, NULL);
        if (file == INVALID_HANDLE && GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    if (file == INVALID_HANDLE)
        tap_say("cannot create the trace ", path);
    return file;
}
