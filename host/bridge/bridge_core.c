/* The relay: one handler per kind of call from the bench, the QUEUEs kept for their turn, and the
 * calls a component makes to its host. Its frames go through bridge_transport.c, the records it
 * rebuilds come from bridge_records.c. Single-threaded, like the callback interface. */
#include "bridge_relay.h"
#include "bridge_ledger.h"
#include "zeph_client_callback.h"
#include "zeph_commands.h"
#include "zeph_records.h"

#include <stdlib.h>
#include <string.h>

const struct zb_platform* g_p;
static int g_depth; /* calls from the bench being served, nested ones included */
int g_reading_answer;

/* QUEUEs read while a call of the component's waited for its RETURN: served in the order sent,
 * once nothing is in progress. A copy of each frame's body, as the frame's own may be reused. */
struct waiting {
    uint32_t kind;
    size_t size;
    unsigned char* body;
};
static struct waiting* g_waiting;
static size_t g_waiting_first, g_waiting_count, g_waiting_room;

/* ---- One handler per kind of call from the bench --------------------------------------------- */
static void after_call(void) {
    if (g_depth == 0)
        zb_ledger_end_call();
}

/* A NUL-terminated copy on the heap, or null. */
char* zb_copy_of(struct zb_text t) {
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
    char* path = zb_copy_of(c->path);
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
    zb_send_return((uint64_t)(uintptr_t)job.object, faulted ? ZB_FAULTED : 0, zb_text_of(NULL));
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
    job.data = zb_build_data(&c->data, &where, &owned);
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
        zb_send_return(0, ZB_FAULTED, zb_text_of(NULL));
    } else if (job.result) {
        after_call();
        zb_send_return((uint64_t)(uintptr_t)job.result,
                       job.answer.size < ZB_TEXT_LIMIT ? ZB_TERMINATED : 0, job.answer);
    } else {
        after_call();
        zb_send_return(0, 0, zb_text_of(NULL));
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
    zb_send_return(0, faulted ? ZB_FAULTED : 0, zb_text_of(NULL));
}

static void serve_heap(const struct zb_message* m) {
    uint64_t bytes = 0;
    const int measured = g_p->heap_in_use ? g_p->heap_in_use(&bytes) : 0;
    (void)m;
    zb_send_return(measured ? bytes : 0, measured ? ZB_MEASURED : 0, zb_text_of(NULL));
}

static void serve_load(const struct zb_message* m) {
    char what[600] = "";
    char* path = zb_copy_of(m->u.load.path);
    uint32_t number = 0, error = 0, status = ZB_LOAD_FAILED;
    if (path && g_p->load)
        status = g_p->load(path, &number, &error, what, sizeof what);
    else
        strcpy(what, path ? "this bridge loads no other DLL" : "no path");
    free(path);
    zb_send_return(status == ZB_READY ? number : error, status, zb_text_of(what));
}

/* No RETURN: the bench goes on at once, and its next frame comes after this one. */
static void serve_one_way(const struct zb_message* m) {
    g_one_way = m->u.one_way;
}

typedef void (*handler_fn)(const struct zb_message* m);
static const handler_fn g_handlers[] = {
    [ZB_CREATE] = serve_create,  [ZB_CALL] = serve_call,       [ZB_DESTROY] = serve_destroy,
    [ZB_HEAP] = serve_heap,      [ZB_LOAD] = serve_load,       [ZB_CREATE_IN] = serve_create,
    [ZB_SHARE] = zb_serve_share, [ZB_ONE_WAY] = serve_one_way, [ZB_QUEUE] = serve_call,
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
    zb_send(zb_encode_hello(&g_out, &h));
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
    zb_input_init(&g_in, zb_read_input, NULL);
    for (;;) {
        struct zb_frame f;
        struct zb_message m;
        if (serve_waiting())
            continue;
        if (!zb_receive(&f, &m))
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
        zb_send(zb_encode_post(&g_out, &call));
        return NULL;
    }
    zb_send(zb_encode_call(&g_out, &call));
    /* The RETURN of this call; the bench's own calls meanwhile are served as they come. */
    for (;;) {
        if (!zb_receive(&f, &m))
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
