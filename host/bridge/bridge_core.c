/* The relay: messages in and out, the live components, and this side's copies of the host's
 * replies with their release bookkeeping. Single-threaded, like the callback interface. */
#include "bridge_core.h"
#include "bridge_protocol.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

/* ---- The records a host passes, as zeph_records.h lays them out ------------------------------ */
/* On a 32-bit build every field is one word; on a 64-bit build the pointers widen just as the
 * component's own declarations do, so the protocol test can relay to a native module. */
struct zb_event { /* a parsed parent command: command at word 0, value at word 33 */
    const char* command;
    const char* sub[ZB_EVENT_SUBS];
    const char* value;
    int32_t sub_count;
    char has_value;
    char* buffer;
};
struct zb_button {
    int32_t word0, word1;
    const char* panel;            /* word 2 */
    const char* control;          /* word 3 */
    const struct zb_event* event; /* word 4 */
};
#if UINTPTR_MAX == 0xFFFFFFFFu
_Static_assert(offsetof(struct zb_button, panel) == 8, "panel id pointer is word 2");
_Static_assert(offsetof(struct zb_button, control) == 12, "control id pointer is word 3");
_Static_assert(offsetof(struct zb_button, event) == 16, "event pointer is word 4");
_Static_assert(offsetof(struct zb_event, value) == 33 * 4, "event value is word 33");
#endif

static const struct zb_platform* g_p;
static int g_depth;          /* calls from the bench being served, nested ones included */
static int g_reading_answer; /* a fault now is in reading what the component returned */
/* What a component is given for a pointer it never handed out. */
static char g_foreign[64];

/* ---- Output -----------------------------------------------------------------------------------
 */
struct out {
    unsigned char* data;
    size_t size, cap;
    int fixed; /* a caller's buffer that must not grow (fault reports use no heap) */
    int failed;
};
static struct out g_out; /* building a message never nests, so one buffer serves every call */

static void put(struct out* o, const void* p, size_t n) {
    if (o->failed)
        return;
    if (o->size + n > o->cap) {
        size_t cap = o->cap ? o->cap : 256;
        unsigned char* grown;
        if (o->fixed) {
            o->failed = 1;
            return;
        }
        while (cap < o->size + n)
            cap *= 2;
        grown = realloc(o->data, cap);
        if (!grown) {
            o->failed = 1;
            return;
        }
        o->data = grown;
        o->cap = cap;
    }
    memcpy(o->data + o->size, p, n);
    o->size += n;
}

static void put_u32(struct out* o, uint32_t v) {
    unsigned char b[4] = {(unsigned char)v, (unsigned char)(v >> 8), (unsigned char)(v >> 16),
                          (unsigned char)(v >> 24)};
    put(o, b, 4);
}

static void put_u64(struct out* o, uint64_t v) {
    put_u32(o, (uint32_t)v);
    put_u32(o, (uint32_t)(v >> 32));
}

static void put_text(struct out* o, const char* text, size_t n) {
    if (!text) {
        put_u32(o, ZB_NO_TEXT);
        return;
    }
    put_u32(o, (uint32_t)n);
    put(o, text, n);
}

static void begin(struct out* o, uint32_t kind) {
    o->size = 0;
    o->failed = 0;
    put_u32(o, 0); /* the size, filled in by send() */
    put_u32(o, kind);
}

/* Sends the message; a bench that is gone (or a message that could not be built) ends the
 * bridge, since nobody is left to serve. */
static void send(struct out* o) {
    if (o->failed || o->size < 8) {
        g_p->quit(3);
        return;
    }
    const uint32_t size = (uint32_t)(o->size - 4);
    o->data[0] = (unsigned char)size;
    o->data[1] = (unsigned char)(size >> 8);
    o->data[2] = (unsigned char)(size >> 16);
    o->data[3] = (unsigned char)(size >> 24);
    if (g_p->write(o->data, (unsigned)o->size) != 0)
        g_p->quit(0);
}

/* ---- Input ------------------------------------------------------------------------------------
 */
static unsigned char g_in[65536];
static size_t g_in_pos, g_in_len;

/* 1 when n bytes were read, 0 at the end of the input. */
static int read_exact(void* dst, size_t n) {
    unsigned char* d = dst;
    while (n) {
        size_t take;
        if (g_in_pos == g_in_len) {
            const int got = g_p->read(g_in, sizeof g_in);
            if (got <= 0)
                return 0;
            g_in_pos = 0;
            g_in_len = (size_t)got;
        }
        take = g_in_len - g_in_pos < n ? g_in_len - g_in_pos : n;
        memcpy(d, g_in + g_in_pos, take);
        g_in_pos += take;
        d += take;
        n -= take;
    }
    return 1;
}

