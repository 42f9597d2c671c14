/* The region the bench and the bridge both map once SHARE has set it up (bridge_protocol.h): a
 * header, then two rings of bytes, one each way, which carry the same frames the pipes would.
 * Each ring is a byte stream: a frame larger than the ring passes through in pieces.
 *
 * A side that finds nothing to read (or no room to write) spins a little, then says it is asleep
 * and blocks on its pipe; whoever then writes to its ring, or makes room in the ring it writes,
 * sends it a WAKE on that pipe. The pipes stay what tells either end that the other has gone.
 * Where both ends can block on a word of the region itself (a Linux futex: the bench, and the
 * bridge under Wine), a side dozes there instead, for a while, and is woken without the pipe or,
 * on the bridge's side, Wine's server; a doze that runs out falls back to the pipe.
 *
 * Neither end trusts what the other wrote: counters that do not add up are a broken ring, never a
 * read or write out of bounds. Plain C with the compiler's atomics, for the bench and for the
 * bridge (mingw) alike. */
#ifndef ZEPH_BRIDGE_RING_H
#define ZEPH_BRIDGE_RING_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ZB_REGION_MAGIC 0x4e47525aU  /* "ZRGN" */
#define ZB_REGION_ANSWER 0x4b4f525aU /* "ZROK": the bridge's word that it sees the bench's */
#define ZB_RING_SIZE 0x40000u        /* 256 KiB, a power of two */

enum zb_side { ZB_BENCH = 0, ZB_BRIDGE = 1 };
/* What a sleeping side waits for: bytes in the ring it reads, or room in the ring it writes. */
enum zb_wait { ZB_AWAKE = 0, ZB_WAIT_DATA = 1, ZB_WAIT_ROOM = 2 };
/* Beside what it waits for: the side dozes on its word in the region, not on its pipe. */
#define ZB_DOZING 4u

/* Each counter on a cache line of its own: the two ends write them from two cores. */
struct zb_ring_control {
    uint32_t head; /* bytes ever written, by the writer */
    uint32_t pad0[15];
    uint32_t tail; /* bytes ever read, by the reader */
    uint32_t pad1[15];
};

struct zb_region_header {
    uint32_t magic, ring_size, answer;
    /* The bench's own, for the processes of the bench it is lent to in turn: its calls in
     * progress, and the next number for a host. */
    uint32_t bench_calls, next_host;
    /* By side: it can block on and wake a word of the region (zb_link_doze). */
    uint32_t can_doze[2];
    /* The bench is letting the bridge go: a doze ends at once, on the pipe, which ends. */
    uint32_t closing;
    /* The bridge's one-way set as the bench last told it (SHARE, ONE_WAY), whichever process of
     * the bench told it. */
    uint32_t one_way;
    uint32_t pad0[7];
    uint32_t asleep[2][16]; /* by side: blocked on its pipe until a WAKE (enum zb_wait) */
    /* ring[0] carries the bench's frames to the bridge, ring[1] the bridge's to the bench */
    struct zb_ring_control ring[2];
};

#define ZB_REGION_SIZE (sizeof(struct zb_region_header) + 2 * (size_t)ZB_RING_SIZE)

/* One end's view of the region. */
struct zb_link {
    struct zb_region_header* header;
    struct zb_ring_control *in, *out;
    unsigned char *in_data, *out_data;
    uint32_t* asleep;      /* this side's */
    uint32_t* peer_asleep; /* the other's */
    uint32_t spin;         /* cycles this end spins before it sleeps (zb_link_spin) */
    unsigned waits;
    int side;
    /* The reader's count as last read, and this end's own as it left it: while the counter is
     * still as left, a write that fits in the room seen then needs not read the reader's line. */
    uint32_t seen_tail, left_head;
};

/* The bench lays the header out in a region of ZB_REGION_SIZE zeroed bytes. */
void zb_region_init(void* region);
/* This side's view; 0, or -1 when the header is not a region of this size. */
int zb_link_init(struct zb_link* l, void* region, enum zb_side side);

/* Bytes waiting in the ring this side reads; -1 when its counters do not add up. */
long zb_link_readable(const struct zb_link* l);
/* Room in the ring this side writes; -1 likewise. */
long zb_link_room(const struct zb_link* l);
/* Moves up to n bytes out of (into) the ring: the count, or -1 for a broken ring. */
long zb_link_read(struct zb_link* l, void* buffer, size_t n);
long zb_link_write(struct zb_link* l, const void* data, size_t n);
/* After a write (the peer may wait for data) or a read (for room): 1 when the other side sleeps
 * waiting for that and must be sent a WAKE (it is no longer marked asleep then, so one WAKE is
 * sent for each sleep). A dozing peer is woken here and needs no WAKE. */
int zb_link_wake_peer(struct zb_link* l, enum zb_wait what);
/* Marks this side asleep, then looks again: 1 when it may block on its pipe (nothing to read
 * when want_room is 0, else less room than want_room), 0 when it must look at the ring (and is
 * marked awake again). */
int zb_link_sleep(struct zb_link* l, size_t want_room);
void zb_link_awake(struct zb_link* l);
/* Spins a little for what zb_link_sleep would look for, as long as spinning lately paid: 1 as
 * soon as it is there. */
int zb_link_spin(struct zb_link* l, size_t want_room);
/* Says that this end can doze (on the region's word, without its pipe) when it can: 1 if so. */
int zb_link_offer_doze(struct zb_link* l);
/* Marks this side dozing, looks again, and blocks on its word for up to ms milliseconds unless the
 * peer wakes it first: 1 when there may be something to look at, 0 when the time ran out with
 * nothing (or the bench is closing), -1 when the two ends cannot doze. Awake again on return. */
int zb_link_doze(struct zb_link* l, size_t want_room, unsigned ms);

#ifdef __cplusplus
}
#endif

#endif
