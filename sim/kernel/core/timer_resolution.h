// Timer resolution requests made through ExSetTimerResolution. Kernel timers
// expire on the ticks of the resolution in force, as on Windows.
#pragma once
#include <vector>

#include <wdm.h>

namespace sim::kernel {

// 100-ns units.
inline constexpr ULONG kDefaultTimerResolution = 156250;  // 15.625 ms
inline constexpr ULONG kMinimumTimerResolution = 5000;    // 0.5 ms

struct TimerResolutionRequest {
  ULONG desired;       // as requested, 100 ns
  const void* caller;  // return address of the ExSetTimerResolution call
};

std::vector<TimerResolutionRequest> TimerResolutionRequests();
ULONG CurrentTimerResolution();
// Drops every request (tests).
void ResetTimerResolution();

}  // namespace sim::kernel
