// Internal to the stand-ins: tests, tools and the fuzzer use the public headers instead.
// Internal link between ExSetTimerResolution and the timer thread.
#pragma once
#include <cstddef>

namespace sim::kernel {

// Lets the timer thread recompute its next tick after a resolution change.
void TimerResolutionChanged();

// True if a set timer lies in [begin, begin + bytes) (pool about to be freed).
bool IsTimerSetWithin(const void* begin, size_t bytes);

}  // namespace sim::kernel
