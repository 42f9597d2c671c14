/* The times of the field tap's records: µs since the tap was loaded. */
#include "tap_clock.h"

#include "tap_win32.h"

uint64_t tap_divide(uint64_t n, uint32_t d) {
    uint64_t q = 0, r = 0;
    int i;
    if (d > 0 && d < 0x10000u) {
        /* Every record's time: 16 bits a step in 32-bit divisions, the remainder staying below d.
         */
        uint32_t rest = 0;
        for (i = 48; i >= 0; i -= 16) {
            const uint32_t part = rest << 16 | (uint32_t)(n >> i & 0xFFFFu);
            q = q << 16 | part / d;
            rest = part % d;
        }
        return q;
    }
    for (i = 63; i >= 0; --i) {
        r = r << 1 | (n >> i & 1);
        if (r >= d) {
            r -= d;
            q |= (uint64_t)1 << i;
        }
    }
    return q;
}

uint64_t tap_unix_us(uint64_t file_time) {
    return tap_divide(file_time, 10u) - 11644473600000000ull; /* 100 ns since 1601 */
}

static int64_t g_start;
static uint32_t g_frequency, g_ticks_per_us; /* g_ticks_per_us when the frequency is whole µs */
static int g_shift;                          /* the counter's ticks are shifted down this much */

static uint64_t now_us(void) {
    int64_t t = 0;
    uint64_t ticks, seconds;
    QueryPerformanceCounter(&t);
    ticks = (uint64_t)(t - g_start) >> g_shift;
    if (g_ticks_per_us)
        return tap_divide(ticks, g_ticks_per_us);
    if (!g_frequency)
        return 0;
    /* A frequency of no whole number of ticks a µs (3.579545 MHz): seconds, then the rest. */
    seconds = tap_divide(ticks, g_frequency);
    return seconds * 1000000u + tap_divide((ticks - seconds * g_frequency) * 1000000u, g_frequency);
}

/* The time of a record, under the tap's lock. The performance counter costs a call into the system
 * (a tenth of a µs under Wine, a fifth of what the tap costs a notification); the processor's time
 * stamp counter costs nothing. So a notification's own records, and any record outside one, read
 * the counter and anchor there when the last anchor is over a millisecond old; every other record
 * adds the time stamp counter's ticks since the anchor, at a rate measured against the counter
 * after 50 ms, then about each second. Long gaps (2^32 ticks, over a second) and the first 50 ms
 * read the counter. */
static uint64_t g_anchor_us, g_anchor_tsc, g_rate_us, g_rate_tsc, g_last_us;
static uint32_t g_tsc_per_us, g_tsc_per_ms;

static uint64_t tsc(void) {
    uint32_t low, high;
    __asm__ volatile("rdtsc" : "=a"(low), "=d"(high));
    return (uint64_t)high << 32 | low;
}

uint64_t tap_stamp(int anchor) {
    uint64_t us = 0, ticks;
    if (g_tsc_per_us) {
        ticks = tsc() - g_anchor_tsc;
        if (ticks < (anchor ? g_tsc_per_ms : 0x100000000ull))
            us = g_anchor_us + (uint32_t)ticks / g_tsc_per_us;
    }
    if (!us) {
        us = now_us();
        ticks = tsc();
        g_anchor_us = us;
        g_anchor_tsc = ticks;
        if (!g_rate_tsc || us - g_rate_us >= (g_tsc_per_us ? 1000000u : 50000u)) {
            if (g_rate_tsc && us - g_rate_us <= 0xFFFFFFFFu && ticks > g_rate_tsc) {
                const uint64_t rate = tap_divide(ticks - g_rate_tsc, (uint32_t)(us - g_rate_us));
                g_tsc_per_us = rate > 0 && rate <= 0xFFFFFFFFu ? (uint32_t)rate : 0;
                g_tsc_per_ms = rate * 1000u <= 0xFFFFFFFFu ? (uint32_t)(rate * 1000u) : 0xFFFFFFFFu;
            }
            g_rate_us = us;
            g_rate_tsc = ticks;
        }
    }
    /* Times never run backwards, whichever clock gave them. */
    if (us < g_last_us)
        us = g_last_us;
    g_last_us = us;
    return us;
}

void tap_clock_start(void) {
    int64_t frequency = 0;
    uint64_t per_us;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&g_start);
    while (frequency > 0xFFFFFFFF) { /* above 4 GHz: half its resolution is plenty */
        frequency >>= 1;
        ++g_shift;
    }
    g_frequency = (uint32_t)frequency;
    per_us = tap_divide((uint64_t)frequency, 1000000u);
    if (per_us * 1000000u == (uint64_t)frequency)
        g_ticks_per_us = (uint32_t)per_us;
}
