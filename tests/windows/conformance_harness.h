/* The conformance host's own side, for its panel's life in conformance_host.c: the host object
 * that records commands, answers the queries and audits releases; the debugger output caught
 * in-process; the checks; records laid out word by word as the host builds them; and one step of
 * a panel's life played through the binary interface. */
#ifndef ZEPH_CONFORMANCE_HARNESS_H
#define ZEPH_CONFORMANCE_HARNESS_H

#include <windows.h>
#include <stdint.h>

#include "zeph_client_callback.h"

enum { MAX_LOG = 64, MAX_TEXT = 256, MAX_OUT = 16 };

struct reply_rule {
    const char* command; /* exact command text */
    const char* reply;   /* handed out as a fresh heap copy; null = no reply */
};

struct host_state {
    char log[MAX_LOG][MAX_TEXT];
    int count;
    const struct reply_rule* rules;
    char* outstanding[MAX_OUT]; /* replies handed out and not yet released */
    int released;
    int foreign_releases;
    int host_deleted;
};
extern struct host_state g_host;
extern struct zeph_object g_host_object;

/* The last line written to the debugger output, and how many were. */
extern char g_debug[MAX_TEXT * 2];
extern int g_debug_lines;
LONG CALLBACK debug_catcher(EXCEPTION_POINTERS* info);

extern int g_passed, g_failed;
void check(int ok, const char* what);
/* Compares the commands received since the last step with the expected list (null-ended). */
void expect_commands(const char* step, const char* const* expected);

/* Button: word 2 panel id, word 3 control id, word 4 the event (command at word 0, value at 33). */
struct button {
    uint32_t word[5];
    uint32_t event[34];
};
void make_button(struct button* b, const char* panel, const char* control, const char* command,
                 const char* value);

enum step_kind { PARENT_TEXT, PRESS, REVERT, DB_CHANGE, TICK, RAW_TYPE };

struct step {
    const char* name;
    enum step_kind kind;
    const char* text;   /* parent text, button control, record text */
    int a, b, c;        /* device/index/database, timer id, raw type code */
    const char* answer; /* expected parent answer; null = no answer */
    const char* expected[8];
};
void play(struct zeph_object* component, const struct step* s);

#endif
