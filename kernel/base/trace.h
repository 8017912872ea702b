// Tracing through Event Tracing for Windows: numbered events only. Off until
// a trace session enables the provider; tracing never changes behaviour.
//     Trace(TRACE_LEVEL_ERROR, TraceDriverEntryFailed, status);
#pragma once
#include "platform.h"
#include "base/trace_events.h"

// Registers the driver's provider. A failure leaves tracing off and is not
// an error of the driver.
void TraceInitialize();
// Unregisters the provider; harmless when it was never registered.
void TraceCleanup();

// Writes one event with `count` (at most 4) 64-bit values.
void TraceWrite(UCHAR level, TraceEvent event, ULONG count, const ULONG64* values);

// A value as it is recorded: 32-bit values (statuses included) without sign
// extension, everything else as its 64-bit pattern.
template <typename T>
inline ULONG64 TraceValue(T value) {
  if constexpr (sizeof(T) == 4) {
    return static_cast<ULONG64>(static_cast<ULONG>(value));
  } else {
    return (ULONG64)value;
  }
}

template <typename... Values>
inline void Trace(UCHAR level, TraceEvent event, Values... values) {
  static_assert(sizeof...(Values) <= 4, "a trace event carries at most four values");
  if constexpr (sizeof...(Values) == 0) {
    TraceWrite(level, event, 0, nullptr);
  } else {
    const ULONG64 recorded[] = {TraceValue(values)...};
    TraceWrite(level, event, sizeof...(Values), recorded);
  }
}
