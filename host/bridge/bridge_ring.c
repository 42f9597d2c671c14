/* The rings of the shared region (bridge_ring.h): counters that only grow, published with release
 * and read with acquire, and the sleep mark read across a full fence on both sides, so that a
 * WAKE is never missed: either the writer sees the mark, or the sleeper sees the bytes. */
#include "bridge_ring.h"

#include <string.h>

#define MASK (ZB_RING_SIZE - 1u)

typedef char zb_ring_size_is_a_power_of_two[(ZB_RING_SIZE & MASK) == 0 ? 1 : -1];

static uint32_t load_acquire(const uint32_t* p) {
    return __atomic_load_n(p, __ATOMIC_ACQUIRE);
}

static void store_release(uint32_t* p, uint32_t v) {
    __atomic_store_n(p, v, __ATOMIC_RELEASE);
}

void zb_region_init(void* region) {
    struct zb_region_header* h = region;
    h->ring_size = ZB_RING_SIZE;
    h->answer = 0;
    store_release(&h->magic, ZB_REGION_MAGIC);
}

int zb_link_init(struct zb_link* l, void* region, enum zb_side side) {
    struct zb_region_header* h = region;
    unsigned char* rings = (unsigned char*)(h + 1);
    if (load_acquire(&h->magic) != ZB_REGION_MAGIC || h->ring_size != ZB_RING_SIZE)
        return -1;
    l->header = h;
    l->in = &h->ring[side == ZB_BENCH ? 1 : 0];
    l->out = &h->ring[side == ZB_BENCH ? 0 : 1];
    l->in_data = rings + (side == ZB_BENCH ? ZB_RING_SIZE : 0);
    l->out_data = rings + (side == ZB_BENCH ? 0 : ZB_RING_SIZE);
    l->spin = 0;
    l->waits = 0;
    l->asleep = &h->asleep[side][0];
    l->peer_asleep = &h->asleep[side == ZB_BENCH ? 1 : 0][0];
    return 0;
}

long zb_link_readable(const struct zb_link* l) {
    const uint32_t used =
        load_acquire(&l->in->head) - __atomic_load_n(&l->in->tail, __ATOMIC_RELAXED);
    return used <= ZB_RING_SIZE ? (long)used : -1;
}

long zb_link_room(const struct zb_link* l) {
    const uint32_t used =
        __atomic_load_n(&l->out->head, __ATOMIC_RELAXED) - load_acquire(&l->out->tail);
    return used <= ZB_RING_SIZE ? (long)(ZB_RING_SIZE - used) : -1;
}

long zb_link_read(struct zb_link* l, void* buffer, size_t n) {
    const long ready = zb_link_readable(l);
    const uint32_t tail = __atomic_load_n(&l->in->tail, __ATOMIC_RELAXED);
    const uint32_t at = tail & MASK;
    size_t first;
    if (ready < 0)
        return -1;
    if (n > (size_t)ready)
        n = (size_t)ready;
    first = n < ZB_RING_SIZE - at ? n : ZB_RING_SIZE - at;
    memcpy(buffer, l->in_data + at, first);
    memcpy((unsigned char*)buffer + first, l->in_data, n - first);
    store_release(&l->in->tail, tail + (uint32_t)n);
    return (long)n;
}

long zb_link_write(struct zb_link* l, const void* data, size_t n) {
    const long room = zb_link_room(l);
    const uint32_t head = __atomic_load_n(&l->out->head, __ATOMIC_RELAXED);
    const uint32_t at = head & MASK;
    size_t first;
    if (room < 0)
        return -1;
    if (n > (size_t)room)
        n = (size_t)room;
    first = n < ZB_RING_SIZE - at ? n : ZB_RING_SIZE - at;
    memcpy(l->out_data + at, data, first);
    memcpy(l->out_data, (const unsigned char*)data + first, n - first);
    store_release(&l->out->head, head + (uint32_t)n);
    return (long)n;
}

int zb_link_wake_peer(struct zb_link* l, enum zb_wait what) {
    uint32_t expected = (uint32_t)what;
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    if (__atomic_load_n(l->peer_asleep, __ATOMIC_RELAXED) != expected)
        return 0;
    return __atomic_compare_exchange_n(l->peer_asleep, &expected, (uint32_t)ZB_AWAKE, 0,
                                       __ATOMIC_ACQ_REL, __ATOMIC_RELAXED);
}

int zb_link_sleep(struct zb_link* l, size_t want_room) {
    long ready;
    __atomic_store_n(l->asleep, (uint32_t)(want_room ? ZB_WAIT_ROOM : ZB_WAIT_DATA),
                     __ATOMIC_SEQ_CST);
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    ready = want_room ? zb_link_room(l) : zb_link_readable(l);
    /* A broken ring is looked at too: the reader then says so. */
    if (ready < 0 || (want_room ? (size_t)ready >= want_room : ready > 0)) {
        zb_link_awake(l);
        return 0;
    }
    return 1;
}

void zb_link_awake(struct zb_link* l) {
    __atomic_store_n(l->asleep, (uint32_t)ZB_AWAKE, __ATOMIC_RELEASE);
}

/* A spin pays when the other end runs on a processor of its own and turns a call around within a
 * few microseconds; on a machine with more work than processors it only takes time from the end
 * it waits for (and under a hypervisor a spinning processor may be taken away). So each end spins
 * as long as spinning lately paid: a spin that ended in a sleep halves the next one, one that found
 * the ring ready lets the next be twice as long as it took, and now and then a full spin tries
 * whether spinning pays again. Spins are timed by the processor's cycle counter (a pause lasts from
 * 10 to 150 cycles, by processor): the longest is some 20 microseconds. */
enum { SPIN_MAX = 60000, SPIN_PROBE_EVERY = 128 };

static uint64_t cycles(void) {
#if defined(__i386__) || defined(__x86_64__)
    return __builtin_ia32_rdtsc();
#else
    return 0;
#endif
}

static void pause_briefly(void) {
#if defined(__i386__) || defined(__x86_64__)
    __builtin_ia32_pause();
#endif
}

int zb_link_spin(struct zb_link* l, size_t want_room) {
    const uint64_t start = cycles();
    const uint32_t spin = ++l->waits % SPIN_PROBE_EVERY == 0 ? SPIN_MAX : l->spin;
    uint64_t spent = 0;
    while (spent <= spin) {
        const long ready = want_room ? zb_link_room(l) : zb_link_readable(l);
        if (ready < 0 || (want_room ? (size_t)ready >= want_room : ready > 0)) {
            const uint64_t wanted = 2 * spent + 1000;
            if (wanted > l->spin)
                l->spin = wanted < SPIN_MAX ? (uint32_t)wanted : SPIN_MAX;
            return 1;
        }
        if (!spin)
            break;
        pause_briefly();
        spent = cycles() - start;
    }
    l->spin /= 2;
    return 0;
}
