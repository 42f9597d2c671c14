/* Conformance host for the 32-bit Windows module: loads Ostrel.dll as the panel host does and
 * plays a panel's life through the binary interface, checking every command text it receives.
 *
 * Built with the mingw C compiler, so nothing here shares the component's C++ compiler: the host
 * object and the component are seen as the Microsoft C++ ABI lays them out, a pointer to a table
 * whose slot 0 is the deleting destructor and slot 1 callback(), both __thiscall. Records are
 * built word by word as the host builds them. Run it under wine with the module's folder as the
 * working directory, or pass that folder as the first argument. */
#include <windows.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "zeph_commands.h"

typedef char(static_assert_32bit[sizeof(void*) == 4 ? 1 : -1]);

enum {
    COMMAND = 0,
    REVERTIVE = 1,
    BUTTON = 2,
    PARENT = 3,
    TIMER = 4,
    RELEASE = 5,
    DATABASE = 6,
    SPARE = 7
};

/* ---- The MSVC view of a zeph_client_callback object ------------------------------------------ */
struct object;
typedef void*(__attribute__((thiscall)) * destroy_fn)(struct object* self, unsigned flags);
typedef char*(__attribute__((thiscall)) * callback_fn)(struct object* self, void* data, int type);
struct vtable {
    destroy_fn destroy;   /* slot 0: deleting destructor, flags bit 0 = free the memory */
    callback_fn callback; /* slot 1 */
};
struct object {
    const struct vtable* vtbl;
};
typedef struct object*(__cdecl* factory_fn)(struct object* host, const char* path);

/* ---- The host's side: records commands, answers the four queries, audits releases ------------ */
enum { MAX_LOG = 64, MAX_TEXT = 256, MAX_OUT = 16 };

struct reply_rule {
    const char* command; /* exact command text */
    const char* reply;   /* handed out as a fresh heap copy; null = no reply */
};

static struct {
    char log[MAX_LOG][MAX_TEXT];
    int count;
    const struct reply_rule* rules;
    char* outstanding[MAX_OUT]; /* replies handed out and not yet released */
    int released;
    int foreign_releases;
    int host_deleted;
} g_host;

static char g_ps_reply[] = "ok"; /* PS: tested for null only, never released */

static int is_query(const char* text) {
    return zeph_command_is_query(text);
}

static char* hand_out(const char* text) {
    char* copy = malloc(strlen(text) + 1);
    strcpy(copy, text);
    for (int i = 0; i < MAX_OUT; ++i)
        if (!g_host.outstanding[i]) {
            g_host.outstanding[i] = copy;
            return copy;
        }
    free(copy);
    return NULL;
}

static char* __attribute__((thiscall)) host_callback(struct object* self, void* data, int type) {
    (void)self;
    if (type == RELEASE) {
        if (!data)
            return NULL; /* a query without a reply may hand back null */
        for (int i = 0; i < MAX_OUT; ++i)
            if (g_host.outstanding[i] == data) {
                free(data);
                g_host.outstanding[i] = NULL;
                ++g_host.released;
                return NULL;
            }
        ++g_host.foreign_releases; /* never handed out, or released twice */
        return NULL;
    }
    if (type != COMMAND || !data)
        return NULL;
    const char* text = data;
    if (g_host.count < MAX_LOG)
        snprintf(g_host.log[g_host.count++], MAX_TEXT, "%s", text);
    if (!strncmp(text, "PS ", 3))
        return g_ps_reply;
    if (!is_query(text) || !g_host.rules)
        return NULL;
    for (const struct reply_rule* r = g_host.rules; r->command; ++r)
        if (!strcmp(r->command, text))
            return r->reply ? hand_out(r->reply) : NULL;
    return NULL;
}

static void* __attribute__((thiscall)) host_destroy(struct object* self, unsigned flags) {
    (void)flags;
    ++g_host.host_deleted;
    return self;
}

static const struct vtable g_host_vtable = {host_destroy, host_callback};
static struct object g_host_object = {&g_host_vtable};

/* ---- The debugger output, caught in-process ------------------------------------------------- */
/* OutputDebugStringA raises DBG_PRINTEXCEPTION_C; a vectored handler sees it before the system's
 * own handling, which still runs (WINEDEBUG=+debugstr shows the same lines). */
