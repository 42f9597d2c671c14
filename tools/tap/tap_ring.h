/* The shared section between the field tap and its writer process (zeph_tap_writer.exe): a ring
 * of trace bytes the tap fills and the writer empties into the trace file. The section outlives
 * the host process as long as the writer holds it, so whatever the tap put there reaches the file
 * however the host ends.
 *
 * One producer (the tap, under its lock) and one consumer (the writer). head and tail count bytes
 * since the start, modulo 2^32; the bytes in the ring are head - tail, and byte n sits at
 * data[n % capacity]. The tap moves head only after the bytes are in place, the writer moves tail
 * only after they are in the file. Plain C, 32-bit Windows, both sides built by the same compiler.
 */
#ifndef ZEPH_TAP_RING_H
#define ZEPH_TAP_RING_H

#include <stddef.h>
#include <stdint.h>

#define TAP_RING_MAGIC 0x4e525a54u /* "TZRN" */
#define TAP_RING_VERSION 1u
#define TAP_RING_DATA 4096u /* the data starts a page in */

struct tap_ring {
    uint32_t magic, version;
    uint32_t capacity; /* a power of two */
    /* Handles in the writer's own table, put there by the tap before the writer runs: the host
     * process (to wait on), the trace file, and an event the tap sets when it finds the ring full
     * or wants it emptied. */
    uint32_t host, file, wake;
    uint32_t closed; /* the tap has written its last byte: drain and end */
    uint32_t failed; /* the file refused a write: the writer drops what comes, the tap stops */
    uint32_t pad0[8];
    uint32_t head; /* the tap's: alone on its cache line */
    uint32_t pad1[15];
    uint32_t tail; /* the writer's */
    uint32_t pad2[15];
};

typedef char(tap_ring_fits_its_page[sizeof(struct tap_ring) <= TAP_RING_DATA ? 1 : -1]);
typedef char(tap_ring_head_alone[offsetof(struct tap_ring, head) == 64 ? 1 : -1]);

static inline uint32_t tap_ring_load(const uint32_t* at) {
    return __atomic_load_n(at, __ATOMIC_ACQUIRE);
}

static inline void tap_ring_store(uint32_t* at, uint32_t value) {
    __atomic_store_n(at, value, __ATOMIC_RELEASE);
}

static inline unsigned char* tap_ring_data(struct tap_ring* r) {
    return (unsigned char*)r + TAP_RING_DATA;
}

#endif
