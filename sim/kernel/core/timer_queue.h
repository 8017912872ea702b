// Internal link between ExSetTimerResolution and the timer thread.
#pragma once

namespace sim::kernel {

// Lets the timer thread recompute its next tick after a resolution change.
void TimerResolutionChanged();

}  // namespace sim::kernel
