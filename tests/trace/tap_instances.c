/* A panel host of several instances for the field tap, under Wine: it loads a component DLL (the
 * tap in the component's place), creates three instances (one given no host object, one an empty
 * base path) and interleaves every kind of notification across them: parent texts (one of them
 * null), presses with every button field, revertives, database changes, ticks, type 7 and a type
 * nobody defined, releases of answers (one twice) and of a pointer the component never handed out.
 *   tap_instances.exe COMPONENT.dll                  the session, then each instance destroyed
 *   tap_instances.exe COMPONENT.dll --stop-after N [wait]
 *       the session over and over; after the Nth notification has returned it prints
 *       "returned N" and goes on until killed (wait: waits there to be killed)
 *   tap_instances.exe --kill N COMPONENT.dll [wait]
 *       the above as a child in a job, killed with TerminateProcess once it says so; then waits
 *       for every process of the job (the tap's writer) to end by itself: 0 when they did
 * Built with mingw like tap_cost.c; the MSVC view of the objects is the same. */
#include <windows.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

struct object;
typedef void*(__attribute__((thiscall)) * destroy_fn)(struct object* self, unsigned flags);
typedef char*(__attribute__((thiscall)) * callback_fn)(struct object* self, void* data, int type);
struct vtable {
    destroy_fn destroy;
    callback_fn callback;
};
struct object {
    const struct vtable* vtbl;
};
typedef struct object*(__cdecl* factory_fn)(struct object* host, const char* path);

/* Both host objects answer the same few queries from texts they own; releases change nothing. */
static char* __attribute__((thiscall)) host_callback(struct object* self, void* data, int type) {
    static const char* const replies[][2] = {
        {"PS ", "1"}, {"SD ", "201 7"}, {"RN ", "12,Camera 1"}, {"TG ", "0"}, {"XI ", "0"}};
    static char texts[5][16];
    size_t i;
    (void)self;
    if (type != 0 || !data)
        return NULL;
    for (i = 0; i < sizeof replies / sizeof *replies; ++i)
        if (!strncmp(data, replies[i][0], strlen(replies[i][0]))) {
            strcpy(texts[i], replies[i][1]);
            return texts[i];
        }
    return NULL;
}

static void* __attribute__((thiscall)) host_destroy(struct object* self, unsigned flags) {
    (void)flags;
    return self;
}

static const struct vtable g_host_vtable = {host_destroy, host_callback};
static struct object g_host_a = {&g_host_vtable}, g_host_b = {&g_host_vtable};

struct event {
    const char* command;
    const char* sub[32];
    const char* value;
};
struct button {
    int32_t word0, word1;
    const char *panel, *control;
    const struct event* event;
};

static long g_returned, g_stop_after;
static int g_wait;

/* One notification; counted once it has returned. */
static char* call(struct object* c, void* data, int type) {
    char* answer = c->vtbl->callback(c, data, type);
    if (++g_returned == g_stop_after) {
        printf("returned %ld\n", g_returned);
        fflush(stdout);
        if (g_wait)
            Sleep(INFINITE);
    }
    return answer;
}

static void session(struct object* c[3]) {
    static char subs[32][8];
    static struct event e;
    static struct button full = {1, 2, "1", "Tarnel", &e}, bare = {0, 0, "2", "Vorn", NULL};
    static unsigned char revertive[32], dbchange[32];
    static char foreign[] = "not the component's";
    char* answer;
    int i;
    if (!e.command) {
        const int32_t words[4] = {5, 0, 40, 0}, db[4] = {2, 7, 0, 12};
        for (i = 0; i < 32; ++i) {
            snprintf(subs[i], sizeof subs[i], "s%d", i);
            e.sub[i] = subs[i];
        }
        e.command = "take";
        e.value = "on";
        memcpy(revertive, words, sizeof words);
        strcpy((char*)revertive + 16, "Camera 1");
        memcpy(dbchange, db, sizeof db);
        strcpy((char*)dbchange + 16, "Camera 12");
    }
    call(c[0], (void*)"instance=pkg/mon1", 3);
    answer = call(c[2], (void*)"_commands", 3);
    call(c[1], NULL, 3);
    if (answer) {
        call(c[2], answer, 5);
        call(c[2], answer, 5); /* again: the component must not free it twice */
    }
    call(c[0], foreign, 5);
    call(c[0], &full, 2);
    call(c[1], &bare, 2);
    call(c[2], revertive, 1);
    call(c[1], (void*)(intptr_t)2, 4);
    call(c[0], dbchange, 6);
    call(c[2], (void*)(intptr_t)0x1234, 7);
    call(c[1], (void*)(intptr_t)0x5678, 42);
    answer = call(c[0], (void*)"sourceID=7", 3);
    if (answer)
        call(c[0], answer, 5);
}

