// Conversions between Windows time values and the stand-in clock.
#pragma once
#include <cstdint>

#include <wdm.h>

namespace sim::kernel {

// System time (100 ns since 1601-01-01 UTC) at clock time 0.
int64_t BootSystemTime();

// Clock deadline of a Windows due time or time-out: negative = relative
// interval, positive = absolute system time, zero = now; null = infinite.
int64_t DeadlineFromDueTime(const LARGE_INTEGER* dueTime);

// The first tick of the timer resolution in force at or after t: when a
// timer or a wait time-out due at t expires.
int64_t RoundUpToTick(int64_t t);

}  // namespace sim::kernel