struct msg {
    uint32_t kind;
    unsigned char* body;
    size_t size, pos;
    int bad; /* read past the end, or a malformed field */
};

static uint32_t le32(const unsigned char* b) {
    return (uint32_t)b[0] | (uint32_t)b[1] << 8 | (uint32_t)b[2] << 16 | (uint32_t)b[3] << 24;
}

/* 1: a message; 0: the input ended; -1: not this protocol. */
static int receive(struct msg* m) {
    unsigned char head[8];
    uint32_t size;
    memset(m, 0, sizeof *m);
    if (!read_exact(head, 4))
        return 0;
    size = le32(head);
    if (size < 4 || size > ZB_MESSAGE_LIMIT || !read_exact(head + 4, 4))
        return -1;
    m->kind = le32(head + 4);
    m->size = size - 4;
    m->body = malloc(m->size ? m->size : 1);
    if (!m->body || !read_exact(m->body, m->size)) {
        free(m->body);
        m->body = NULL;
        return -1;
    }
    return 1;
}

static uint32_t get_u32(struct msg* m) {
    uint32_t v;
    if (m->size - m->pos < 4) {
        m->bad = 1;
        return 0;
    }
    v = le32(m->body + m->pos);
    m->pos += 4;
    return v;
}

static uint64_t get_u64(struct msg* m) {
    const uint64_t low = get_u32(m);
    return low | (uint64_t)get_u32(m) << 32;
}

/* Points into the message; null for a null text (or a malformed one). */
static const char* get_text(struct msg* m, size_t* n) {
    const uint32_t len = get_u32(m);
    const char* t;
    *n = 0;
    if (m->bad || len == ZB_NO_TEXT)
        return NULL;
    if (m->size - m->pos < len) {
        m->bad = 1;
        return NULL;
    }
    t = (const char*)m->body + m->pos;
    m->pos += len;
    *n = len;
    return t;
}

/* A NUL-terminated copy of the next text into *arena, or null. */
static const char* take_text(struct msg* m, char** arena) {
    size_t n;
    const char* t = get_text(m, &n);
    char* copy = *arena;
    if (!t)
        return NULL;
    memcpy(copy, t, n);
    copy[n] = '\0';
    *arena += n + 1;
    return copy;
}

/* ---- The host's replies, as the component holds them ------------------------------------------
 */
struct reply {
    char* buffer;   /* this process's copy, handed to the component */
    uint64_t token; /* the host's own pointer */
    size_t cap;
};
/* Replies to SD, XI, RN and TG: the component must hand each back before the notification
 * returns; what it has not is dropped then, as the host itself does. */
static struct reply* g_queries;
static size_t g_query_count, g_query_cap;
/* Replies to other commands (PS): the host keeps owning them and they are never released, so one
 * copy per host pointer is kept and reused. */
enum { KEPT = 64, RELEASED = 256 };
static struct reply g_kept[KEPT];
static size_t g_kept_count;
/* Buffers released lately, so a repeated release reaches the host as the same pointer again. */
static struct reply g_released[RELEASED];
static size_t g_released_next;

static void forget_released(const char* buffer) {
    size_t i;
    for (i = 0; i < RELEASED; ++i)
        if (g_released[i].buffer == buffer)
            g_released[i].buffer = NULL;
}

static char* copy_text(const char* text, size_t n) {
    char* b = malloc(n + 1);
    if (!b)
        return NULL;
    memcpy(b, text, n);
    b[n] = '\0';
    return b;
}

