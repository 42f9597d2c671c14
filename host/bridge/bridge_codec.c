/* The messages of the bridge's protocol, field by field: little-endian integers, length-prefixed
 * texts, one encode function per message kind and per data kind (the decoders: bridge_decode.c). */
#include "bridge_codec.h"

#include <stdlib.h>
#include <string.h>

/* ---- Writing --------------------------------------------------------------------------------- */
static void put(struct zb_writer* w, const void* p, size_t n) {
    if (w->failed || n == 0)
        return;
    if (n > w->cap - w->size) {
        size_t cap = w->cap ? w->cap : 256;
        unsigned char* grown;
        if (w->fixed) {
            w->failed = 1;
            return;
        }
        while (cap - w->size < n)
            cap *= 2;
        grown = realloc(w->data, cap);
        if (!grown) {
            w->failed = 1;
            return;
        }
        w->data = grown;
        w->cap = cap;
    }
    memcpy(w->data + w->size, p, n);
    w->size += n;
}

static void put_u32(struct zb_writer* w, uint32_t v) {
    const unsigned char b[4] = {(unsigned char)v, (unsigned char)(v >> 8), (unsigned char)(v >> 16),
                                (unsigned char)(v >> 24)};
    if (!w->failed && w->cap - w->size >= 4) {
        /* Most fields: no call out of this function (the field tracer pays for each one). */
        unsigned char* at = w->data + w->size;
        at[0] = b[0];
        at[1] = b[1];
        at[2] = b[2];
        at[3] = b[3];
        w->size += 4;
        return;
    }
    put(w, b, 4);
}

static void put_u64(struct zb_writer* w, uint64_t v) {
    put_u32(w, (uint32_t)v);
    put_u32(w, (uint32_t)(v >> 32));
}

static void put_text(struct zb_writer* w, struct zb_text t) {
    if (!t.data) {
        put_u32(w, ZB_NO_TEXT);
        return;
    }
    put_u32(w, t.size);
    put(w, t.data, t.size);
}

static void begin(struct zb_writer* w, uint32_t kind) {
    w->size = 0;
    w->failed = 0;
    put_u32(w, 0); /* the size, known at the end */
    put_u32(w, kind);
}

static int finish(struct zb_writer* w) {
    uint32_t size;
    if (w->failed || w->size < 8 || w->size - 4 > ZB_MESSAGE_LIMIT)
        return -1;
    size = (uint32_t)(w->size - 4);
    w->data[0] = (unsigned char)size;
    w->data[1] = (unsigned char)(size >> 8);
    w->data[2] = (unsigned char)(size >> 16);
    w->data[3] = (unsigned char)(size >> 24);
    return 0;
}

static void put_button(struct zb_writer* w, const struct zb_button_data* b) {
    int i;
    put_u32(w, (uint32_t)b->word0);
    put_u32(w, (uint32_t)b->word1);
    put_text(w, b->panel);
    put_text(w, b->control);
    put_u32(w, b->has_event ? 1 : 0);
    if (!b->has_event)
        return;
    put_text(w, b->command);
    put_text(w, b->value);
    put_u32(w, (uint32_t)b->sub_count);
    put_u32(w, b->has_value ? 1 : 0);
    for (i = 0; i < ZB_EVENT_SUBS; ++i)
        put_text(w, b->sub[i]);
}

static int put_data(struct zb_writer* w, const struct zb_payload* d) {
    int i;
    put_u32(w, d->kind);
    switch (d->kind) {
    case ZB_DATA_NULL:
    case ZB_DATA_FOREIGN:
        return 0;
    case ZB_DATA_TEXT:
        put_text(w, d->text);
        return 0;
    case ZB_DATA_VALUE:
    case ZB_DATA_HANDED:
        put_u64(w, d->value);
        return 0;
    case ZB_DATA_RECORD:
        for (i = 0; i < 4; ++i)
            put_u32(w, (uint32_t)d->words[i]);
        put_text(w, d->text);
        return 0;
    case ZB_DATA_BUTTON:
        put_button(w, &d->button);
        return 0;
    default:
        return -1;
    }
}

int zb_encode_hello(struct zb_writer* w, const struct zb_hello* m) {
    begin(w, ZB_HELLO);
    put_u32(w, m->magic);
    put_u32(w, m->version);
    put_u32(w, m->status);
    put_u32(w, m->error);
    put_text(w, m->what);
    return finish(w);
}

