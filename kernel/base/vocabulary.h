// What every part of the driver speaks: stream directions, the streaming
// engine's transfer tunables with their ranges, the "no entity" id, and a
// helper for optional result pointers.
#pragma once
#include "platform.h"

// Directions, as a byte: render is USB OUT, capture USB IN (any non-zero
// value counts as capture).
constexpr UCHAR kDirectionRender = 0;
constexpr UCHAR kDirectionCapture = 1;
inline BOOLEAN IsCaptureDirection(UCHAR Direction) { return Direction != kDirectionRender; }

// The engine's transfer tunables: defaults and inclusive upper bounds (the
// lower bound of each is 1).
constexpr ULONG kDefaultRenderMsPerTransfer = 8;
constexpr ULONG kDefaultRenderTransfersInFlight = 8;
constexpr ULONG kDefaultCaptureMsPerTransfer = 1;
constexpr ULONG kDefaultCaptureTransfersInFlight = 16;
constexpr ULONG kMaxRenderMsPerTransfer = 8;
constexpr ULONG kMaxRenderTransfersInFlight = 8;
constexpr ULONG kMaxCaptureMsPerTransfer = 1;
constexpr ULONG kMaxCaptureTransfersInFlight = 16;
// Feedback reads kept in flight on an explicit-feedback device.
constexpr ULONG kFeedbackReadsInFlight = 8;

// An entity id that names no entity (a source of nothing, no clock).
constexpr ULONG kNoEntity = 0xFFFFFFFF;

// Stores a result through an optional pointer.
template <typename T>
inline void Put(T* Target, T Value) {
  if (Target != nullptr) {
    *Target = Value;
  }
}
