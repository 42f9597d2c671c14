/* The frames' containers: the writer's buffer, texts of C strings, and frames read from a byte
 * source with no more memory than the bytes that came. */
#include "bridge_codec.h"

#include <stdlib.h>
#include <string.h>

struct zb_text zb_text_of(const char* text) {
    struct zb_text t = {text, 0};
    if (text) {
        while (t.size < ZB_TEXT_LIMIT && text[t.size])
            ++t.size;
    }
    return t;
}

/* ---- Writing --------------------------------------------------------------------------------- */
void zb_writer_init(struct zb_writer* w) {
    memset(w, 0, sizeof *w);
}

void zb_writer_fixed(struct zb_writer* w, void* buffer, size_t cap) {
    memset(w, 0, sizeof *w);
    w->data = buffer;
    w->cap = cap;
    w->fixed = 1;
}

void zb_writer_free(struct zb_writer* w) {
    if (!w->fixed)
        free(w->data);
    memset(w, 0, sizeof *w);
}

/* ---- Frames ---------------------------------------------------------------------------------- */
void zb_input_init(struct zb_input* in, zb_read_fn read, void* context) {
    in->read = read;
    in->context = context;
    in->pos = 0;
    in->len = 0;
}

/* Tops the buffer up when it is empty: 1, 0 at the end, or the source's failure. */
static int fill(struct zb_input* in) {
    int got;
    if (in->pos < in->len)
        return 1;
    got = in->read(in->context, in->buffer, sizeof in->buffer);
    if (got <= 0)
        return got < 0 ? -1 : 0;
    in->pos = 0;
    in->len = (size_t)got;
    return 1;
}

/* Copies n bytes out: 1, 0 at the end, -1 on the source's failure. */
static int take(struct zb_input* in, unsigned char* dst, size_t n) {
    while (n) {
        size_t part;
        const int ready = fill(in);
        if (ready <= 0)
            return ready;
        part = in->len - in->pos < n ? in->len - in->pos : n;
        memcpy(dst, in->buffer + in->pos, part);
        in->pos += part;
        dst += part;
        n -= part;
    }
    return 1;
}

static uint32_t le32(const unsigned char* b) {
    return (uint32_t)b[0] | (uint32_t)b[1] << 8 | (uint32_t)b[2] << 16 | (uint32_t)b[3] << 24;
}

enum zb_read_result zb_read_frame(struct zb_input* in, struct zb_frame* f) {
    unsigned char head[8];
    uint32_t size;
    size_t have = 0, cap = 0;
    int got;
    f->kind = 0;
    f->body = NULL;
    f->size = 0;
    got = take(in, head, 1);
    if (got <= 0)
        return got == 0 ? ZB_READ_END : ZB_READ_FAILED;
    got = take(in, head + 1, 7);
    if (got <= 0)
        return got == 0 ? ZB_READ_CUT : ZB_READ_FAILED;
    size = le32(head);
    f->kind = le32(head + 4);
    if (size < 4 || size > ZB_MESSAGE_LIMIT)
        return ZB_READ_GARBLED;
    f->size = size - 4;
    if (f->size <= sizeof f->small) {
        f->body = f->small;
        cap = f->size;
    }
    /* The body grows with what arrives, so a size field alone never buys memory. */
    while (have < f->size) {
        size_t part = f->size - have;
        if (part > sizeof in->buffer)
            part = sizeof in->buffer;
        if (have + part > cap) {
            unsigned char* grown;
            cap = cap ? cap * 2 : part;
            if (cap > f->size)
                cap = f->size;
            grown = realloc(f->body, cap);
            if (!grown)
                return ZB_READ_FAILED;
            f->body = grown;
        }
        got = take(in, f->body + have, part);
        if (got <= 0)
            return got == 0 ? ZB_READ_CUT : ZB_READ_FAILED;
        have += part;
    }
    return ZB_READ_FRAME;
}

void zb_frame_free(struct zb_frame* f) {
    if (f->body != f->small)
        free(f->body);
    f->body = NULL;
    f->size = 0;
}

int zb_read_memory(void* memory, void* buffer, size_t size) {
    struct zb_memory* m = memory;
    size_t n = m->size - m->pos;
    if (n > size)
        n = size;
    if (n > 0x7fffffff)
        n = 0x7fffffff;
    if (n)
        memcpy(buffer, m->data + m->pos, n);
    m->pos += n;
    return (int)n;
}