static char* hand_out(uint64_t token, const char* text, size_t n, int query) {
    char* b;
    size_t i;
    if (!query) {
        for (i = 0; i < g_kept_count; ++i) {
            if (g_kept[i].token != token)
                continue;
            if (g_kept[i].cap <= n) {
                b = copy_text(text, n);
                if (!b)
                    return NULL;
                free(g_kept[i].buffer);
                g_kept[i].buffer = b;
                g_kept[i].cap = n + 1;
            } else {
                memcpy(g_kept[i].buffer, text, n);
                g_kept[i].buffer[n] = '\0';
            }
            return g_kept[i].buffer;
        }
        b = copy_text(text, n);
        if (!b)
            return NULL;
        if (g_kept_count == KEPT) { /* the oldest goes; hosts keep only a few static replies */
            free(g_kept[0].buffer);
            memmove(g_kept, g_kept + 1, (KEPT - 1) * sizeof *g_kept);
            --g_kept_count;
        }
        g_kept[g_kept_count].buffer = b;
        g_kept[g_kept_count].token = token;
        g_kept[g_kept_count].cap = n + 1;
        ++g_kept_count;
        forget_released(b);
        return b;
    }
    if (g_query_count == g_query_cap) {
        const size_t cap = g_query_cap ? g_query_cap * 2 : 16;
        struct reply* grown = realloc(g_queries, cap * sizeof *grown);
        if (!grown)
            return NULL;
        g_queries = grown;
        g_query_cap = cap;
    }
    b = copy_text(text, n);
    if (!b)
        return NULL;
    g_queries[g_query_count].buffer = b;
    g_queries[g_query_count].token = token;
    g_queries[g_query_count].cap = n + 1;
    ++g_query_count;
    forget_released(b);
    return b;
}

/* The data of a release the component makes: the host's pointer for a buffer it was given (the
 * same pointer again for a repeated release), or foreign. */
static void put_release(struct out* o, char* p) {
    size_t i;
    for (i = 0; i < g_query_count; ++i) {
        if (g_queries[i].buffer != p)
            continue;
        put_u32(o, ZB_DATA_HANDED);
        put_u64(o, g_queries[i].token);
        g_released[g_released_next] = g_queries[i];
        g_released_next = (g_released_next + 1) % RELEASED;
        g_queries[i] = g_queries[--g_query_count];
        free(p);
        return;
    }
    for (i = 0; i < g_kept_count; ++i) {
        if (g_kept[i].buffer == p) {
            put_u32(o, ZB_DATA_HANDED);
            put_u64(o, g_kept[i].token);
            return;
        }
    }
    for (i = 0; i < RELEASED; ++i) {
        if (g_released[i].buffer == p) {
            put_u32(o, ZB_DATA_HANDED);
            put_u64(o, g_released[i].token);
            return;
        }
    }
    put_u32(o, ZB_DATA_FOREIGN);
}

/* After a call from the bench: query replies not handed back are gone, as on the host. */
static void after_call(void) {
    if (g_depth > 0)
        return;
    while (g_query_count)
        free(g_queries[--g_query_count].buffer);
}

static int is_query(const char* t) {
    static const char* const queries[] = {"SD", "XI", "RN", "TG"};
    size_t i;
    if (!t[0] || !t[1] || (t[2] != ' ' && t[2] != '\0'))
        return 0;
    for (i = 0; i < sizeof queries / sizeof *queries; ++i)
        if (t[0] == queries[i][0] && t[1] == queries[i][1])
            return 1;
    return 0;
}

static size_t bounded_length(const char* t) {
    size_t n = 0;
    while (n < ZB_TEXT_LIMIT && t[n])
        ++n;
    return n;
}

/* ---- The live components ----------------------------------------------------------------------
 */
struct component {
    void* object;
    void* host;
};
static struct component* g_components;
static size_t g_component_count, g_component_cap;

static struct component* find_component(uint64_t handle) {
    size_t i;
    for (i = 0; i < g_component_count; ++i)
        if ((uint64_t)(uintptr_t)g_components[i].object == handle)
            return &g_components[i];
    return NULL;
}

static int add_component(void* object, void* host) {
    if (g_component_count == g_component_cap) {
        const size_t cap = g_component_cap ? g_component_cap * 2 : 16;
        struct component* grown = realloc(g_components, cap * sizeof *grown);
        if (!grown)
            return 0;
        g_components = grown;
        g_component_cap = cap;
    }
    g_components[g_component_count].object = object;
    g_components[g_component_count].host = host;
    ++g_component_count;
    return 1;
}

/* ---- Serving the bench ------------------------------------------------------------------------
 */
