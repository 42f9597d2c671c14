/* The messages of the bridge's protocol, field by field: little-endian integers, length-prefixed
 * texts, one encode and one decode function per message kind and per data kind. */
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

/* ---- Reading a body -------------------------------------------------------------------------- */
struct cursor {
    const unsigned char* p;
    size_t size, pos;
    int bad; /* read past the end, or a malformed field: every later read yields nothing */
};

static struct cursor cursor_of(const void* body, size_t size) {
    struct cursor c;
    c.p = body;
    c.size = body ? size : 0;
    c.pos = 0;
    c.bad = 0;
    return c;
}

static uint32_t get_u32(struct cursor* c) {
    const unsigned char* b;
    if (c->bad || c->size - c->pos < 4) {
        c->bad = 1;
        return 0;
    }
    b = c->p + c->pos;
    c->pos += 4;
    return (uint32_t)b[0] | (uint32_t)b[1] << 8 | (uint32_t)b[2] << 16 | (uint32_t)b[3] << 24;
}

static uint64_t get_u64(struct cursor* c) {
    const uint64_t low = get_u32(c);
    return low | (uint64_t)get_u32(c) << 32;
}

static struct zb_text get_text(struct cursor* c) {
    struct zb_text t = {NULL, 0};
    const uint32_t n = get_u32(c);
    if (c->bad || n == ZB_NO_TEXT)
        return t;
    if (c->size - c->pos < n) {
        c->bad = 1;
        return t;
    }
    t.data = (const char*)c->p + c->pos;
    t.size = n;
    c->pos += n;
    return t;
}

/* 0 when the body was read exactly to its end. */
static int done(const struct cursor* c) {
    return c->bad || c->pos != c->size ? -1 : 0;
}

static void get_button(struct cursor* c, struct zb_button_data* b) {
    int i;
    memset(b, 0, sizeof *b);
    b->word0 = (int32_t)get_u32(c);
    b->word1 = (int32_t)get_u32(c);
    b->panel = get_text(c);
    b->control = get_text(c);
    b->has_event = get_u32(c);
    if (b->has_event > 1)
        c->bad = 1;
    if (!b->has_event)
        return;
    b->command = get_text(c);
    b->value = get_text(c);
    b->sub_count = (int32_t)get_u32(c);
    b->has_value = get_u32(c);
    /* A count past the slots would send a component's parser reading beyond its event. */
    if (b->sub_count < 0 || b->sub_count > ZB_EVENT_SUBS || b->has_value > 1)
        c->bad = 1;
    for (i = 0; i < ZB_EVENT_SUBS; ++i)
        b->sub[i] = get_text(c);
}

static void get_data(struct cursor* c, struct zb_payload* d) {
    int i;
    memset(d, 0, sizeof *d);
    d->kind = get_u32(c);
    switch (d->kind) {
    case ZB_DATA_NULL:
    case ZB_DATA_FOREIGN:
        break;
    case ZB_DATA_TEXT:
        d->text = get_text(c);
        break;
    case ZB_DATA_VALUE:
    case ZB_DATA_HANDED:
        d->value = get_u64(c);
        break;
    case ZB_DATA_RECORD:
        for (i = 0; i < 4; ++i)
            d->words[i] = (int32_t)get_u32(c);
        d->text = get_text(c);
        break;
    case ZB_DATA_BUTTON:
        get_button(c, &d->button);
        break;
    default:
        c->bad = 1;
        break;
    }
}

int zb_decode_hello(const void* body, size_t size, struct zb_hello* m) {
    struct cursor c = cursor_of(body, size);
    m->magic = get_u32(&c);
    m->version = get_u32(&c);
    m->status = get_u32(&c);
    m->error = get_u32(&c);
    m->what = get_text(&c);
    return done(&c);
}

int zb_decode_create(const void* body, size_t size, struct zb_create* m) {
    struct cursor c = cursor_of(body, size);
    m->host = get_u32(&c);
    m->path = get_text(&c);
    return done(&c);
}

