// Millisecond ticks and sleeping, for the plain-function layer of the device
// library.
#pragma once

#include <cstdint>

// Milliseconds of the system's wall clock (seconds * 1000 + microseconds /
// 1000 since the epoch); 0 when the clock cannot be read. The wall clock may
// jump when the system time is set: use differences only for coarse
// time-outs. Never blocks.
uint64_t aTime_GetMSTicks();

// Sleeps the calling thread for milliseconds; returns at once for 0. Sleeps
// in slices of at most aTIME_SLICE_US microseconds, resuming a slice that a
// signal interrupted, so the whole time is slept.
void aTime_MSSleep(unsigned long milliseconds);

// Longest single sleep, in microseconds.
constexpr unsigned long aTIME_SLICE_US = 999999;
