/* The bridge's own copies of the host's replies, and the live components: what the relay
 * (bridge_core.c) must remember between messages. Single-threaded, like the callback interface.
 *
 * Every reply the bench's host hands out is copied into a buffer of this process; a release of
 * that buffer goes back to the bench as the host's own pointer (its token), so the host sees
 * exactly the releases the component makes, foreign and repeated ones included. */
#ifndef ZEPH_BRIDGE_LEDGER_H
#define ZEPH_BRIDGE_LEDGER_H

#include <stddef.h>
#include <stdint.h>

/* A copy of the reply for the component. A query's reply must come back before the call from
 * the bench returns; any other (PS) stays the host's and one copy per host pointer is reused.
 * Null when memory ran out. */
char* zb_ledger_hand_out(uint64_t token, const char* text, size_t n, int query);
/* The host's token for a buffer the component releases (again the same for a repeated release);
 * 0 when it is none this process handed out. A query's copy is freed on its first release. */
uint64_t zb_ledger_release(char* buffer);
/* The call from the bench has returned: query replies not handed back are dropped, as the host
 * drops its own. */
void zb_ledger_end_call(void);

struct zb_component {
    void* object;
    void* host;
    int dead; /* it faulted: never called again */
};
struct zb_component* zb_component_find(uint64_t handle);
int zb_component_add(void* object, void* host);
/* Forgets c (which the caller has copied); the pointer is no longer valid. */
void zb_component_remove(struct zb_component* c);

#endif
