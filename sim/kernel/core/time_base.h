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

}  // namespace sim::kernel
