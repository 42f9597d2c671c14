/* What the relay's files share: the relay itself and its handlers (bridge_core.c), its frames to
 * and from the bench (bridge_transport.c) and the records it rebuilds (bridge_records.c). Private
 * to the bridge, as bridge_ledger.h is. Single-threaded, like the callback interface. */
#ifndef ZEPH_BRIDGE_RELAY_H
#define ZEPH_BRIDGE_RELAY_H

#include "bridge_codec.h"
#include "bridge_core.h"

#include <stddef.h>
#include <stdint.h>

/* ---- bridge_core.c --------------------------------------------------------------------------- */
extern const struct zb_platform* g_p;
extern int g_reading_answer; /* a fault now is in reading what the component returned */

/* A NUL-terminated copy on the heap, or null. */
char* zb_copy_of(struct zb_text t);

/* ---- bridge_transport.c ---------------------------------------------------------------------- */
extern struct zb_writer g_out; /* building a frame never nests, so one buffer serves every call */
extern struct zb_input g_in;   /* the pipe: every frame, or only WAKEs once the region is shared */
extern uint32_t g_one_way;     /* SHARE's one-way set */

/* Reads the bench's pipe for g_in. */
int zb_read_input(void* context, void* buffer, size_t size);
/* Sends what the encoder built; a bench that is gone (or a frame that could not be built) ends
 * the bridge, since nobody is left to serve. */
void zb_send(int encoded);
void zb_send_return(uint64_t value, uint32_t flags, struct zb_text text);
/* The next message, its texts pointing into *f: 1, or 0 at the input's end. Anything that is not
 * this protocol ends the process (exit 3). */
int zb_receive(struct zb_frame* f, struct zb_message* m);
/* SHARE's handler: the RETURN still goes on the pipe; the bench's next frame comes through the
 * ring. */
void zb_serve_share(const struct zb_message* m);

/* ---- bridge_records.c ------------------------------------------------------------------------ */
/* Where a record is rebuilt: the caller's scratch when it fits (most do: no heap on the way of
 * a notification), else the heap, then in *owned. Zeroed either way. */
struct place_for {
    void* scratch;
    size_t size;
};

/* Rebuilds what the bench's pointer pointed at; *owned is what to free after the call. */
void* zb_build_data(const struct zb_payload* d, struct place_for* where, void** owned);

#endif
