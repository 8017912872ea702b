// The frame check every completed render or capture transfer goes through:
// completions of one direction must come one transfer length of bus frames
// apart. Gaps are accumulated; a jump by the whole in-flight span, a frame
// number that went backwards, or a lag that does not return to 0 within
// 1000 frames is a loss. All frame arithmetic is 32-bit unsigned.
#pragma once
#include "platform.h"

struct FrameBook {
  ULONG LastFrame;
  LONG Lag;        // frames the completions ran behind, summed
  ULONG LagTotal;  // frames covered while the lag was not 0
};

// What the check found, besides the status.
constexpr ULONG kFrameFirst = 0x1;     // the first completion since start or recovery
constexpr ULONG kFrameGap = 0x2;       // more than one transfer length apart, but not a loss
constexpr ULONG kFrameJump = 0x4;      // a loss by the frame numbers
constexpr ULONG kFrameLagLimit = 0x8;  // a loss by the accumulated lag
constexpr ULONG kFrameLagging = 0x10;  // the lag is not 0

constexpr ULONG kFrameLagLimitFrames = 1000;

// Checks a completion at `Frame` of a direction with `Ms` frames per
// transfer and `InFlight` transfers in flight; `First` starts the book
// afresh. Returns the status to process the completion with: an error
// status stays, a success becomes STATUS_UNEXPECTED_IO_ERROR on a loss.
NTSTATUS CheckCompletionFrame(FrameBook* Book, BOOLEAN First, ULONG Frame, ULONG Ms, ULONG InFlight, NTSTATUS Status,
                              PULONG Findings);
