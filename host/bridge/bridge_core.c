/* The relay: frames in and out through the codec, one handler per kind of call from the bench,
 * and the records rebuilt in this process's memory. Single-threaded, like the callback interface.
 */
#include "bridge_core.h"
#include "bridge_codec.h"
#include "bridge_ledger.h"
#include "bridge_ring.h"
#include "zeph_client_callback.h"
#include "zeph_commands.h"
#include "zeph_records.h"

#include <stdlib.h>
#include <string.h>

static const struct zb_platform* g_p;
static int g_depth;          /* calls from the bench being served, nested ones included */
static int g_reading_answer; /* a fault now is in reading what the component returned */
/* What a component is given for a pointer it never handed out. */
static char g_foreign[64];

/* ---- Frames ---------------------------------------------------------------------------------- */
static struct zb_writer g_out; /* building a frame never nests, so one buffer serves every call */
static struct zb_input g_in;   /* the pipe: every frame, or only WAKEs once the region is shared */

/* The shared region, once SHARE has mapped it: the rings carry the frames both ways. */
static struct zb_link g_link;
static int g_shared;
static struct zb_input g_ring_in;
/* A fault was reported on the pipe: what follows it (the abandoned call's RETURN) goes there too,
 * so that the bench cannot read it first, until the bench speaks again. */
static volatile int g_pipe_only;
static uint32_t g_one_way; /* SHARE's one-way set */

/* QUEUEs read while a call of the component's waited for its RETURN: served in the order sent,
 * once nothing is in progress. A copy of each frame's body, as the frame's own may be reused. */
struct waiting {
    uint32_t kind;
    size_t size;
    unsigned char* body;
};
static struct waiting* g_waiting;
static size_t g_waiting_first, g_waiting_count, g_waiting_room;

static int read_input(void* context, void* buffer, size_t size) {
    (void)context;
    return g_p->read(buffer, size > 65536 ? 65536u : (unsigned)size);
}

static void write_pipe(const void* data, size_t size) {
    if (g_p->write(data, (unsigned)size) != 0)
        g_p->quit(0);
}

static void send_wake(void) {
    unsigned char buffer[16];
    struct zb_writer w;
    zb_writer_fixed(&w, buffer, sizeof buffer);
    if (zb_encode_wake(&w) == 0)
        write_pipe(w.data, w.size);
}

/* Waits until the ring has bytes to read (want_room 0) or room to write: 1 to look again, 0 when
 * the bench has gone. Between the spin and the sleep, only WAKEs come on the pipe. */
static int await_ring(size_t want_room) {
    struct zb_frame f;
    enum zb_read_result got;
    uint32_t kind;
    size_t size;
    if (zb_link_spin(&g_link, want_room))
        return 1;
    /* A second's doze covers any bench at work; one idle longer is slept for on the pipe, which
     * also tells when the bench has gone. */
    if (zb_link_doze(&g_link, want_room, 1000) > 0 || !zb_link_sleep(&g_link, want_room))
        return 1;
    got = zb_read_frame(&g_in, &f);
    kind = f.kind;
    size = f.size;
    zb_frame_free(&f);
    zb_link_awake(&g_link);
    if (got == ZB_READ_END)
        return 0;
    if (got != ZB_READ_FRAME || kind != ZB_WAKE || size != 0)
        g_p->quit(3);
    return 1;
}

static int read_ring(void* context, void* buffer, size_t size) {
    (void)context;
    for (;;) {
        const long n = zb_link_read(&g_link, buffer, size > 65536 ? 65536u : size);
        if (n < 0)
            return -1;
        if (n > 0) {
            if (zb_link_wake_peer(&g_link, ZB_WAIT_ROOM))
                send_wake();
            return (int)n;
        }
        if (!await_ring(0))
            return 0;
    }
}

/* A whole frame to the bench, through the ring in as many pieces as its room allows. */
static void write_frame(const unsigned char* data, size_t size) {
    if (!g_shared || g_pipe_only) {
        write_pipe(data, size);
        return;
    }
    while (size) {
        const long n = zb_link_write(&g_link, data, size);
        if (n < 0) {
            g_p->quit(3);
            return;
        }
        data += n;
        size -= (size_t)n;
        if (n > 0 && zb_link_wake_peer(&g_link, ZB_WAIT_DATA))
            send_wake();
        if (size && !await_ring(1)) {
            g_p->quit(0);
            return;
        }
    }
}

/* Sends what the encoder built; a bench that is gone (or a frame that could not be built) ends
 * the bridge, since nobody is left to serve. */
static void send(int encoded) {
    if (encoded != 0) {
        g_p->quit(3);
        return;
    }
    write_frame(g_out.data, g_out.size);
}

