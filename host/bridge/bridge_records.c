/* The records a host passes, rebuilt in the bridge's memory from what the bench sent. */
#include "bridge_relay.h"
#include "zeph_client_callback.h"
#include "zeph_records.h"

#include <stdlib.h>
#include <string.h>

/* What a component is given for a pointer it never handed out. */
static char g_foreign[64];

static size_t text_room(struct zb_text t) {
    return t.data ? t.size + 1 : 0;
}

/* A NUL-terminated copy of t into *arena, or null for a null text. */
static const char* place(struct zb_text t, char** arena) {
    char* copy = *arena;
    if (!t.data)
        return NULL;
    memcpy(copy, t.data, t.size);
    copy[t.size] = '\0';
    *arena += t.size + 1;
    return copy;
}

static void* block_of(size_t size, struct place_for* where, void** owned) {
    if (size <= where->size) {
        memset(where->scratch, 0, size);
        return where->scratch;
    }
    return *owned = calloc(1, size);
}

/* A press, and the parsed event the component's own parser would have made of it. */
static void* build_button(const struct zb_button_data* d, struct place_for* where, void** owned) {
    struct block {
        struct zeph_button_record record;
        struct zeph_parsed_event event;
    };
    size_t room =
        text_room(d->panel) + text_room(d->control) + text_room(d->command) + text_room(d->value);
    struct block* b;
    char* arena;
    int i;
    for (i = 0; i < ZB_EVENT_SUBS; ++i)
        room += text_room(d->sub[i]);
    b = block_of(sizeof *b + room, where, owned);
    if (!b)
        return NULL;
    arena = (char*)(b + 1);
    b->record.unused0 = d->word0;
    b->record.unused1 = d->word1;
    b->record.panel = place(d->panel, &arena);
    b->record.control = place(d->control, &arena);
    if (d->has_event) {
        b->event.words.command = place(d->command, &arena);
        b->event.words.value = place(d->value, &arena);
        b->event.sub_count = d->sub_count;
        b->event.has_value = d->has_value != 0;
        for (i = 0; i < ZB_EVENT_SUBS; ++i)
            b->event.words.sub[i] = place(d->sub[i], &arena);
        b->record.event = &b->event.words;
    }
    return b;
}

void* zb_build_data(const struct zb_payload* d, struct place_for* where, void** owned) {
    unsigned char* block;
    *owned = NULL;
    switch (d->kind) {
    case ZB_DATA_TEXT:
        if (!d->text.data)
            return NULL;
        /* Zeros past the NUL: a component reading a record out of a short text reads zeros. */
        block = block_of((size_t)d->text.size + 17, where, owned);
        if (block)
            memcpy(block, d->text.data, d->text.size);
        return block;
    case ZB_DATA_VALUE:
        return (void*)(intptr_t)(int64_t)d->value;
    case ZB_DATA_RECORD:
        block = block_of(16 + (size_t)d->text.size + 17, where, owned);
        if (!block)
            return NULL;
        memcpy(block, d->words, sizeof d->words);
        if (d->text.data)
            memcpy(block + 16, d->text.data, d->text.size);
        return block;
    case ZB_DATA_BUTTON:
        return build_button(&d->button, where, owned);
    case ZB_DATA_HANDED:
        return (void*)(uintptr_t)d->value;
    case ZB_DATA_FOREIGN:
        return g_foreign;
    default:
        return NULL;
    }
}
