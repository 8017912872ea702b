// Internal to the stand-ins: tests, tools and the fuzzer use the public headers instead.
// DPCs run on one thread per simulated processor, at DISPATCH_LEVEL.
#pragma once
#include <cstddef>
#include <cstdint>

namespace sim::kernel {

inline constexpr int kProcessorCount = 2;

// Number of DPC routines that have run so far (tests, diagnostics).
unsigned long long DpcsRun();

// Injected lateness (code costs no time in simulated time, so it is made on
// purpose): the processor runs no DPC for `duration` (100 ns) from now; or
// the next DPC it takes runs `duration` late. Queued DPCs stay queued.
void StallProcessor(int processor, int64_t duration);
void DelayNextDpc(int processor, int64_t duration);

// True if a queued DPC lies in [begin, begin + bytes) (pool about to be freed).
bool IsDpcQueuedWithin(const void* begin, size_t bytes);

}  // namespace sim::kernel