static int host_session(const char* given) {
    /* The altered search order needs the path in the system's form. */
    char path[MAX_PATH];
    size_t n;
    HMODULE dll;
    factory_fn factory;
    struct object* c[3];
    int i;
    for (n = 0; given[n] && n + 1 < sizeof path; ++n)
        path[n] = given[n] == '/' ? '\\' : given[n];
    path[n] = 0;
    dll = LoadLibraryExA(path, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
    factory =
        dll ? (factory_fn)(void (*)(void))GetProcAddress(dll, "load_zeph_client_script") : NULL;
    if (!factory) {
        fprintf(stderr, "tap_instances: cannot load %s (error %lu)\n", path,
                (unsigned long)GetLastError());
        return 2;
    }
    c[0] = factory(&g_host_a, "pkg/mon1");
    c[1] = factory(NULL, "pkg/mon2");
    c[2] = factory(&g_host_b, "");
    for (i = 0; i < 3; ++i)
        if (!c[i]) {
            fprintf(stderr, "tap_instances: instance %d was not created\n", i + 1);
            return 2;
        }
    do
        session(c);
    while (g_stop_after && g_returned < 100 * g_stop_after);
    if (g_stop_after) /* never reached under a test: it kills long before */
        Sleep(INFINITE);
    for (i = 2; i >= 0; --i)
        c[i]->vtbl->destroy(c[i], 1);
    return 0;
}

/* Every process of the job ended, within ms. */
static int job_empty(HANDLE job, DWORD ms) {
    DWORD waited;
    for (waited = 0; waited <= ms; waited += 10) {
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info;
        if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &info, sizeof info,
                                       NULL))
            return 0;
        if (info.ActiveProcesses == 0)
            return 1;
        Sleep(10);
    }
    return 0;
}

static int kill_session(long after, const char* dll, const char* wait) {
    char line[2 * MAX_PATH + 64], self[MAX_PATH], got[64];
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    HANDLE job = CreateJobObjectA(NULL, NULL), out_read, out_write;
    DWORD n, have = 0;
    if (!job || !GetModuleFileNameA(NULL, self, sizeof self) ||
        !CreatePipe(&out_read, &out_write, &inherit, 0)) {
        fprintf(stderr, "tap_instances: no job or pipe (error %lu)\n",
                (unsigned long)GetLastError());
        return 2;
    }
    SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
    snprintf(line, sizeof line, "\"%s\" %s --stop-after %ld %s", self, dll, after, wait);
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = out_write;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    if (!CreateProcessA(NULL, line, NULL, NULL, TRUE, CREATE_SUSPENDED, NULL, NULL, &si, &pi) ||
        !AssignProcessToJobObject(job, pi.hProcess) || ResumeThread(pi.hThread) == (DWORD)-1) {
        fprintf(stderr, "tap_instances: cannot start the host (error %lu)\n",
                (unsigned long)GetLastError());
        return 2;
    }
    CloseHandle(out_write);
    while (have + 1 < sizeof got && !memchr(got, '\n', have) &&
           ReadFile(out_read, got + have, sizeof got - 1 - have, &n, NULL) && n)
        have += n;
    got[have] = 0;
    if (!strstr(got, "returned")) {
        fprintf(stderr, "tap_instances: the host ended before %ld notifications\n", after);
        return 1;
    }
    TerminateProcess(pi.hProcess, 9);
    WaitForSingleObject(pi.hProcess, INFINITE);
    printf("killed the host after it said: %s", got);
    if (!job_empty(job, 30000)) {
        printf("FAIL: a process the host started is still running 30 s after the kill\n");
        return 1;
    }
    printf("every process the host started has ended\n");
    return 0;
}

int main(int argc, char** argv) {
    const int wait = argc == 5 && !strcmp(argv[4], "wait");
    if ((argc == 4 || wait) && !strcmp(argv[1], "--kill"))
        return kill_session(atol(argv[2]), argv[3], wait ? "wait" : "");
    if ((argc == 4 || wait) && !strcmp(argv[2], "--stop-after")) {
        g_stop_after = atol(argv[3]);
        g_wait = wait;
    } else if (argc != 2) {
        fprintf(stderr, "usage: tap_instances.exe COMPONENT.dll [--stop-after N [wait]] | --kill N "
                        "COMPONENT.dll [wait]\n");
        return 2;
    }
    return host_session(argv[1]);
}
