// Trace events of the device core (block 1000, after the driver entry's
// own). The values each event carries are listed after it, in order.
#pragma once
#include "base/trace_events.h"

#define TROX_ADAPTER_EVENT(n) static_cast<TraceEvent>(TraceDriverEntry + 100 + (n))

constexpr TraceEvent TraceAdapterInit = TROX_ADAPTER_EVENT(1);  // device rate, per-stream mode, AMD workaround, DSD
constexpr TraceEvent TraceAdapterInitFailed = TROX_ADAPTER_EVENT(2);         // step, status
constexpr TraceEvent TraceAdapterPower = TROX_ADAPTER_EVENT(3);              // old state, new state
constexpr TraceEvent TraceAdapterStreamFormat = TROX_ADAPTER_EVENT(4);       // direction, channels, bits, status
constexpr TraceEvent TraceAdapterChunkDropped = TROX_ADAPTER_EVENT(5);       // bytes
constexpr TraceEvent TraceAdapterStart = TROX_ADAPTER_EVENT(6);              // direction (2 both), status, count
constexpr TraceEvent TraceAdapterStopUnbalanced = TROX_ADAPTER_EVENT(7);     // direction (2 both)
constexpr TraceEvent TraceAdapterRemoval = TROX_ADAPTER_EVENT(8);            // render count, capture count
constexpr TraceEvent TraceAdapterClockFailed = TROX_ADAPTER_EVENT(9);        // rate, status
constexpr TraceEvent TraceAdapterRateNotStored = TROX_ADAPTER_EVENT(10);     // rate, status
constexpr TraceEvent TraceAdapterUnregisterFailed = TROX_ADAPTER_EVENT(11);  // status
constexpr TraceEvent TraceAdapterSubdeviceName = TROX_ADAPTER_EVENT(12);     // rate
constexpr TraceEvent TraceAdapterSubdeviceSkipped = TROX_ADAPTER_EVENT(13);  // rate
constexpr TraceEvent TraceAdapterStartFailed = TROX_ADAPTER_EVENT(14);       // step, status
constexpr TraceEvent TraceAdapterPrivate = TROX_ADAPTER_EVENT(15);           // major function, status
