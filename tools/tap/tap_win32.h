/* What the tap sees of Windows: the few Win32 calls it makes, declared here as
 * platform/zeph_win32.h does, and the helpers of tap_file.c. The objects it relays are
 * zeph_client_callback.h's C view. */
#ifndef ZEPH_TAP_WIN32_H
#define ZEPH_TAP_WIN32_H

#include <stddef.h>
#include <stdint.h>

#include "bridge_capture.h"
#include "zeph_client_callback.h"

/* ---- The few Win32 calls --------------------------------------------------------------------- */
typedef void* HANDLE;
typedef unsigned long DWORD;
struct file_time {
    DWORD low, high;
};
struct file_data { /* WIN32_FILE_ATTRIBUTE_DATA */
    DWORD attributes;
    struct file_time created, accessed, written;
    DWORD size_high, size_low;
};
struct system_time { /* SYSTEMTIME */
    unsigned short year, month, weekday, day, hour, minute, second, ms;
};
struct critical_section {
    void* debug;
    long lock_count, recursion;
    HANDLE owner, semaphore;
    uintptr_t spin;
};
struct exception_pointers {
    struct zc_exception* record; /* bridge_capture.h */
    void* context;
};
typedef long(__stdcall* vectored_handler)(struct exception_pointers* info);

#define IMPORT __declspec(dllimport)
IMPORT void __stdcall OutputDebugStringA(const char* text);
IMPORT int __stdcall DisableThreadLibraryCalls(void* module);
IMPORT DWORD __stdcall GetModuleFileNameA(void* module, char* path, DWORD size);
IMPORT int __stdcall GetFileAttributesExA(const char* path, int level, void* data);
IMPORT void* __stdcall LoadLibraryExA(const char* path, HANDLE file, DWORD flags);
IMPORT void* __stdcall GetProcAddress(void* module, const char* name);
IMPORT HANDLE __stdcall CreateFileA(const char* path, DWORD access, DWORD share, void* security,
                                    DWORD disposition, DWORD flags, HANDLE tmpl);
IMPORT int __stdcall WriteFile(HANDLE file, const void* data, DWORD size, DWORD* done, void* o);
IMPORT int __stdcall CloseHandle(HANDLE h);
IMPORT DWORD __stdcall GetEnvironmentVariableA(const char* name, char* value, DWORD size);
IMPORT DWORD __stdcall GetCurrentThreadId(void);
IMPORT DWORD __stdcall GetCurrentProcessId(void);
IMPORT void __stdcall GetLocalTime(struct system_time* t);
IMPORT void __stdcall GetSystemTimeAsFileTime(struct file_time* t);
IMPORT int __stdcall QueryPerformanceCounter(int64_t* count);
IMPORT int __stdcall QueryPerformanceFrequency(int64_t* frequency);
IMPORT void __stdcall InitializeCriticalSection(struct critical_section* cs);
IMPORT void __stdcall DeleteCriticalSection(struct critical_section* cs);
IMPORT void __stdcall EnterCriticalSection(struct critical_section* cs);
IMPORT void __stdcall LeaveCriticalSection(struct critical_section* cs);
IMPORT DWORD __stdcall TlsAlloc(void);
IMPORT int __stdcall TlsFree(DWORD index);
IMPORT void* __stdcall TlsGetValue(DWORD index);
IMPORT int __stdcall TlsSetValue(DWORD index, void* value);
IMPORT void* __stdcall AddVectoredExceptionHandler(DWORD first, vectored_handler handler);
IMPORT DWORD __stdcall RemoveVectoredExceptionHandler(void* handle);
IMPORT void __stdcall SetLastError(DWORD error);
IMPORT DWORD __stdcall GetLastError(void);
IMPORT HANDLE __stdcall GetCurrentProcess(void);
IMPORT int __stdcall GetProcessTimes(HANDLE process, struct file_time* created,
                                     struct file_time* exited, struct file_time* kernel,
                                     struct file_time* user);
/* The writer process and the section it shares with the tap. */
struct startup_info { /* STARTUPINFOA */
    DWORD cb;
    char *reserved, *desktop, *title;
    DWORD x, y, width, height, columns, rows, fill, flags;
    unsigned short show, reserved2;
    void* reserved3;
    HANDLE input, output, error;
};
struct process_information {
    HANDLE process, thread;
    DWORD process_id, thread_id;
};
IMPORT HANDLE __stdcall CreateFileMappingA(HANDLE file, void* security, DWORD protect,
                                           DWORD size_high, DWORD size_low, const char* name);
IMPORT HANDLE __stdcall OpenFileMappingA(DWORD access, int inherit, const char* name);
IMPORT void* __stdcall MapViewOfFile(HANDLE section, DWORD access, DWORD offset_high,
                                     DWORD offset_low, size_t size);
IMPORT int __stdcall UnmapViewOfFile(const void* view);
IMPORT int __stdcall CreateProcessA(const char* program, char* command_line, void* process_security,
                                    void* thread_security, int inherit, DWORD flags,
                                    void* environment, const char* folder,
                                    struct startup_info* startup,
                                    struct process_information* created);
IMPORT int __stdcall DuplicateHandle(HANDLE from_process, HANDLE from, HANDLE to_process,
                                     HANDLE* to, DWORD access, int inherit, DWORD options);
IMPORT DWORD __stdcall ResumeThread(HANDLE thread);
IMPORT int __stdcall TerminateProcess(HANDLE process, unsigned code);
IMPORT DWORD __stdcall WaitForSingleObject(HANDLE object, DWORD ms);
IMPORT DWORD __stdcall WaitForMultipleObjects(DWORD count, const HANDLE* objects, int all,
                                              DWORD ms);
IMPORT HANDLE __stdcall CreateEventA(void* security, int manual, int initial, const char* name);
IMPORT int __stdcall SetEvent(HANDLE event);
IMPORT DWORD __stdcall GetTickCount(void);
IMPORT char* __stdcall GetCommandLineA(void);
IMPORT void __stdcall ExitProcess(unsigned code);

#define INVALID_HANDLE ((HANDLE)(intptr_t)-1)
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define ERROR_MOD_NOT_FOUND 126
#define ERROR_FILE_EXISTS 80
#define EXCEPTION_CONTINUE_SEARCH 0
#define ERROR_ALREADY_EXISTS 183
#define WAIT_OBJECT_0 0
#define PAGE_READWRITE 4
#define FILE_MAP_ALL_ACCESS 0xF001Fu
#define SYNCHRONIZE 0x00100000u
#define DUPLICATE_SAME_ACCESS 2
#define CREATE_SUSPENDED 4
#define CREATE_NO_WINDOW 0x08000000u

/* ---- tap_file.c: the trace file's name, and what the C runtime is not trusted with ----------- */

/* Creates NAME.yyyymmdd-hhmmss-mmm.pid.zephtrace (NAME the tap's file name without its extension)
 * in ZEPH_TRACE_DIR, or else in the folder of component; never over another file: where that name
 * is taken (Wine gives each fresh process the same pid), NAME.yyyymmdd-hhmmss-mmm.pid-2.zephtrace
 * and so on. extension replaces ".zephtrace". Says why on the debugger output when it cannot. */
HANDLE tap_create_trace(const char* name, const char* component, const char* extension);

/* One line "zeph-tap: WHAT ABOUT" on the debugger output, without the heap. */
void tap_say(const char* what, const char* about);

/* Copies text, then the decimal v with at least digits digits, up to end; the next place. */
char* tap_put_text(char* at, const char* end, const char* text);
char* tap_put_number(char* at, const char* end, unsigned long v, int digits);

#endif
