// Internal to the stand-ins: tests, tools and the fuzzer use the public headers instead.
// IRQL of the calling thread and the checks every kernel call makes on it.
#pragma once
#include <wdm.h>

namespace sim::kernel {

// Sets the calling thread's IRQL without the raise/lower rules (used by the
// stand-in's own DPC, worker and timer threads).
void SetCurrentIrql(KIRQL irql);

// False (after a verifier failure naming call) if the caller runs above max.
bool CheckIrqlAtMost(const char* call, KIRQL max);
// False (after a verifier failure naming call) if the caller runs below min.
bool CheckIrqlAtLeast(const char* call, KIRQL min);

const char* IrqlName(KIRQL irql);

}  // namespace sim::kernel
