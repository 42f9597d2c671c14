/* The trace file: what a host and a component said to each other, as the bridge's frames
 * (bridge_codec.h) behind a header. Written by the tap inside a panel host (C, no C++ runtime)
 * and by the bench; read by the bench alone (trace_reader.h).
 *
 *   header: u32 magic, u32 version, u32 tap version, u32 pid, text component file name,
 *           u64 component size, u64 component time stamp (Unix seconds), u64 start (Unix us),
 *           u64 the process's creation (Unix us, 0 unknown; from version 2 on: a pid alone does
 *           not tell processes apart where it repeats, as under Wine)
 *   record: u64 time (us since the start), u32 thread id, then one frame (u32 size, u32 kind, ...)
 *
 * Integers are little-endian and texts are as on the bridge's wire. Who made a call follows from
 * its target: the host id of the CREATE (component to host) or the handle its RETURN gave (host
 * to component). A release carries the released pointer as a HANDED token, so that whose buffer
 * it was is told by the RETURN that handed it out. Writing is not thread-safe: a caller that
 * records from several threads serialises the calls. */
#ifndef ZEPH_TRACE_FORMAT_H
#define ZEPH_TRACE_FORMAT_H

#include "bridge_codec.h"

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ZT_MAGIC 0x4352545aU /* "ZTRC" */
#define ZT_VERSION 2u
#define ZT_DEFAULT_LIMIT (256ull * 1024u * 1024u)
/* The last record of a trace stopped at its size limit: body u64 the limit. Never a bridge kind. */
#define ZT_LIMIT_KIND 0x100u
#define ZT_RECORD_HEAD 12u

struct zt_header {
    uint32_t tap_version;
    uint32_t pid;
    struct zb_text component; /* the file name the host loaded */
    uint64_t component_size;
    uint64_t component_time;
    uint64_t started_us;
    uint64_t process_us; /* when the process was created; 0 when unknown */
};

/* Writes all of it through to the file: 0, or nonzero when it could not. */
typedef int (*zt_write_fn)(void* context, const void* data, size_t size);

struct zt_writer {
    zt_write_fn write;
    void* context;
    uint64_t limit, written;
    int stopped; /* the limit was reached: the last record says so, nothing follows */
    int failed;  /* a write failed (a full or missing disk): nothing more is tried */
    struct zb_writer frame;
    unsigned char* record; /* head and frame, so that each record is one write */
    size_t record_cap;
};

/* limit 0 is the default. Nothing is written yet. */
void zt_writer_init(struct zt_writer* t, zt_write_fn write, void* context, uint64_t limit);
void zt_writer_free(struct zt_writer* t);
/* 0 when written; -1 when the trace has stopped or failed. Never fatal to the caller. */
int zt_write_header(struct zt_writer* t, const struct zt_header* h);
int zt_write(struct zt_writer* t, uint64_t time_us, uint32_t thread, const struct zb_message* m);
/* The same for a fault, with no heap: what a fault handler can still do. */
int zt_write_fault(struct zt_writer* t, uint64_t time_us, uint32_t thread,
                   const struct zb_fault* f);

/* The data of a call as a frame carries it, read from the pointer the callee was given. to_host:
 * the component calls its host (type 0 a command text, 5 a release of the host's reply);
 * otherwise a notification: 1 and 6 a record, 2 a button, 3 a text, 4 a value, 5 a release of
 * the component's answer. Data of other types is not read: its pointer goes as a value. */
void zt_payload(int type, const void* data, int to_host, struct zb_payload* p);
/* What a callback returned: its address, whether it ended within the text limit, its text. */
void zt_result(const char* result, struct zb_return* r);

#ifdef __cplusplus
}
#endif

#endif
