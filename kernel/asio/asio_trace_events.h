// Trace events of the private interface and the ASIO stream (block 5000).
// The values each event carries are listed after it, in order.
#pragma once
#include "base/trace_events.h"

#define TROX_ASIO_EVENT(n) static_cast<TraceEvent>(TraceAsioFirst + (n))

constexpr TraceEvent TraceAsioRequest = TROX_ASIO_EVENT(1);        // code, handle state, status
constexpr TraceEvent TraceAsioPrepareFailed = TROX_ASIO_EVENT(2);  // step, status
constexpr TraceEvent TraceAsioPrepared = TROX_ASIO_EVENT(3);       // rate, frames, capture ring, render ring frames
constexpr TraceEvent TraceAsioStartFailed = TROX_ASIO_EVENT(4);    // status
constexpr TraceEvent TraceAsioOwnerNotSet = TROX_ASIO_EVENT(5);    // handle state
constexpr TraceEvent TraceAsioUnmappable = TROX_ASIO_EVENT(6);     // major function, length
constexpr TraceEvent TraceAsioReset = TROX_ASIO_EVENT(7);          // pending requests cancelled