static void send_return(uint64_t value, uint32_t flags, struct zb_text text) {
    struct zb_return r;
    r.value = value;
    r.flags = flags;
    r.text = text;
    send(zb_encode_return(&g_out, &r));
}

/* The next message, its texts pointing into *f: 1, or 0 at the input's end. Anything that is not
 * this protocol ends the process (exit 3). */
static int receive(struct zb_frame* f, struct zb_message* m) {
    const enum zb_read_result got = zb_read_frame(g_shared ? &g_ring_in : &g_in, f);
    if (got == ZB_READ_FRAME && zb_decode(f->kind, f->body, f->size, m) == 0) {
        g_pipe_only = 0;
        return 1;
    }
    zb_frame_free(f);
    if (got != ZB_READ_END)
        g_p->quit(3);
    return 0;
}

/* ---- The records a host passes, rebuilt here ------------------------------------------------- */
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

/* Where a record is rebuilt: the caller's scratch when it fits (most do: no heap on the way of
 * a notification), else the heap, then in *owned. Zeroed either way. */
struct place_for {
    void* scratch;
    size_t size;
};

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

/* Rebuilds what the bench's pointer pointed at; *owned is what to free after the call. */
static void* build_data(const struct zb_payload* d, struct place_for* where, void** owned) {
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

/* ---- One handler per kind of call from the bench --------------------------------------------- */
static void after_call(void) {
    if (g_depth == 0)
        zb_ledger_end_call();
}

/* A NUL-terminated copy on the heap, or null. */
static char* copy_of(struct zb_text t) {
    char* copy = t.data ? malloc(t.size + 1) : NULL;
    if (copy) {
        memcpy(copy, t.data, t.size);
        copy[t.size] = '\0';
    }
    return copy;
}

/* Runs a component's code under the platform's guard: 1 when a fault abandoned it, and then the
 * relay's own state is as it was before. */
static int guard(void (*fn)(void*), void* arg) {
    const int depth = g_depth;
    if (!g_p->guarded) {
        fn(arg);
        return 0;
    }
    if (!g_p->guarded(fn, arg))
        return 0;
    g_depth = depth;
    g_reading_answer = 0;
    return 1;
}

struct create_job {
    uint32_t dll;
    void* host;
    const char* path;
    void* object;
};

static void run_create(void* arg) {
    struct create_job* j = arg;
    ++g_depth;
    j->object = g_p->create(j->dll, j->host, j->path);
    --g_depth;
}

static void serve_create(const struct zb_message* m) {
    const struct zb_create* c = &m->u.create;
    char* path = copy_of(c->path);
    struct create_job job;
    int faulted;
    job.dll = c->dll;
    job.host = c->host ? g_p->make_host(c->host) : NULL;
    job.path = path;
    job.object = NULL;
    faulted = guard(run_create, &job);
    free(path);
    if (faulted)
        job.object = NULL; /* whatever the factory made is lost with it */
    if (job.object && !zb_component_add(job.object, job.host))
        job.object = NULL;
    if (!job.object && job.host)
        g_p->free_host(job.host);
    after_call();
    send_return((uint64_t)(uintptr_t)job.object, faulted ? ZB_FAULTED : 0, zb_text_of(NULL));
}

struct call_job {
    void* object;
    void* data;
    int type;
    char* result;
    struct zb_text answer;
};

/* Reading the answer is the component's business too: a bad pointer faults in its call. */
static void run_call(void* arg) {
    struct call_job* j = arg;
    ++g_depth;
    j->result = g_p->callback(j->object, j->data, j->type);
    --g_depth;
    if (j->result) {
        g_reading_answer = 1;
        j->answer = zb_text_of(j->result);
        g_reading_answer = 0;
    }
}

static void serve_call(const struct zb_message* m) {
    const struct zb_call* c = &m->u.call;
    void* owned;
    struct zb_component* component = zb_component_find(c->target);
    struct call_job job;
    int faulted = 0;
    uint64_t scratch[128];
    struct place_for where;
    where.scratch = scratch;
    where.size = sizeof scratch;
    memset(&job, 0, sizeof job);
    job.data = build_data(&c->data, &where, &owned);
    job.type = c->type;
    if (component && !component->dead) {
        job.object = component->object;
        faulted = guard(run_call, &job);
    }
    free(owned);
    if (faulted) {
        /* Calls made meanwhile may have moved the table: the component is looked for again. */
        component = zb_component_find(c->target);
        if (component)
            component->dead = 1;
        after_call();
        send_return(0, ZB_FAULTED, zb_text_of(NULL));
    } else if (job.result) {
        after_call();
        send_return((uint64_t)(uintptr_t)job.result,
                    job.answer.size < ZB_TEXT_LIMIT ? ZB_TERMINATED : 0, job.answer);
    } else {
        after_call();
        send_return(0, 0, zb_text_of(NULL));
    }
}

static void run_destroy(void* object) {
    ++g_depth;
    g_p->destroy(object);
    --g_depth;
}

/* A dead component is only forgotten: its destructor would run on the state it faulted in. */
static void serve_destroy(const struct zb_message* m) {
    struct zb_component* c = zb_component_find(m->u.destroy.handle);
    int faulted = 0;
    if (c) {
        const struct zb_component gone = *c;
        zb_component_remove(c);
        if (!gone.dead)
            faulted = guard(run_destroy, gone.object);
        if (gone.host)
            g_p->free_host(gone.host);
    }
    after_call();
    send_return(0, faulted ? ZB_FAULTED : 0, zb_text_of(NULL));
}

static void serve_heap(const struct zb_message* m) {
    uint64_t bytes = 0;
    const int measured = g_p->heap_in_use ? g_p->heap_in_use(&bytes) : 0;
    (void)m;
    send_return(measured ? bytes : 0, measured ? ZB_MEASURED : 0, zb_text_of(NULL));
}

static void serve_load(const struct zb_message* m) {
    char what[600] = "";
    char* path = copy_of(m->u.load.path);
    uint32_t number = 0, error = 0, status = ZB_LOAD_FAILED;
    if (path && g_p->load)
        status = g_p->load(path, &number, &error, what, sizeof what);
    else
        strcpy(what, path ? "this bridge loads no other DLL" : "no path");
    free(path);
    send_return(status == ZB_READY ? number : error, status, zb_text_of(what));
}

/* The RETURN still goes on the pipe; the bench's next frame comes through the ring. */
static void serve_share(const struct zb_message* m) {
    const struct zb_share* s = &m->u.share;
    char why[300] = "";
    char* path = copy_of(s->path);
    void* region = NULL;
    g_one_way = s->one_way;
    if (g_shared)
        strcpy(why, "the region is shared already");
    else if (!path || s->size != ZB_REGION_SIZE)
        strcpy(why, "the region is not one this bridge knows");
    else if (!g_p->map_shared)
        strcpy(why, "this bridge maps no region");
    else
        region = g_p->map_shared(path, s->size, why, sizeof why);
    free(path);
    if (region && zb_link_init(&g_link, region, ZB_BRIDGE) != 0) {
        strcpy(why, "the region's header is not one this bridge knows");
        region = NULL;
    }
    if (!region) {
        send_return(0, 0, zb_text_of(why));
        return;
    }
    __atomic_store_n(&g_link.header->answer, ZB_REGION_ANSWER, __ATOMIC_RELEASE);
    send_return(0, ZB_SHARED, zb_text_of(NULL));
    zb_link_offer_doze(&g_link);
    zb_input_init(&g_ring_in, read_ring, NULL);
    g_shared = 1;
}

/* No RETURN: the bench goes on at once, and its next frame comes after this one. */
static void serve_one_way(const struct zb_message* m) {
    g_one_way = m->u.one_way;
}

typedef void (*handler_fn)(const struct zb_message* m);
static const handler_fn g_handlers[] = {
    [ZB_CREATE] = serve_create, [ZB_CALL] = serve_call,       [ZB_DESTROY] = serve_destroy,
    [ZB_HEAP] = serve_heap,     [ZB_LOAD] = serve_load,       [ZB_CREATE_IN] = serve_create,
    [ZB_SHARE] = serve_share,   [ZB_ONE_WAY] = serve_one_way, [ZB_QUEUE] = serve_call,
};

/* A kind the bench never sends (HELLO, FAULT, a stray RETURN) is not this protocol. */
static void serve(struct zb_frame* f, const struct zb_message* m) {
    const handler_fn handler =
        m->kind < sizeof g_handlers / sizeof *g_handlers ? g_handlers[m->kind] : NULL;
    if (!handler) {
        zb_frame_free(f);
        g_p->quit(3);
        return;
    }
    handler(m);
    zb_frame_free(f);
}

/* ---- Entry points ---------------------------------------------------------------------------- */
int zb_hello(const struct zb_platform* platform, uint32_t status, uint32_t error,
             const char* what) {
    struct zb_hello h;
    g_p = platform;
    h.magic = ZB_MAGIC;
    h.version = ZB_VERSION;
    h.status = status;
    h.error = error;
    h.what = zb_text_of(what);
    send(zb_encode_hello(&g_out, &h));
    return 0;
}

/* Keeps a QUEUE for its turn: 0 when memory ran out. */
static int keep_waiting(const struct zb_frame* f) {
    struct waiting* w;
    if (g_waiting_first == g_waiting_count)
        g_waiting_first = g_waiting_count = 0;
    if (g_waiting_count == g_waiting_room) {
        const size_t room = g_waiting_room ? 2 * g_waiting_room : 16;
        struct waiting* grown = realloc(g_waiting, room * sizeof *grown);
        if (!grown)
            return 0;
        g_waiting = grown;
        g_waiting_room = room;
    }
    w = &g_waiting[g_waiting_count];
    w->kind = f->kind;
    w->size = f->size;
    w->body = malloc(f->size ? f->size : 1);
    if (!w->body)
        return 0;
    memcpy(w->body, f->body, f->size);
    ++g_waiting_count;
    return 1;
}

/* The oldest QUEUE kept, served as it would have been had it come now: 0 when none waits. */
static int serve_waiting(void) {
    struct waiting w;
    struct zb_message m;
    if (g_waiting_first == g_waiting_count)
        return 0;
    w = g_waiting[g_waiting_first++];
    if (zb_decode(w.kind, w.body, w.size, &m) != 0)
        g_p->quit(3);
    else
        serve_call(&m);
    free(w.body);
    return 1;
}

int zb_serve(const struct zb_platform* platform) {
    g_p = platform;
    zb_input_init(&g_in, read_input, NULL);
    for (;;) {
        struct zb_frame f;
        struct zb_message m;
        if (serve_waiting())
            continue;
        if (!receive(&f, &m))
            return 0;
        serve(&f, &m);
    }
}

/* The payload of a call the component makes to its host. */
static struct zb_payload host_payload(void* data, int type, int* query) {
    struct zb_payload d;
    memset(&d, 0, sizeof d);
    d.kind = ZB_DATA_FOREIGN;
    if (!data) {
        d.kind = ZB_DATA_NULL;
    } else if (type == ZEPH_COMMAND) {
        d.kind = ZB_DATA_TEXT;
        d.text = zb_text_of(data);
        *query = zeph_command_is_query(data);
    } else if (type == ZEPH_RELEASE) {
        d.value = zb_ledger_release(data);
        if (d.value)
            d.kind = ZB_DATA_HANDED;
    }
    return d;
}

/* Whether the bench takes this call without an answer (SHARE's one-way set). */
static int one_way(void* data, int type) {
    const struct zeph_command_info* c;
    if (type == ZEPH_RELEASE)
        return (g_one_way & ZB_ONE_WAY_RELEASE) != 0;
    if (type != ZEPH_COMMAND || !(c = zeph_command_of(data)))
        return 0;
    return !c->answered && (g_one_way >> (c - zeph_commands) & 1u);
}

char* zb_host_call(uint32_t host, void* data, int type) {
    struct zb_call call;
    struct zb_frame f;
    struct zb_message m;
    int query = 0;
    char* result;
    call.target = host;
    call.type = type;
    call.data = host_payload(data, type, &query);
    if (one_way(data, type)) {
        send(zb_encode_post(&g_out, &call));
        return NULL;
    }
    send(zb_encode_call(&g_out, &call));
    /* The RETURN of this call; the bench's own calls meanwhile are served as they come. */
    for (;;) {
        if (!receive(&f, &m))
            g_p->quit(0); /* the bench has gone */
        if (m.kind == ZB_RETURN)
            break;
        if (m.kind == ZB_QUEUE) { /* its turn comes after the call in progress */
            if (!keep_waiting(&f))
                g_p->quit(3);
            zb_frame_free(&f);
            continue;
        }
        serve(&f, &m);
    }
    result = m.u.ret.text.data
                 ? zb_ledger_hand_out(m.u.ret.value, m.u.ret.text.data, m.u.ret.text.size, query)
                 : NULL;
    zb_frame_free(&f);
    return result;
}

void zb_fault(uint32_t code, uint64_t address, uint32_t access, uint64_t target,
              const char* where) {
    static const char reading[] = " while the bridge read what the component returned";
    unsigned char buffer[1024];
    char text[600];
    struct zb_writer w;
    struct zb_fault f;
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
    f.code = code;
    f.address = address;
    f.access = access;
    f.target = target;
    f.where.data = text;
    f.where.size = (uint32_t)n;
    zb_writer_fixed(&w, buffer, sizeof buffer); /* a fault handler uses no heap */
    /* On the pipe, whichever thread faulted: the bench hears of a bridge's end there too. */
    g_pipe_only = g_shared;
    if (zb_encode_fault(&w, &f) == 0)
        g_p->write(w.data, (unsigned)w.size);
    /* A bench dozing on the region would not hear the pipe; one asleep on it has heard. */
    if (g_shared)
        zb_link_wake_peer(&g_link, ZB_WAIT_DATA);
}

void zb_debug(const char* text) {
    struct zb_writer w;
    struct zb_debug d;
    if (!g_p || !text)
        return;
    zb_writer_init(&w);
    d.text = zb_text_of(text);
    if (zb_encode_debug(&w, &d) != 0) {
        zb_writer_free(&w);
        g_p->quit(3);
        return;
    }
    write_frame(w.data, w.size);
    zb_writer_free(&w);
}
