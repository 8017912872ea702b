// Trace events of the streaming engine (block 4000). The values each event
// carries are listed after it, in order.
#pragma once
#include "base/trace_events.h"

#define TROX_ENGINE_EVENT(n) static_cast<TraceEvent>(TraceEngineFirst + (n))

constexpr TraceEvent TraceEngineConfigure = TROX_ENGINE_EVENT(1);  // direction, status, transfer bytes, bytes per frame
constexpr TraceEvent TraceEngineClockUnstable = TROX_ENGINE_EVENT(2);  // direction
constexpr TraceEvent TraceEngineThreadFailed = TROX_ENGINE_EVENT(3);   // direction, status
constexpr TraceEvent TraceEngineFirstTimeout = TROX_ENGINE_EVENT(4);   // direction, status
constexpr TraceEvent TraceEngineFrameJump = TROX_ENGINE_EVENT(5);      // direction, previous frame, frame
constexpr TraceEvent TraceEngineFrameGap = TROX_ENGINE_EVENT(6);       // direction, gap
constexpr TraceEvent TraceEngineLagTotal = TROX_ENGINE_EVENT(7);       // direction, lag, total
constexpr TraceEvent TraceEngineDeviceGone = TROX_ENGINE_EVENT(8);     // direction, status
constexpr TraceEvent TraceEngineTransferError = TROX_ENGINE_EVENT(9);  // direction, status, bytes
constexpr TraceEvent TraceEngineRecovery = TROX_ENGINE_EVENT(10);      // direction, recoveries
constexpr TraceEvent TraceEngineSubmitFailed = TROX_ENGINE_EVENT(11);  // direction, status
constexpr TraceEvent TraceEngineNoMemory = TROX_ENGINE_EVENT(12);      // direction, bytes
constexpr TraceEvent TraceEnginePipeReset = TROX_ENGINE_EVENT(13);     // direction, status
constexpr TraceEvent TraceEngineRenderLength = TROX_ENGINE_EVENT(14);  // length, transfer bytes
constexpr TraceEvent TraceEngineRenderShort = TROX_ENGINE_EVENT(15);   // sent, done
constexpr TraceEvent TraceEngineFeedbackValue =
    TROX_ENGINE_EVENT(16);                                           // value, nominal, why (1 below 1.0, 2 low, 3 high)
constexpr TraceEvent TraceEngineProbeShort = TROX_ENGINE_EVENT(17);  // index
constexpr TraceEvent TraceEngineInjected = TROX_ENGINE_EVENT(18);    // direction
constexpr TraceEvent TraceEngineDump = TROX_ENGINE_EVENT(19);        // offset, 8 bytes, 8 bytes, length
constexpr TraceEvent TraceEngineLateData = TROX_ENGINE_EVENT(20);    // client, write-ahead bytes
constexpr TraceEvent TraceEngineChunkSkipped = TROX_ENGINE_EVENT(21);  // bytes left in a chunk shorter than a frame
constexpr TraceEvent TraceEnginePathStart = TROX_ENGINE_EVENT(22);     // client, status, capture-clocked
constexpr TraceEvent TraceEngineLead = TROX_ENGINE_EVENT(23);          // client, lead bytes, percentage