#ifndef DBG_PRINTEXCEPTION_C
#define DBG_PRINTEXCEPTION_C 0x40010006
#endif
static char g_debug[MAX_TEXT * 2];
static int g_debug_lines;

static LONG CALLBACK debug_catcher(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* rec = info->ExceptionRecord;
    if (rec->ExceptionCode == DBG_PRINTEXCEPTION_C && rec->NumberParameters >= 2) {
        snprintf(g_debug, sizeof g_debug, "%s", (const char*)rec->ExceptionInformation[1]);
        ++g_debug_lines;
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

/* ---- Checks --------------------------------------------------------------------------------- */
static int g_passed, g_failed;

static void check(int ok, const char* what) {
    if (ok) {
        ++g_passed;
    } else {
        ++g_failed;
        printf("FAIL: %s\n", what);
    }
}

static int outstanding_replies(void) {
    int n = 0;
    for (int i = 0; i < MAX_OUT; ++i)
        n += g_host.outstanding[i] != NULL;
    return n;
}

/* Compares the commands received since the last step with the expected list (null-ended). */
static void expect_commands(const char* step, const char* const* expected) {
    int n = 0;
    while (expected[n])
        ++n;
    int ok = n == g_host.count;
    for (int i = 0; ok && i < n; ++i)
        ok = !strcmp(expected[i], g_host.log[i]);
    if (!ok) {
        printf("FAIL: %s: commands differ\n  expected:", step);
        for (int i = 0; i < n; ++i)
            printf(" [%s]", expected[i]);
        printf("\n  received:");
        for (int i = 0; i < g_host.count; ++i)
            printf(" [%s]", g_host.log[i]);
        printf("\n");
        ++g_failed;
    } else {
        ++g_passed;
    }
    char what[MAX_TEXT];
    snprintf(what, sizeof what, "%s: every reply handed back before the call returned", step);
    check(outstanding_replies() == 0, what);
    snprintf(what, sizeof what, "%s: no foreign or repeated release", step);
    check(g_host.foreign_releases == 0, what);
    g_host.count = 0;
}

/* ---- Records as the host lays them out ------------------------------------------------------ */
/* Revertive: word 0 device, word 2 index. Database: word 0 device, word 1 database, word 3 index.
 * Both carry their text from byte 16. */
static void* make_record(int32_t w0, int32_t w1, int32_t w2, int32_t w3, const char* text) {
    size_t len = strlen(text);
    unsigned char* rec = calloc(1, 16 + len + 1);
    int32_t words[4] = {w0, w1, w2, w3};
    memcpy(rec, words, sizeof words);
    memcpy(rec + 16, text, len + 1);
    return rec;
}

/* Button: word 2 panel id, word 3 control id, word 4 the event (command at word 0, value at 33). */
struct button {
    uint32_t word[5];
    uint32_t event[34];
};

static void make_button(struct button* b, const char* panel, const char* control,
                        const char* command, const char* value) {
    static const char empty[] = "";
    for (int i = 0; i < 34; ++i)
        b->event[i] = (uint32_t)(uintptr_t)empty;
    b->event[0] = (uint32_t)(uintptr_t)command;
    b->event[33] = (uint32_t)(uintptr_t)value;
    b->word[0] = 0xDEADBEEF; /* not read by the component */
    b->word[1] = 0xDEADBEEF;
    b->word[2] = (uint32_t)(uintptr_t)panel;
    b->word[3] = (uint32_t)(uintptr_t)control;
    b->word[4] = (uint32_t)(uintptr_t)b->event;
}

/* ---- One step of a panel's life ------------------------------------------------------------- */
enum step_kind { PARENT_TEXT, PRESS, REVERT, DB_CHANGE, TICK, RAW_TYPE };

struct step {
    const char* name;
    enum step_kind kind;
    const char* text;   /* parent text, button control, record text */
    int a, b, c;        /* device/index/database, timer id, raw type code */
    const char* answer; /* expected parent answer; null = no answer */
    const char* expected[8];
};

static void play(struct object* component, const struct step* s) {
    struct object* c = component;
    char* result = NULL;
    void* rec = NULL;
    struct button button;
    switch (s->kind) {
    case PARENT_TEXT:
        result = c->vtbl->callback(c, (void*)s->text, PARENT);
        break;
    case PRESS:
        make_button(&button, s->a == 1 ? "1" : "2", s->text, "", "");
        result = c->vtbl->callback(c, &button, BUTTON);
        break;
    case REVERT:
        rec = make_record(s->a, 0x11111111, s->b, 0x33333333, s->text);
        result = c->vtbl->callback(c, rec, REVERTIVE);
        break;
    case DB_CHANGE:
        rec = make_record(s->a, s->c, 0x22222222, s->b, s->text);
        result = c->vtbl->callback(c, rec, DATABASE);
        break;
    case TICK:
        result = c->vtbl->callback(c, (void*)(intptr_t)s->a, TIMER);
        break;
    case RAW_TYPE:
        result = c->vtbl->callback(c, NULL, s->a);
        break;
    }
    free(rec);
    char what[MAX_TEXT];
    if (s->answer) {
        snprintf(what, sizeof what, "%s: answer \"%s\"", s->name, s->answer);
        check(result && !strcmp(result, s->answer), what);
        if (result && strcmp(result, s->answer))
            printf("  answered: \"%s\"\n", result);
        /* The answer belongs to the component: hand it back once, as the host does. */
        if (result)
            check(c->vtbl->callback(c, result, RELEASE) == NULL, "release returns null");
    } else {
        snprintf(what, sizeof what, "%s: no answer (null)", s->name);
        check(result == NULL, what);
    }
    expect_commands(s->name, s->expected);
}

/* ---- The panel's life ------------------------------------------------------------------------ */
static const struct reply_rule g_facility[] = {
    {"SD 'rtr'", "5"},
    {"SD 'pkg.7'", "201 7"},
    {"SD 'nowhere'", NULL},
    {"RN 201 1 7", "40,Monitor 3"},
    {"RN 201 0 7", "12,Camera 1"},
    {"RN 201 0 9", "Black"},
    {NULL, NULL},
};

static const struct step g_road[] = {
    {"offState while disarmed shows it",
     PARENT_TEXT,
     "offState=off",
     0,
     0,
     0,
     NULL,
     {"TP 'statesheet=off' '1' 'StateIndicate'"}},
    {"onState while disarmed is only stored", PARENT_TEXT, "onState=on", 0, 0, 0, NULL, {NULL}},
    {"router without a package entry does not register",
     PARENT_TEXT,
     "sdiID=rtr",
     0,
     0,
     0,
     NULL,
     {"SD 'rtr'"}},
    {"instance resolves the destination and registers",
     PARENT_TEXT,
     "instance=pkg.7",
     0,
     0,
     0,
     NULL,
     {"SD 'pkg.7'", "RN 201 1 7", "RR 5 40 40", "RP 5 40 40", "ET 1 10000"}},
    {"same instance again sends nothing", PARENT_TEXT, "instance=pkg.7", 0, 0, 0, NULL, {NULL}},
    {"poll tick", TICK, NULL, 1, 0, 0, NULL, {"RP 5 40 40"}},
    {"sourceID while disarmed is ignored", PARENT_TEXT, "sourceID=7", 0, 0, 0, NULL, {NULL}},
    {"press on another control", PRESS, "Other", 1, 0, 0, NULL, {NULL}},
    {"press on another panel", PRESS, "Tarnel", 2, 0, 0, NULL, {NULL}},
    {"press arms",
     PRESS,
     "Tarnel",
     1,
     0,
     0,
     NULL,
     {"TP 'statesheet=on' '1' 'StateIndicate'", "HN 'clear=1'"}},
    {"press while armed", PRESS, "Tarnel", 1, 0, 0, NULL, {"HN 'clear=1'"}},
    {"take",
     PARENT_TEXT,
     "sourceID=7",
     0,
     0,
     0,
     NULL,
     {"RN 201 0 7", "RC 5 12 40 ',' 0", "ET 2 250"}},
    {"revertive for another destination", REVERT, "Camera 1", 5, 41, 0, NULL, {NULL}},
    {"revertive from another router", REVERT, "Camera 1", 6, 40, 0, NULL, {NULL}},
    {"first revertive shows the name and ends the poll",
     REVERT,
     "Camera 1",
     5,
     40,
     0,
     NULL,
     {"TP 'text=Camera 1' '1' 'UMD'", "ET 1"}},
    {"later revertive only shows the name",
     REVERT,
     "Camera 2",
     5,
     40,
     0,
     NULL,
     {"TP 'text=Camera 2' '1' 'UMD'"}},
    {"database change of the routed source",
     DB_CHANGE,
     "Cam One",
     5,
     12,
     0,
     NULL,
     {"TP 'text=Cam One' '1' 'UMD'"}},
    {"database change in database 1", DB_CHANGE, "Cam One", 5, 12, 1, NULL, {NULL}},
    {"database change of another source", DB_CHANGE, "Cam One", 5, 13, 0, NULL, {NULL}},
    {"post-take tick", TICK, NULL, 2, 0, 0, NULL, {"HN 'setindex=-1'", "ET 2"}},
    {"foreign timer is stopped", TICK, NULL, 7, 0, 0, NULL, {"ET 7"}},
    {"take of an entry without a number",
     PARENT_TEXT,
     "sourceID=9",
     0,
     0,
     0,
     NULL,
     {"RN 201 0 9", "ET 2 250"}},
    {"take of source 0", PARENT_TEXT, "sourceID=0", 0, 0, 0, NULL, {"ET 2 250"}},
    {"take tick", TICK, NULL, 2, 0, 0, NULL, {"HN 'setindex=-1'", "ET 2"}},
    {"return=all",
     PARENT_TEXT,
     "return=all",
     0,
     0,
     0,
     "sdiID=rtr\noffState=off\nonState=on",
     {NULL}},
    {"return=onState", PARENT_TEXT, "return=onState", 0, 0, 0, "onState=on", {NULL}},
    {"return=myInstance", PARENT_TEXT, "return=myInstance", 0, 0, 0, "myInstance=pkg.7", {NULL}},
    {"return of an unknown key", PARENT_TEXT, "return=colour", 0, 0, 0, NULL, {NULL}},
    {"_events", PARENT_TEXT, "_events", 0, 0, 0, "clear=*\nsetindex=*", {NULL}},
    {"_commands", PARENT_TEXT, "_commands", 0, 0, 0, "sourceID=[value]\nclear=[value]", {NULL}},
    {"unknown command", PARENT_TEXT, "volume=3", 0, 0, 0, NULL, {NULL}},
    {"empty parent text", PARENT_TEXT, "", 0, 0, 0, NULL, {NULL}},
    {"onState while armed shows it",
     PARENT_TEXT,
     "onState=red",
     0,
     0,
     0,
     NULL,
     {"TP 'statesheet=red' '1' 'StateIndicate'"}},
    {"clear=0 changes nothing", PARENT_TEXT, "clear=0", 0, 0, 0, NULL, {NULL}},
    {"clear=1 disarms",
     PARENT_TEXT,
     "clear=1",
     0,
     0,
     0,
     NULL,
     {"TP 'statesheet=off' '1' 'StateIndicate'"}},
    {"clear=1 while disarmed", PARENT_TEXT, "clear=1", 0, 0, 0, NULL, {NULL}},
    {"unresolvable router keeps the registration",
     PARENT_TEXT,
     "sdiID=nowhere",
     0,
     0,
     0,
     NULL,
     {"SD 'nowhere'"}},
    {"type 0 from the host", RAW_TYPE, NULL, COMMAND, 0, 0, NULL, {NULL}},
    {"type 5 with null", RAW_TYPE, NULL, RELEASE, 0, 0, NULL, {NULL}},
    {"spare type 7", RAW_TYPE, NULL, SPARE, 0, 0, NULL, {NULL}},
    {"type 8", RAW_TYPE, NULL, 8, 0, 0, NULL, {NULL}},
    {"type -1", RAW_TYPE, NULL, -1, 0, 0, NULL, {NULL}},
};

static const char* const g_created[] = {"PS '1' 'D:/panels/MyMonitor.zeph_ui'",
                                        "TP 'statesheet=' '1' 'StateIndicate'", NULL};
static const char* const g_created_no_path[] = {"PS '1' 'MyMonitor.zeph_ui'",
                                                "TP 'statesheet=' '1' 'StateIndicate'", NULL};
static const char* const g_destroyed_configured[] = {"RU 5", "AS", NULL};
static const char* const g_destroyed_bare[] = {"ET 1", "AS", NULL};
static const char* const g_nothing[] = {NULL};

static void destroy(struct object* c) {
    c->vtbl->destroy(c, 1);
}

int main(int argc, char** argv) {
    if (argc > 1 && !SetCurrentDirectoryA(argv[1])) {
        printf("FAIL: cannot enter %s\n", argv[1]);
        return 1;
    }
    AddVectoredExceptionHandler(1, debug_catcher);
    OutputDebugStringA("conformance host: debugger output is captured");
    check(g_debug_lines == 1 && !strcmp(g_debug, "conformance host: debugger output is captured"),
          "the debugger output can be observed");
    g_debug_lines = 0;

    HMODULE module = LoadLibraryA("Ostrel.dll");
    check(module != NULL, "Ostrel.dll loads (with zeph_string.dll beside it)");
    if (!module) {
        printf("LoadLibrary failed: error %lu\n", GetLastError());
        printf("%d passed, %d failed\n", g_passed, g_failed);
        return 1;
    }
    factory_fn factory =
        (factory_fn)(void (*)(void))GetProcAddress(module, "load_zeph_client_script");
    check(factory != NULL, "load_zeph_client_script is exported undecorated");
    check(GetProcAddress(module, "_load_zeph_client_script") == NULL,
          "no decorated alias of the factory");
    if (!factory) {
        printf("%d passed, %d failed\n", g_passed, g_failed);
        return 1;
    }

    /* The whole road of one panel, from creation to destruction. */
    g_host.rules = g_facility;
    struct object* c = factory(&g_host_object, "D:/panels");
    check(c != NULL && c->vtbl && c->vtbl->destroy && c->vtbl->callback,
          "the factory returns an object with the two-slot table");
    if (!c) {
        printf("%d passed, %d failed\n", g_passed, g_failed);
        return 1;
    }
    expect_commands("creation with a base path", (const char* const*)g_created);
    for (size_t i = 0; i < sizeof g_road / sizeof g_road[0]; ++i)
        play(c, &g_road[i]);
    destroy(c);
    expect_commands("destruction of a registered selector", g_destroyed_configured);
    check(g_host.released == 5, "each of the five query replies was released once");
    if (g_host.released != 5)
        printf("  released: %d\n", g_host.released);

    /* A selector never configured: creation without a path, destruction stops the idle poll. */
    c = factory(&g_host_object, "");
    expect_commands("creation without a base path", (const char* const*)g_created_no_path);
    destroy(c);
    expect_commands("destruction of an unconfigured selector", g_destroyed_bare);

    /* Without a host the selector is created, notified and destroyed without sending anything. */
    c = factory(NULL, "D:/panels");
    check(c != NULL, "creation without a host");
    if (c) {
        struct button b;
        make_button(&b, "1", "Tarnel", "", "");
        check(c->vtbl->callback(c, &b, BUTTON) == NULL, "null host: press");
        check(c->vtbl->callback(c, "instance=pkg.7", PARENT) == NULL, "null host: instance");
        check(c->vtbl->callback(c, "sourceID=7", PARENT) == NULL, "null host: take");
        check(c->vtbl->callback(c, (void*)(intptr_t)2, TIMER) == NULL, "null host: tick");
        destroy(c);
    }
    expect_commands("null host", g_nothing);

    /* The selector itself never reads a property, so no diagnostic may have been written. */
    check(g_debug_lines == 0, "no diagnostic on the debugger output");
    if (g_debug_lines)
        printf("  last line: %s\n", g_debug);
    check(g_host.host_deleted == 0, "the component never deletes the host's object");

    check(FreeLibrary(module) != 0, "Ostrel.dll unloads");
    printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed ? 1 : 0;
}