/* Rebuilds what the bench's pointer pointed at; *owned is what to free after the call. */
static void* build_data(struct msg* m, void** owned) {
    const uint32_t kind = get_u32(m);
    size_t n;
    const char* t;
    *owned = NULL;
    switch (kind) {
    case ZB_DATA_NULL:
        return NULL;
    case ZB_DATA_TEXT: {
        char* copy;
        t = get_text(m, &n);
        if (!t)
            return NULL;
        /* Zeros past the NUL: a component reading a record out of a short text reads zeros. */
        copy = calloc(n + 17, 1);
        if (copy)
            memcpy(copy, t, n);
        *owned = copy;
        return copy;
    }
    case ZB_DATA_VALUE:
        return (void*)(intptr_t)(int64_t)get_u64(m);
    case ZB_DATA_RECORD: {
        uint32_t words[4];
        unsigned char* record;
        int i;
        for (i = 0; i < 4; ++i)
            words[i] = get_u32(m);
        t = get_text(m, &n);
        record = calloc(16 + n + 17, 1);
        if (!record)
            return NULL;
        memcpy(record, words, sizeof words);
        if (t)
            memcpy(record + 16, t, n);
        *owned = record;
        return record;
    }
    case ZB_DATA_BUTTON: {
        /* Every text comes from the rest of the message, so it bounds the room they need. */
        const size_t room = m->size - m->pos + 2 * (ZB_EVENT_SUBS + 4);
        unsigned char* block = calloc(1, sizeof(struct zb_button) + sizeof(struct zb_event) + room);
        struct zb_button* b = (struct zb_button*)block;
        struct zb_event* e = (struct zb_event*)(block + sizeof(struct zb_button));
        char* arena = (char*)(e + 1);
        int i;
        if (!block)
            return NULL;
        b->word0 = (int32_t)get_u32(m);
        b->word1 = (int32_t)get_u32(m);
        b->panel = take_text(m, &arena);
        b->control = take_text(m, &arena);
        if (get_u32(m)) {
            e->command = take_text(m, &arena);
            e->value = take_text(m, &arena);
            e->sub_count = (int32_t)get_u32(m);
            e->has_value = get_u32(m) != 0;
            for (i = 0; i < ZB_EVENT_SUBS; ++i)
                e->sub[i] = take_text(m, &arena);
            b->event = e;
        }
        *owned = block;
        return block;
    }
    case ZB_DATA_HANDED:
        return (void*)(uintptr_t)get_u64(m);
    case ZB_DATA_FOREIGN:
        return g_foreign;
    default:
        m->bad = 1;
        return NULL;
    }
}

static void put_result(struct out* o, const char* result) {
    size_t n;
    if (!result) {
        put_u64(o, 0);
        put_u32(o, 0);
        put_text(o, NULL, 0);
        return;
    }
    g_reading_answer = 1;
    n = bounded_length(result);
    put_u64(o, (uint64_t)(uintptr_t)result);
    put_u32(o, n < ZB_TEXT_LIMIT ? ZB_TERMINATED : 0);
    put_text(o, result, n);
    g_reading_answer = 0;
}

static void serve(struct msg* m) {
    struct out* o = &g_out;
    switch (m->kind) {
    case ZB_CREATE: {
        const uint32_t id = get_u32(m);
        size_t n;
        const char* t = get_text(m, &n);
        char* path = t ? copy_text(t, n) : NULL;
        void* host = NULL;
        void* object = NULL;
        if (m->bad)
            break;
        host = id ? g_p->make_host(id) : NULL;
        ++g_depth;
        object = g_p->create(host, path);
        --g_depth;
        free(path);
        if (object && !add_component(object, host))
            object = NULL;
        if (!object && host)
            g_p->free_host(host);
        after_call();
        begin(o, ZB_RETURN);
        put_u64(o, (uint64_t)(uintptr_t)object);
        put_u32(o, 0);
        put_text(o, NULL, 0);
        send(o);
        break;
    }
    case ZB_CALL: {
        const uint64_t target = get_u64(m);
        const int type = (int)get_u32(m);
        void* owned;
        void* data = build_data(m, &owned);
        struct component* c = find_component(target);
        char* result = NULL;
        if (m->bad) {
            free(owned);
            break;
        }
        if (c) {
            ++g_depth;
            result = g_p->callback(c->object, data, type);
            --g_depth;
        }
        free(owned);
        begin(o, ZB_RETURN);
        put_result(o, result);
        after_call();
        send(o);
        break;
    }
    case ZB_DESTROY: {
        struct component* c = find_component(get_u64(m));
        if (m->bad)
            break;
        if (c) {
            void* object = c->object;
            void* host = c->host;
            *c = g_components[--g_component_count];
            ++g_depth;
            g_p->destroy(object);
            --g_depth;
            if (host)
                g_p->free_host(host);
        }
        after_call();
        begin(o, ZB_RETURN);
        put_u64(o, 0);
        put_u32(o, 0);
        put_text(o, NULL, 0);
        send(o);
        break;
    }
    case ZB_HEAP: {
        uint64_t bytes = 0;
        const int measured = g_p->heap_in_use ? g_p->heap_in_use(&bytes) : 0;
        begin(o, ZB_RETURN);
        put_u64(o, measured ? bytes : 0);
        put_u32(o, measured ? ZB_MEASURED : 0);
        put_text(o, NULL, 0);
        send(o);
        break;
    }
    default:
        m->bad = 1;
        break;
    }
    free(m->body);
    m->body = NULL;
    if (m->bad)
        g_p->quit(3);
}

