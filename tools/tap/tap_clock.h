/* The times of the field tap's records, and the clock's arithmetic. Plain C, as the tap. */
#ifndef ZEPH_TAP_CLOCK_H
#define ZEPH_TAP_CLOCK_H

#include <stdint.h>

/* Once, when the tap is loaded: the start of every time. */
void tap_clock_start(void);
/* µs since then, never less than the last; anchor: read the system's counter (a notification's
 * own records and any outside one), else the processor's time stamp counter since the last
 * anchor. Under the caller's lock. */
uint64_t tap_stamp(int anchor);

/* 64 by 32 bits without the C runtime's helper, which msvcrt.dll does not promise. */
uint64_t tap_divide(uint64_t n, uint32_t d);
/* A Windows file time (100 ns since 1601) as µs since 1970. */
uint64_t tap_unix_us(uint64_t file_time);

#endif
