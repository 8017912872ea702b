// The ASIO position clock: frames played since the clock's origin, from
// performance-counter ticks, microseconds rounded, then frames rounded.
#pragma once
#include "platform.h"

// Ticks since the origin at Frequency ticks per second, at Rate frames per
// second; the low 32 bits of the frame count. Exact for any run length: the
// obvious ticks x 1 000 000 wraps 64 bits after about 10.7 days at 10 MHz.
inline ULONG AsioPositionFrames(ULONGLONG Ticks, ULONGLONG Frequency, ULONG Rate) {
  if (Frequency == 0) {
    return 0;
  }
  const ULONGLONG kMicroseconds = 1000000;
  // Whole seconds apart from the rest: each part's product stays in range.
  const ULONGLONG us =
      (Ticks / Frequency) * kMicroseconds + ((Ticks % Frequency) * kMicroseconds + Frequency / 2) / Frequency;
  const ULONGLONG frames =
      (us / kMicroseconds) * Rate + ((us % kMicroseconds) * Rate + kMicroseconds / 2) / kMicroseconds;
  return static_cast<ULONG>(frames);
}