int zb_encode_create(struct zb_writer* w, const struct zb_create* m) {
    begin(w, ZB_CREATE);
    put_u32(w, m->host);
    put_text(w, m->path);
    return finish(w);
}

static int encode_call(struct zb_writer* w, uint32_t kind, const struct zb_call* m) {
    begin(w, kind);
    put_u64(w, m->target);
    put_u32(w, (uint32_t)m->type);
    if (put_data(w, &m->data) != 0)
        return -1;
    return finish(w);
}

int zb_encode_call(struct zb_writer* w, const struct zb_call* m) {
    return encode_call(w, ZB_CALL, m);
}

int zb_encode_post(struct zb_writer* w, const struct zb_call* m) {
    return encode_call(w, ZB_POST, m);
}

int zb_encode_queue(struct zb_writer* w, const struct zb_call* m) {
    return encode_call(w, ZB_QUEUE, m);
}

int zb_encode_destroy(struct zb_writer* w, const struct zb_destroy* m) {
    begin(w, ZB_DESTROY);
    put_u64(w, m->handle);
    return finish(w);
}

int zb_encode_return(struct zb_writer* w, const struct zb_return* m) {
    begin(w, ZB_RETURN);
    put_u64(w, m->value);
    put_u32(w, m->flags);
    put_text(w, m->text);
    return finish(w);
}

int zb_encode_fault(struct zb_writer* w, const struct zb_fault* m) {
    begin(w, ZB_FAULT);
    put_u32(w, m->code);
    put_u64(w, m->address);
    put_u32(w, m->access);
    put_u64(w, m->target);
    put_text(w, m->where);
    return finish(w);
}

int zb_encode_debug(struct zb_writer* w, const struct zb_debug* m) {
    begin(w, ZB_DEBUG);
    put_text(w, m->text);
    return finish(w);
}

int zb_encode_heap(struct zb_writer* w) {
    begin(w, ZB_HEAP);
    return finish(w);
}

int zb_encode_load(struct zb_writer* w, const struct zb_load* m) {
    begin(w, ZB_LOAD);
    put_text(w, m->path);
    return finish(w);
}

int zb_encode_create_in(struct zb_writer* w, const struct zb_create* m) {
    begin(w, ZB_CREATE_IN);
    put_u32(w, m->dll);
    put_u32(w, m->host);
    put_text(w, m->path);
    return finish(w);
}

int zb_encode_share(struct zb_writer* w, const struct zb_share* m) {
    begin(w, ZB_SHARE);
    put_text(w, m->path);
    put_u32(w, m->size);
    put_u32(w, m->one_way);
    return finish(w);
}

int zb_encode_wake(struct zb_writer* w) {
    begin(w, ZB_WAKE);
    return finish(w);
}

int zb_encode_one_way(struct zb_writer* w, uint32_t one_way) {
    begin(w, ZB_ONE_WAY);
    put_u32(w, one_way);
    return finish(w);
}

int zb_encode(struct zb_writer* w, const struct zb_message* m) {
    switch (m->kind) {
    case ZB_HELLO:
        return zb_encode_hello(w, &m->u.hello);
    case ZB_CREATE:
        return zb_encode_create(w, &m->u.create);
    case ZB_CALL:
        return zb_encode_call(w, &m->u.call);
    case ZB_DESTROY:
        return zb_encode_destroy(w, &m->u.destroy);
    case ZB_RETURN:
        return zb_encode_return(w, &m->u.ret);
    case ZB_FAULT:
        return zb_encode_fault(w, &m->u.fault);
    case ZB_DEBUG:
        return zb_encode_debug(w, &m->u.debug);
    case ZB_HEAP:
        return zb_encode_heap(w);
    case ZB_LOAD:
        return zb_encode_load(w, &m->u.load);
    case ZB_CREATE_IN:
        return zb_encode_create_in(w, &m->u.create);
    case ZB_SHARE:
        return zb_encode_share(w, &m->u.share);
    case ZB_WAKE:
        return zb_encode_wake(w);
    case ZB_POST:
        return zb_encode_post(w, &m->u.call);
    case ZB_QUEUE:
        return zb_encode_queue(w, &m->u.call);
    case ZB_ONE_WAY:
        return zb_encode_one_way(w, m->u.one_way);
    default:
        return -1;
    }
}
