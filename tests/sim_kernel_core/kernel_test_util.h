// Small helpers shared by the kernel core tests.
#pragma once
#include <cstdint>

#include <wdm.h>

#include "sim/kernel/core/clock.h"

inline LARGE_INTEGER RelativeMs(int64_t ms) {
  LARGE_INTEGER t;
  t.QuadPart = -ms * 10000;
  return t;
}

inline LARGE_INTEGER ZeroTimeout() {
  LARGE_INTEGER t;
  t.QuadPart = 0;
  return t;
}

inline double ElapsedMs(int64_t since) { return (double)(sim::clock::Now() - since) / 10000.0; }

inline NTSTATUS WaitMs(PVOID object, int64_t ms) {
  LARGE_INTEGER t = RelativeMs(ms);
  return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &t);
}

inline NTSTATUS Poll(PVOID object) {
  LARGE_INTEGER t = ZeroTimeout();
  return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &t);
}

// Runs f at DISPATCH_LEVEL on the calling thread.
template <typename F>
void AtDispatchLevel(F f) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  f();
  KeLowerIrql(old);
}

inline constexpr int64_t kMs = sim::clock::kTicksPerMillisecond;
