/* The messages of the bridge's protocol read back from a frame's body: one decode function per
 * message kind and per data kind, each the mirror of its encoder in bridge_codec.c. */
#include "bridge_codec.h"

#include <string.h>

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
