// The records the host passes with revertive, database and button notifications.
//
// The host builds them in 32-bit words; the component reads only the words named here. Texts are
// stored inside the record from byte 16 on, NUL-terminated. On a 64-bit build the pointers of the
// button record and its event widen and move; everything else stays where the host puts it.
// Plain C as well, for the bridge, which rebuilds these records on the far side of a pipe.
#ifndef ZEPH_RECORDS_H
#define ZEPH_RECORDS_H

#include <stddef.h>
#include <stdint.h>

#if defined(__cplusplus)
#define ZEPH_RECORD_ASSERT(cond, why) static_assert(cond, why)
#else
#define ZEPH_RECORD_ASSERT(cond, why) _Static_assert(cond, why)
#endif

// Type 1: the new state of one destination of a router.
struct zeph_revertive_record {
    int32_t device;  // word 0
    int32_t unused1; // word 1, not read
    int32_t index;   // word 2: the destination
    int32_t unused3; // word 3, not read
    char text[1];    // byte 16 on: the routed source's name, NUL-terminated, may run past [1]
};

// Type 6: one entry of a device database has changed.
struct zeph_database_record {
    int32_t device;   // word 0
    int32_t database; // word 1
    int32_t unused2;  // word 2, not read
    int32_t index;    // word 3
    char text[1];     // byte 16 on: the new text, NUL-terminated, may run past [1]
};

// The event of a button press: the event text split as a parent command is ("command.sub=value"),
// one pointer per word. The host fills every word (an absent part points at an empty text); the
// component reads only the command and the value.
struct zeph_parent_event {
    const char* command; // word 0: text before the first '.' or '='
    const char* sub[32]; // words 1 to 32: the dotted sub-fields, not read
    const char* value;   // word 33: text after the first '='
};

// What a component's own parser keeps past word 33 of an event it parsed itself. A host's event
// ends at word 33; a bridge that rebuilds a press fills these too, as the parser would have.
struct zeph_parsed_event {
    struct zeph_parent_event words; // words 0 to 33
    int32_t sub_count;              // word 34: the sub-fields found, 0 to 32
    unsigned char has_value;        // then: an '=' was found (a C++ bool)
    char* buffer;                   // the parser's own copy of the text
};

// Type 2: a press on a panel control. The texts and the event belong to the host.
struct zeph_button_record {
    int32_t unused0;                       // word 0, not read
    int32_t unused1;                       // word 1, not read
    const char* panel;                     // word 2: panel id text
    const char* control;                   // word 3: control id text
    const struct zeph_parent_event* event; // word 4: the event
};

// Bytes a host allocates for a revertive or database record carrying a text of len characters.
#define ZEPH_RECORD_SIZE(len) (16u + (unsigned)(len) + 1u)

ZEPH_RECORD_ASSERT(offsetof(struct zeph_revertive_record, text) == 16,
                   "revertive text starts at byte 16");
ZEPH_RECORD_ASSERT(offsetof(struct zeph_revertive_record, index) == 8, "revertive index is word 2");
ZEPH_RECORD_ASSERT(offsetof(struct zeph_database_record, text) == 16,
                   "database text starts at byte 16");
ZEPH_RECORD_ASSERT(offsetof(struct zeph_database_record, database) == 4,
                   "database number is word 1");
ZEPH_RECORD_ASSERT(offsetof(struct zeph_database_record, index) == 12, "database index is word 3");
ZEPH_RECORD_ASSERT(offsetof(struct zeph_parent_event, command) == 0, "event command is word 0");
ZEPH_RECORD_ASSERT(offsetof(struct zeph_parent_event, sub) == sizeof(void*),
                   "event sub-fields from word 1");
ZEPH_RECORD_ASSERT(offsetof(struct zeph_parent_event, value) == 33 * sizeof(void*),
                   "event value is word 33");
ZEPH_RECORD_ASSERT(offsetof(struct zeph_parsed_event, sub_count) == 34 * sizeof(void*),
                   "parsed sub-field count is word 34");
#if UINTPTR_MAX == 0xFFFFFFFFu
ZEPH_RECORD_ASSERT(offsetof(struct zeph_parent_event, value) == 132, "event value is at byte 132");
ZEPH_RECORD_ASSERT(offsetof(struct zeph_button_record, panel) == 8, "panel id pointer is word 2");
ZEPH_RECORD_ASSERT(offsetof(struct zeph_button_record, control) == 12,
                   "control id pointer is word 3");
ZEPH_RECORD_ASSERT(offsetof(struct zeph_button_record, event) == 16, "event pointer is word 4");
#endif

#endif
