// Trace events of the driver parameters (block 7000). The values each event
// carries are listed after it, in order.
#pragma once
#include "base/trace_events.h"

#define TROX_REGISTRY_EVENT(n) static_cast<TraceEvent>(TraceRegistryFirst + (n))

constexpr TraceEvent TraceRegistryOpenFailed = TROX_REGISTRY_EVENT(1);    // status
constexpr TraceEvent TraceRegistryWriteFailed = TROX_REGISTRY_EVENT(2);   // status
constexpr TraceEvent TraceRegistryTuningUnread = TROX_REGISTRY_EVENT(3);  // direction, status
constexpr TraceEvent TraceRegistryTuning = TROX_REGISTRY_EVENT(4);        // direction, first, second, flags
