/* The conformance host's own side: see conformance_harness.h. */
#include "conformance_harness.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "zeph_commands.h"

/* ---- The host's side: records commands, answers the four queries, audits releases ------------ */
struct host_state g_host;

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

static char* __attribute__((thiscall))
host_callback(struct zeph_object* self, void* data, int type) {
    (void)self;
    if (type == ZEPH_RELEASE) {
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
    if (type != ZEPH_COMMAND || !data)
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

static void* __attribute__((thiscall)) host_destroy(struct zeph_object* self, unsigned flags) {
    (void)flags;
    ++g_host.host_deleted;
    return self;
}

static const struct zeph_vtable g_host_vtable = {host_destroy, host_callback};
struct zeph_object g_host_object = {&g_host_vtable};

/* ---- The debugger output, caught in-process ------------------------------------------------- */
#ifndef DBG_PRINTEXCEPTION_C
#define DBG_PRINTEXCEPTION_C 0x40010006
#endif
char g_debug[MAX_TEXT * 2];
int g_debug_lines;

LONG CALLBACK debug_catcher(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* rec = info->ExceptionRecord;
    if (rec->ExceptionCode == DBG_PRINTEXCEPTION_C && rec->NumberParameters >= 2) {
        snprintf(g_debug, sizeof g_debug, "%s", (const char*)rec->ExceptionInformation[1]);
        ++g_debug_lines;
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

/* ---- Checks --------------------------------------------------------------------------------- */
int g_passed, g_failed;

void check(int ok, const char* what) {
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

void expect_commands(const char* step, const char* const* expected) {
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

void make_button(struct button* b, const char* panel, const char* control, const char* command,
                 const char* value) {
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
void play(struct zeph_object* component, const struct step* s) {
    struct zeph_object* c = component;
    char* result = NULL;
    void* rec = NULL;
    struct button button;
    switch (s->kind) {
    case PARENT_TEXT:
        result = c->vtbl->callback(c, (void*)s->text, ZEPH_PARENT);
        break;
    case PRESS:
        make_button(&button, s->a == 1 ? "1" : "2", s->text, "", "");
        result = c->vtbl->callback(c, &button, ZEPH_BUTTON);
        break;
    case REVERT:
        rec = make_record(s->a, 0x11111111, s->b, 0x33333333, s->text);
        result = c->vtbl->callback(c, rec, ZEPH_REVERTIVE);
        break;
    case DB_CHANGE:
        rec = make_record(s->a, s->c, 0x22222222, s->b, s->text);
        result = c->vtbl->callback(c, rec, ZEPH_DATABASE);
        break;
    case TICK:
        result = c->vtbl->callback(c, (void*)(intptr_t)s->a, ZEPH_TIMER);
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
            check(c->vtbl->callback(c, result, ZEPH_RELEASE) == NULL, "release returns null");
    } else {
        snprintf(what, sizeof what, "%s: no answer (null)", s->name);
        check(result == NULL, what);
    }
    expect_commands(s->name, s->expected);
}
