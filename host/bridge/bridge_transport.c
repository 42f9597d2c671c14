/* The relay's frames to and from the bench: through the pipe, or through the shared region's rings
 * once SHARE has mapped it (the pipe then only waking a sleeping end and carrying faults). */
#include "bridge_relay.h"
#include "bridge_ring.h"

#include <stdlib.h>
#include <string.h>

/* ---- Frames ---------------------------------------------------------------------------------- */
struct zb_writer g_out; /* building a frame never nests, so one buffer serves every call */
struct zb_input g_in;   /* the pipe: every frame, or only WAKEs once the region is shared */

/* The shared region, once SHARE has mapped it: the rings carry the frames both ways. */
static struct zb_link g_link;
static int g_shared;
static struct zb_input g_ring_in;
/* A fault was reported on the pipe: what follows it (the abandoned call's RETURN) goes there too,
 * so that the bench cannot read it first, until the bench speaks again. */
static volatile int g_pipe_only;
uint32_t g_one_way; /* SHARE's one-way set */

int zb_read_input(void* context, void* buffer, size_t size) {
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

void zb_send(int encoded) {
    if (encoded != 0) {
        g_p->quit(3);
        return;
    }
    write_frame(g_out.data, g_out.size);
}

void zb_send_return(uint64_t value, uint32_t flags, struct zb_text text) {
    struct zb_return r;
    r.value = value;
    r.flags = flags;
    r.text = text;
    zb_send(zb_encode_return(&g_out, &r));
}

int zb_receive(struct zb_frame* f, struct zb_message* m) {
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

void zb_serve_share(const struct zb_message* m) {
    const struct zb_share* s = &m->u.share;
    char why[300] = "";
    char* path = zb_copy_of(s->path);
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
        zb_send_return(0, 0, zb_text_of(why));
        return;
    }
    __atomic_store_n(&g_link.header->answer, ZB_REGION_ANSWER, __ATOMIC_RELEASE);
    zb_send_return(0, ZB_SHARED, zb_text_of(NULL));
    zb_link_offer_doze(&g_link);
    zb_input_init(&g_ring_in, read_ring, NULL);
    g_shared = 1;
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
