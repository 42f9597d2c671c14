/* The rings of the shared region (bridge_ring.h): counters that only grow, published with release
 * and read with acquire, and the sleep mark read across a full fence on both sides, so that a
 * WAKE is never missed: either the writer sees the mark, or the sleeper sees the bytes. */
#include "bridge_ring.h"

#include <string.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#endif

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
    l->side = (int)side;
    l->left_head = __atomic_load_n(&l->out->head, __ATOMIC_RELAXED);
    l->seen_tail = load_acquire(&l->out->tail);
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

/* The room from the reader's count as last read, when this end's counter is still as it left it
 * (else, or when that is not room enough, as the reader's count now says). */
static long room_to_write(struct zb_link* l, uint32_t head, size_t n) {
    uint32_t used = head - l->seen_tail;
    if (head != l->left_head || used > ZB_RING_SIZE || ZB_RING_SIZE - used < n) {
        l->seen_tail = load_acquire(&l->out->tail);
        used = head - l->seen_tail;
    }
    return used <= ZB_RING_SIZE ? (long)(ZB_RING_SIZE - used) : -1;
}

long zb_link_write(struct zb_link* l, const void* data, size_t n) {
    const uint32_t head = __atomic_load_n(&l->out->head, __ATOMIC_RELAXED);
    const long room = room_to_write(l, head, n);
    const uint32_t at = head & MASK;
    size_t first;
    if (room < 0)
        return -1;
    if (n > (size_t)room)
        n = (size_t)room;
    first = n < ZB_RING_SIZE - at ? n : ZB_RING_SIZE - at;
    memcpy(l->out_data + at, data, first);
    memcpy(l->out_data, (const unsigned char*)data + first, n - first);
    l->left_head = head + (uint32_t)n;
    store_release(&l->out->head, l->left_head);
    return (long)n;
}

static int ready_for(const struct zb_link* l, size_t want_room) {
    const long ready = want_room ? zb_link_room(l) : zb_link_readable(l);
    return ready < 0 || (want_room ? (size_t)ready >= want_room : ready > 0);
}

/* ---- Dozing on the region's word -------------------------------------------------------------
 * A futex on the shared file's page: the kernel keys it by the file, so the bench and the bridge
 * (a Linux process under Wine, whatever it believes) meet on it. The bridge makes the system call
 * itself: Wine offers no way to it, and its own waits go through its server. */
enum { ZB_FUTEX_WAIT = 0, ZB_FUTEX_WAKE = 1 };

#if defined(_WIN32) && defined(__i386__)
struct futex_time {
    int32_t sec, nsec;
};

static long futex(uint32_t* word, int op, uint32_t value, unsigned ms) {
    struct futex_time t;
    long result;
    t.sec = (int32_t)(ms / 1000);
    t.nsec = (int32_t)(ms % 1000 * 1000000);
    __asm__ volatile("int $0x80"
                     : "=a"(result)
                     : "0"(240L), "b"(word), "c"(op), "d"(value), "S"(op == ZB_FUTEX_WAIT ? &t : 0)
                     : "memory");
    return result;
}

/* Only Wine's processes are Linux processes; on Windows the call would fault. */
static int futex_possible(void) {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != NULL;
}
#elif defined(__linux__)
static long futex(uint32_t* word, int op, uint32_t value, unsigned ms) {
    struct timespec t;
    t.tv_sec = (time_t)(ms / 1000);
    t.tv_nsec = (long)(ms % 1000) * 1000000L;
    return syscall(SYS_futex, word, op, value, op == ZB_FUTEX_WAIT ? &t : NULL, NULL, 0);
}

static int futex_possible(void) {
    return 1;
}
#else
static long futex(uint32_t* word, int op, uint32_t value, unsigned ms) {
    (void)word, (void)op, (void)value, (void)ms;
    return -1;
}

static int futex_possible(void) {
    return 0;
}
#endif

int zb_link_offer_doze(struct zb_link* l) {
    /* A wake of nobody answers 0 where the call exists. */
    if (!futex_possible() || futex(&l->header->pad0[0], ZB_FUTEX_WAKE, 1, 0) != 0)
        return 0;
    __atomic_store_n(&l->header->can_doze[l->side], 1u, __ATOMIC_RELEASE);
    return 1;
}

static int both_doze(const struct zb_link* l) {
    return __atomic_load_n(&l->header->can_doze[0], __ATOMIC_ACQUIRE) &&
           __atomic_load_n(&l->header->can_doze[1], __ATOMIC_ACQUIRE);
}

int zb_link_wake_peer(struct zb_link* l, enum zb_wait what) {
    uint32_t seen;
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    seen = __atomic_load_n(l->peer_asleep, __ATOMIC_RELAXED);
    if ((seen & ~ZB_DOZING) != (uint32_t)what)
        return 0;
    if (!__atomic_compare_exchange_n(l->peer_asleep, &seen, (uint32_t)ZB_AWAKE, 0, __ATOMIC_ACQ_REL,
                                     __ATOMIC_RELAXED))
        return 0;
    if (!(seen & ZB_DOZING))
        return 1;
    futex(l->peer_asleep, ZB_FUTEX_WAKE, 1, 0);
    return 0;
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
 * 10 to 150 cycles, by processor): the longest is some 20 microseconds.
 *
 * After the spin, an end hands its processor to whoever else may run, the other end first of all,
 * for some 100 microseconds more before it sleeps on its pipe. A sleep costs a WAKE on the pipe
 * and, on the bridge's side, a round trip through Wine's server to block and another to be woken,
 * tens of microseconds on a busy machine; a yield is one system call (Wine's too), which
 * returns at once when the processor has nothing else to run. */
enum { SPIN_MAX = 60000, SPIN_PROBE_EVERY = 128, YIELD_CYCLES = 300000 };

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

static void yield_processor(void) {
#ifdef _WIN32
    SwitchToThread();
#else
    sched_yield();
#endif
}

int zb_link_doze(struct zb_link* l, size_t want_room, unsigned ms) {
    const uint32_t mark = (uint32_t)(want_room ? ZB_WAIT_ROOM : ZB_WAIT_DATA) | ZB_DOZING;
    uint32_t expected = mark;
    if (!both_doze(l))
        return -1;
    if (__atomic_load_n(&l->header->closing, __ATOMIC_ACQUIRE))
        return 0;
    __atomic_store_n(l->asleep, mark, __ATOMIC_SEQ_CST);
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    if (!ready_for(l, want_room))
        futex(l->asleep, ZB_FUTEX_WAIT, mark, ms);
    /* Still marked: nobody woke it (the time ran out, or the word had changed). Else the peer took
     * the mark away and wakes it, or has. */
    if (__atomic_compare_exchange_n(l->asleep, &expected, (uint32_t)ZB_AWAKE, 0, __ATOMIC_ACQ_REL,
                                    __ATOMIC_RELAXED))
        return ready_for(l, want_room);
    return 1;
}

int zb_link_spin(struct zb_link* l, size_t want_room) {
    uint64_t start = cycles();
    const uint32_t spin = ++l->waits % SPIN_PROBE_EVERY == 0 ? SPIN_MAX : l->spin;
    uint64_t spent = 0;
    while (spent <= spin) {
        if (ready_for(l, want_room)) {
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
    start = cycles();
    do {
        yield_processor();
        if (ready_for(l, want_room))
            return 1;
    } while (cycles() - start < YIELD_CYCLES);
    return 0;
}