/* Waits for the RETURN of the call just sent, serving the bench's own calls meanwhile. */
static void await_return(struct msg* r) {
    for (;;) {
        const int got = receive(r);
        if (got <= 0)
            g_p->quit(got == 0 ? 0 : 3); /* the bench has gone, or speaks another protocol */
        if (r->kind == ZB_RETURN)
            return;
        serve(r);
    }
}

/* ---- Entry points -----------------------------------------------------------------------------
 */
int zb_hello(const struct zb_platform* platform, uint32_t status, uint32_t error,
             const char* what) {
    struct out* o = &g_out;
    g_p = platform;
    begin(o, ZB_HELLO);
    put_u32(o, ZB_MAGIC);
    put_u32(o, ZB_VERSION);
    put_u32(o, status);
    put_u32(o, error);
    put_text(o, what, what ? strlen(what) : 0);
    send(o);
    return 0;
}

int zb_serve(const struct zb_platform* platform) {
    g_p = platform;
    for (;;) {
        struct msg m;
        const int got = receive(&m);
        if (got <= 0)
            return got == 0 ? 0 : 3;
        serve(&m);
    }
}

char* zb_host_call(uint32_t host, void* data, int type) {
    struct out* o = &g_out;
    struct msg r;
    int query = 0;
    uint64_t token;
    size_t n;
    const char* t;
    char* result;
    begin(o, ZB_CALL);
    put_u64(o, host);
    put_u32(o, (uint32_t)type);
    if (!data) {
        put_u32(o, ZB_DATA_NULL);
    } else if (type == 0) {
        const char* command = data;
        put_u32(o, ZB_DATA_TEXT);
        put_text(o, command, bounded_length(command));
        query = is_query(command);
    } else if (type == 5) {
        put_release(o, data);
    } else {
        put_u32(o, ZB_DATA_FOREIGN);
    }
    send(o);
    await_return(&r);
    token = get_u64(&r);
    get_u32(&r);
    t = get_text(&r, &n);
    result = t && !r.bad ? hand_out(token, t, n, query) : NULL;
    free(r.body);
    return result;
}

void zb_fault(uint32_t code, uint64_t address, uint32_t access, uint64_t target,
              const char* where) {
    static const char reading[] = " while the bridge read what the component returned";
    unsigned char buffer[1024];
    char text[600];
    struct out o;
    size_t n = 0;
    if (!g_p)
        return;
    if (where) {
        n = strlen(where);
        if (n > sizeof text - sizeof reading)
            n = sizeof text - sizeof reading;
        memcpy(text, where, n);
    }
    if (g_reading_answer) {
        memcpy(text + n, reading, sizeof reading - 1);
        n += sizeof reading - 1;
    }
    o.data = buffer;
    o.size = 0;
    o.cap = sizeof buffer;
    o.fixed = 1;
    o.failed = 0;
    begin(&o, ZB_FAULT);
    put_u32(&o, code);
    put_u64(&o, address);
    put_u32(&o, access);
    put_u64(&o, target);
    put_text(&o, text, n);
    if (!o.failed) {
        const uint32_t size = (uint32_t)(o.size - 4);
        buffer[0] = (unsigned char)size;
        buffer[1] = (unsigned char)(size >> 8);
        buffer[2] = (unsigned char)(size >> 16);
        buffer[3] = (unsigned char)(size >> 24);
        g_p->write(buffer, (unsigned)o.size);
    }
}

void zb_debug(const char* text) {
    struct out o;
    memset(&o, 0, sizeof o);
    if (!g_p || !text)
        return;
    begin(&o, ZB_DEBUG);
    put_text(&o, text, bounded_length(text));
    send(&o);
    free(o.data);
}
