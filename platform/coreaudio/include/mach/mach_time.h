#pragma once
// The function and the struct share a name, as callers expect; a system header may do that.
#pragma GCC system_header

// Host time: on this platform one host tick is one nanosecond of CLOCK_MONOTONIC.

#include <mach/kern_return.h>

#include <cstdint>

struct mach_timebase_info {
    uint32_t numer;
    uint32_t denom;
};
typedef struct mach_timebase_info* mach_timebase_info_t;
typedef struct mach_timebase_info mach_timebase_info_data_t;

extern "C" {

// Fills in the tick-to-nanosecond ratio (1/1 here). Any thread.
kern_return_t mach_timebase_info(mach_timebase_info_t info);
// Current host time in ticks: CLOCK_MONOTONIC nanoseconds. Any thread; no allocation.
uint64_t mach_absolute_time(void);

}  // extern "C"
