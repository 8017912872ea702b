// DPCs run on one thread per simulated processor, at DISPATCH_LEVEL.
#pragma once

namespace sim::kernel {

inline constexpr int kProcessorCount = 2;

// Number of DPC routines that have run so far (tests, diagnostics).
unsigned long long DpcsRun();

}  // namespace sim::kernel
