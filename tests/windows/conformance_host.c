/* Conformance host for the 32-bit Windows module: loads Ostrel.dll as the panel host does and
 * plays a panel's life through the binary interface, checking every command text it receives.
 *
 * Built with the mingw C compiler, so nothing here shares the component's C++ compiler: the host
 * object and the component are seen as the Microsoft C++ ABI lays them out (the C view of
 * zeph_client_callback.h), a pointer to a table whose slot 0 is the deleting destructor and slot 1
 * callback(), both __thiscall. Records are built word by word as the host builds them
 * (conformance_harness.c, the host's side). Run it under wine with the module's folder as the
 * working directory, or pass that folder as the first argument. */
#include <windows.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "conformance_harness.h"

typedef char(static_assert_32bit[sizeof(void*) == 4 ? 1 : -1]);

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
    {"type 0 from the host", RAW_TYPE, NULL, ZEPH_COMMAND, 0, 0, NULL, {NULL}},
    {"type 5 with null", RAW_TYPE, NULL, ZEPH_RELEASE, 0, 0, NULL, {NULL}},
    {"spare type 7", RAW_TYPE, NULL, ZEPH_SPARE, 0, 0, NULL, {NULL}},
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

static void destroy(struct zeph_object* c) {
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
    zeph_object_factory_fn factory =
        (zeph_object_factory_fn)(void (*)(void))GetProcAddress(module, "load_zeph_client_script");
    check(factory != NULL, "load_zeph_client_script is exported undecorated");
    check(GetProcAddress(module, "_load_zeph_client_script") == NULL,
          "no decorated alias of the factory");
    if (!factory) {
        printf("%d passed, %d failed\n", g_passed, g_failed);
        return 1;
    }

    /* The whole road of one panel, from creation to destruction. */
    g_host.rules = g_facility;
    struct zeph_object* c = factory(&g_host_object, "D:/panels");
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
        check(c->vtbl->callback(c, &b, ZEPH_BUTTON) == NULL, "null host: press");
        check(c->vtbl->callback(c, "instance=pkg.7", ZEPH_PARENT) == NULL, "null host: instance");
        check(c->vtbl->callback(c, "sourceID=7", ZEPH_PARENT) == NULL, "null host: take");
        check(c->vtbl->callback(c, (void*)(intptr_t)2, ZEPH_TIMER) == NULL, "null host: tick");
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
