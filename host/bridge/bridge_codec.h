/* The one codec of the bridge's frames (bridge_protocol.h), compiled into the bench and into
 * zeph-bridge.exe alike, so the two ends cannot disagree on a field.
 *
 * Encoding fills a zb_writer with one whole frame (size, kind, fields); what is then done with
 * the bytes is the caller's: a pipe, a file (fwrite(w.data, 1, w.size, f)) or memory. Decoding
 * reads frames from any byte source through zb_input and takes a frame's body apart into a
 * zb_message whose texts point into that body. Every length is checked against what is there:
 * a hostile frame is an error, never a read out of bounds, and no buffer grows beyond the bytes
 * that actually arrived, whatever a size field claims. Plain C, no state of its own. */
#ifndef ZEPH_BRIDGE_CODEC_H
#define ZEPH_BRIDGE_CODEC_H

#include "bridge_protocol.h"

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A text on the wire: size bytes without a NUL; data is null for a null pointer. */
struct zb_text {
    const char* data;
    uint32_t size;
};

/* A C text read no further than ZB_TEXT_LIMIT; null stays null. */
struct zb_text zb_text_of(const char* text);

/* ---- Data kinds (enum zb_data) --------------------------------------------------------------- */
struct zb_button_data {
    int32_t word0, word1;
    struct zb_text panel, control;
    uint32_t has_event; /* the fields below only when it has */
    struct zb_text command, value;
    int32_t sub_count;
    uint32_t has_value;
    struct zb_text sub[ZB_EVENT_SUBS];
};

struct zb_payload {
    uint32_t kind;
    struct zb_text text;          /* TEXT; RECORD: the text from byte 16 */
    int32_t words[4];             /* RECORD */
    uint64_t value;               /* VALUE (an i64), HANDED (the token) */
    struct zb_button_data button; /* BUTTON */
};

/* ---- Message kinds (enum zb_kind) ------------------------------------------------------------ */
struct zb_hello {
    uint32_t magic, version, status, error;
    struct zb_text what;
};
struct zb_create {
    uint32_t dll; /* CREATE_IN only; CREATE is DLL 0 */
    uint32_t host;
    struct zb_text path;
};
struct zb_call {
    uint64_t target;
    int32_t type;
    struct zb_payload data;
};
struct zb_destroy {
    uint64_t handle;
};
struct zb_return {
    uint64_t value;
    uint32_t flags;
    struct zb_text text;
};
struct zb_fault {
    uint32_t code;
    uint64_t address;
    uint32_t access;
    uint64_t target;
    struct zb_text where;
};
struct zb_debug {
    struct zb_text text;
};
struct zb_load {
    struct zb_text path;
};
struct zb_share {
    struct zb_text path;
    uint32_t size;
    uint32_t one_way;
};

/* Any one message; HEAP and WAKE have no fields, POST and QUEUE have CALL's. */
struct zb_message {
    uint32_t kind;
    union {
        struct zb_hello hello;
        struct zb_create create; /* CREATE and CREATE_IN */
        struct zb_call call;     /* CALL, POST and QUEUE */
        struct zb_destroy destroy;
        struct zb_return ret;
        struct zb_fault fault;
        struct zb_debug debug;
        struct zb_load load;
        struct zb_share share;
        uint32_t one_way; /* ONE_WAY */
    } u;
};

/* ---- Encoding -------------------------------------------------------------------------------- */
struct zb_writer {
    unsigned char* data;
    size_t size, cap;
    int fixed;  /* a caller's buffer that never grows: fault reports use no heap */
    int failed; /* out of memory, or out of room in a fixed buffer */
};

/* A writer that grows on the heap (zb_writer_free lets go), or one over a caller's buffer. */
void zb_writer_init(struct zb_writer* w);
void zb_writer_fixed(struct zb_writer* w, void* buffer, size_t cap);
void zb_writer_free(struct zb_writer* w);