int zb_decode_call(const void* body, size_t size, struct zb_call* m) {
    struct cursor c = cursor_of(body, size);
    m->target = get_u64(&c);
    m->type = (int32_t)get_u32(&c);
    get_data(&c, &m->data);
    return done(&c);
}

int zb_decode_destroy(const void* body, size_t size, struct zb_destroy* m) {
    struct cursor c = cursor_of(body, size);
    m->handle = get_u64(&c);
    return done(&c);
}

int zb_decode_return(const void* body, size_t size, struct zb_return* m) {
    struct cursor c = cursor_of(body, size);
    m->value = get_u64(&c);
    m->flags = get_u32(&c);
    m->text = get_text(&c);
    return done(&c);
}

int zb_decode_fault(const void* body, size_t size, struct zb_fault* m) {
    struct cursor c = cursor_of(body, size);
    m->code = get_u32(&c);
    m->address = get_u64(&c);
    m->access = get_u32(&c);
    m->target = get_u64(&c);
    m->where = get_text(&c);
    return done(&c);
}

int zb_decode_debug(const void* body, size_t size, struct zb_debug* m) {
    struct cursor c = cursor_of(body, size);
    m->text = get_text(&c);
    return done(&c);
}

int zb_decode_heap(const void* body, size_t size) {
    (void)body;
    return size == 0 ? 0 : -1;
}

int zb_decode_load(const void* body, size_t size, struct zb_load* m) {
    struct cursor c = cursor_of(body, size);
    m->path = get_text(&c);
    return done(&c);
}

int zb_decode_create_in(const void* body, size_t size, struct zb_create* m) {
    struct cursor c = cursor_of(body, size);
    m->dll = get_u32(&c);
    m->host = get_u32(&c);
    m->path = get_text(&c);
    return done(&c);
}

int zb_decode_share(const void* body, size_t size, struct zb_share* m) {
    struct cursor c = cursor_of(body, size);
    m->path = get_text(&c);
    m->size = get_u32(&c);
    m->one_way = get_u32(&c);
    return done(&c);
}

int zb_decode_wake(const void* body, size_t size) {
    (void)body;
    return size == 0 ? 0 : -1;
}

int zb_decode_post(const void* body, size_t size, struct zb_call* m) {
    return zb_decode_call(body, size, m);
}

int zb_decode_one_way(const void* body, size_t size, uint32_t* one_way) {
    struct cursor c = cursor_of(body, size);
    *one_way = get_u32(&c);
    return done(&c);
}

int zb_decode(uint32_t kind, const void* body, size_t size, struct zb_message* m) {
    memset(m, 0, sizeof *m);
    m->kind = kind;
    switch (kind) {
    case ZB_HELLO:
        return zb_decode_hello(body, size, &m->u.hello);
    case ZB_CREATE:
        return zb_decode_create(body, size, &m->u.create);
    case ZB_CALL:
        return zb_decode_call(body, size, &m->u.call);
    case ZB_DESTROY:
        return zb_decode_destroy(body, size, &m->u.destroy);
    case ZB_RETURN:
        return zb_decode_return(body, size, &m->u.ret);
    case ZB_FAULT:
        return zb_decode_fault(body, size, &m->u.fault);
    case ZB_DEBUG:
        return zb_decode_debug(body, size, &m->u.debug);
    case ZB_HEAP:
        return zb_decode_heap(body, size);
    case ZB_LOAD:
        return zb_decode_load(body, size, &m->u.load);
    case ZB_CREATE_IN:
        return zb_decode_create_in(body, size, &m->u.create);
    case ZB_SHARE:
        return zb_decode_share(body, size, &m->u.share);
    case ZB_WAKE:
        return zb_decode_wake(body, size);
    case ZB_POST:
    case ZB_QUEUE:
        return zb_decode_post(body, size, &m->u.call);
    case ZB_ONE_WAY:
        return zb_decode_one_way(body, size, &m->u.one_way);
    default:
        return -1;
    }
}
