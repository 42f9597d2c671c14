/* Writing a trace: the header, one record per frame, the size limit and the records' payloads. */
#include "trace_format.h"
#include "zeph_records.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

_Static_assert(sizeof(((struct zeph_parent_event*)0)->sub) / sizeof(const char*) == ZB_EVENT_SUBS,
               "the codec carries every sub-field of an event");

static void le32(unsigned char* b, uint32_t v) {
    b[0] = (unsigned char)v;
    b[1] = (unsigned char)(v >> 8);
    b[2] = (unsigned char)(v >> 16);
    b[3] = (unsigned char)(v >> 24);
}

static void le64(unsigned char* b, uint64_t v) {
    le32(b, (uint32_t)v);
    le32(b + 4, (uint32_t)(v >> 32));
}

void zt_writer_init(struct zt_writer* t, zt_write_fn write, void* context, uint64_t limit) {
    memset(t, 0, sizeof *t);
    t->write = write;
    t->context = context;
    t->limit = limit ? limit : ZT_DEFAULT_LIMIT;
    zb_writer_init(&t->frame);
}

void zt_writer_free(struct zt_writer* t) {
    zb_writer_free(&t->frame);
    free(t->record);
    t->record = NULL;
    t->record_cap = 0;
}

static int put(struct zt_writer* t, const void* data, size_t size) {
    if (t->failed || t->stopped)
        return -1;
    if (t->write(t->context, data, size) != 0) {
        t->failed = 1;
        return -1;
    }
    t->written += size;
    return 0;
}

int zt_write_header(struct zt_writer* t, const struct zt_header* h) {
    unsigned char head[16], tail[32], len[4];
    const uint32_t n = h->component.data ? h->component.size : 0;
    le32(head, ZT_MAGIC);
    le32(head + 4, ZT_VERSION);
    le32(head + 8, h->tap_version);
    le32(head + 12, h->pid);
    le32(len, n);
    le64(tail, h->component_size);
    le64(tail + 8, h->component_time);
    le64(tail + 16, h->started_us);
    le64(tail + 24, h->process_us);
    if (put(t, head, sizeof head) || put(t, len, 4) || (n && put(t, h->component.data, n)))
        return -1;
    return put(t, tail, sizeof tail);
}

/* Whether a record of size bytes fits under the limit; when not, the record that says the trace
 * stopped takes its place, and nothing is written after it. Room for that one is always kept. */
static int fits(struct zt_writer* t, size_t size, uint64_t time_us, uint32_t thread) {
    enum { LIMIT_RECORD = ZT_RECORD_HEAD + 8 + 8 };
    unsigned char last[LIMIT_RECORD];
    if (t->written + size + LIMIT_RECORD <= t->limit)
        return 1;
    le64(last, time_us);
    le32(last + 8, thread);
    le32(last + 12, 12);
    le32(last + 16, ZT_LIMIT_KIND);
    le64(last + 20, t->limit);
    put(t, last, sizeof last);
    t->stopped = 1;
    return 0;
}

int zt_write(struct zt_writer* t, uint64_t time_us, uint32_t thread, const struct zb_message* m) {
    size_t size;
    if (t->failed || t->stopped)
        return -1;
    if (zb_encode(&t->frame, m) != 0)
        return -1; /* an unencodable message is lost alone; the trace goes on */
    size = ZT_RECORD_HEAD + t->frame.size;
    if (!fits(t, size, time_us, thread))
        return -1;
    if (size > t->record_cap) {
        unsigned char* grown = realloc(t->record, size * 2);
        if (!grown)
            return -1;
        t->record = grown;
        t->record_cap = size * 2;
    }
    le64(t->record, time_us);
    le32(t->record + 8, thread);
    memcpy(t->record + ZT_RECORD_HEAD, t->frame.data, t->frame.size);
    return put(t, t->record, size);
}

int zt_write_fault(struct zt_writer* t, uint64_t time_us, uint32_t thread,
                   const struct zb_fault* f) {
    unsigned char record[ZT_RECORD_HEAD + 1024];
    struct zb_writer w;
    struct zb_message m;
    if (t->failed || t->stopped)
        return -1;
    zb_writer_fixed(&w, record + ZT_RECORD_HEAD, sizeof record - ZT_RECORD_HEAD);
    memset(&m, 0, sizeof m);
    m.kind = ZB_FAULT;
    m.u.fault = *f;
    if (zb_encode(&w, &m) != 0 || !fits(t, ZT_RECORD_HEAD + w.size, time_us, thread))
        return -1;
    le64(record, time_us);
    le32(record + 8, thread);
    return put(t, record, ZT_RECORD_HEAD + w.size);
}

static void button(const struct zeph_button_record* b, struct zb_button_data* d) {
    int i;
    d->word0 = b->unused0;
    d->word1 = b->unused1;
    d->panel = zb_text_of(b->panel);
    d->control = zb_text_of(b->control);
    d->has_event = b->event != NULL;
    d->sub_count = 0;
    if (!b->event)
        return;
    /* The host's record holds only the texts; the counts beside them are what the texts say. */
    d->command = zb_text_of(b->event->command);
    d->value = zb_text_of(b->event->value);
    d->has_value = b->event->value && b->event->value[0];
    for (i = 0; i < ZB_EVENT_SUBS; ++i) {
        d->sub[i] = zb_text_of(b->event->sub[i]);
        d->sub_count += b->event->sub[i] && b->event->sub[i][0] ? 1 : 0;
    }
}

void zt_payload(int type, const void* data, int to_host, struct zb_payload* p) {
    /* The button's fields are filled below when it is one and read by nobody otherwise; leaving
       them be saves the field tracer a few hundred bytes of clearing a record. */
    memset(p, 0, offsetof(struct zb_payload, button));
    if (!data && type != 4) {
        p->kind = ZB_DATA_NULL;
        return;
    }
    if (type == 5) {
        p->kind = ZB_DATA_HANDED;
        p->value = (uint64_t)(uintptr_t)data;
    } else if (to_host ? type == 0 : type == 3) {
        p->kind = ZB_DATA_TEXT;
        p->text = zb_text_of(data);
    } else if (!to_host && (type == 1 || type == 6)) {
        const unsigned char* r = data;
        int i;
        p->kind = ZB_DATA_RECORD;
        for (i = 0; i < 4; ++i) {
            uint32_t w;
            memcpy(&w, r + 4 * i, 4);
            p->words[i] = (int32_t)w;
        }
        p->text = zb_text_of((const char*)r + 16);
    } else if (!to_host && type == 2) {
        p->kind = ZB_DATA_BUTTON;
        button(data, &p->button);
    } else {
        /* A timer id, or data of a type whose layout nobody promised: not followed. */
        p->kind = ZB_DATA_VALUE;
        p->value = (uint64_t)(int64_t)(intptr_t)data;
    }
}

void zt_result(const char* result, struct zb_return* r) {
    memset(r, 0, sizeof *r);
    r->value = (uint64_t)(uintptr_t)result;
    r->text = zb_text_of(result);
    if (result && r->text.size < ZB_TEXT_LIMIT)
        r->flags = ZB_TERMINATED;
}