/* Each replaces what w held with one whole frame: 0, or -1 when it could not be built. */
int zb_encode_hello(struct zb_writer* w, const struct zb_hello* m);
int zb_encode_create(struct zb_writer* w, const struct zb_create* m);
int zb_encode_call(struct zb_writer* w, const struct zb_call* m);
int zb_encode_destroy(struct zb_writer* w, const struct zb_destroy* m);
int zb_encode_return(struct zb_writer* w, const struct zb_return* m);
int zb_encode_fault(struct zb_writer* w, const struct zb_fault* m);
int zb_encode_debug(struct zb_writer* w, const struct zb_debug* m);
int zb_encode_heap(struct zb_writer* w);
int zb_encode_load(struct zb_writer* w, const struct zb_load* m);
int zb_encode_create_in(struct zb_writer* w, const struct zb_create* m);
int zb_encode_share(struct zb_writer* w, const struct zb_share* m);
int zb_encode_wake(struct zb_writer* w);
int zb_encode_one_way(struct zb_writer* w, uint32_t one_way);
int zb_encode_post(struct zb_writer* w, const struct zb_call* m);
int zb_encode_queue(struct zb_writer* w, const struct zb_call* m);
/* By m->kind; -1 for a kind this protocol does not have. */
int zb_encode(struct zb_writer* w, const struct zb_message* m);

/* ---- Decoding -------------------------------------------------------------------------------- */
/* Each takes a frame's body (what follows its size and kind) apart: 0, or -1 when it is not a
 * well-formed body of that kind (a field past its end, bytes left over, an unknown data kind, a
 * flag other than 0 or 1, a press with more sub-fields than it has room for). What decodes
 * encodes back to the same bytes. */
int zb_decode_hello(const void* body, size_t size, struct zb_hello* m);
int zb_decode_create(const void* body, size_t size, struct zb_create* m);
int zb_decode_call(const void* body, size_t size, struct zb_call* m);
int zb_decode_destroy(const void* body, size_t size, struct zb_destroy* m);
int zb_decode_return(const void* body, size_t size, struct zb_return* m);
int zb_decode_fault(const void* body, size_t size, struct zb_fault* m);
int zb_decode_debug(const void* body, size_t size, struct zb_debug* m);
int zb_decode_heap(const void* body, size_t size);
int zb_decode_load(const void* body, size_t size, struct zb_load* m);
int zb_decode_create_in(const void* body, size_t size, struct zb_create* m);
int zb_decode_share(const void* body, size_t size, struct zb_share* m);
int zb_decode_wake(const void* body, size_t size);
int zb_decode_one_way(const void* body, size_t size, uint32_t* one_way);
int zb_decode_post(const void* body, size_t size, struct zb_call* m);
/* By kind; -1 for a kind this protocol does not have. */
int zb_decode(uint32_t kind, const void* body, size_t size, struct zb_message* m);

/* ---- Frames from a byte source --------------------------------------------------------------- */
/* Reads up to size bytes: the count, 0 at the end, negative on the source's own failure (which
 * the caller knows the reason for, a time limit say). */
typedef int (*zb_read_fn)(void* context, void* buffer, size_t size);

struct zb_input {
    zb_read_fn read;
    void* context;
    size_t pos, len;
    unsigned char buffer[65536];
};

struct zb_frame {
    uint32_t kind;
    unsigned char* body; /* the frame's own, zb_frame_free lets go */
    size_t size;
    /* A body that fits is read here, not on the heap: most calls' do. The frame is not to be
     * copied while its body is in use. */
    unsigned char small[320];
};

enum zb_read_result {
    ZB_READ_FRAME = 1,    /* a whole frame */
    ZB_READ_END = 0,      /* the source ended between frames */
    ZB_READ_CUT = -1,     /* the source ended inside a frame */
    ZB_READ_GARBLED = -2, /* a size no frame of this protocol has */
    ZB_READ_FAILED = -3,  /* the source failed, or memory ran out */
};

void zb_input_init(struct zb_input* in, zb_read_fn read, void* context);
/* The next frame into f (which then owns a body, also on failure: free it either way). */
enum zb_read_result zb_read_frame(struct zb_input* in, struct zb_frame* f);
void zb_frame_free(struct zb_frame* f);

/* A byte source over memory, for a trace file read whole, tests and fuzzing. */
struct zb_memory {
    const unsigned char* data;
    size_t size, pos;
};
int zb_read_memory(void* memory, void* buffer, size_t size);

#ifdef __cplusplus
}
#endif

#endif
