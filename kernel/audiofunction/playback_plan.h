// How the packets of one playback transfer are sized, as pure functions of
// the stream's state: the submit path, the tools, the bench and the tests
// share them.
#pragma once
#include "platform.h"

struct RatePatternRow;

// What sizes the packets: the capture stream (implicit feedback), the
// device's feedback endpoint, or the nominal rate through the pattern table.
enum PlaybackMode { PlaybackImplicit, PlaybackExplicit, PlaybackPattern };

inline PlaybackMode ChoosePlaybackMode(BOOLEAN ImplicitFeedback, BOOLEAN HasFeedbackPipe) {
  return ImplicitFeedback ? PlaybackImplicit : (HasFeedbackPipe ? PlaybackExplicit : PlaybackPattern);
}

// The packet plan of one playback transfer.
struct PlaybackPlan {
  ULONG Packets;
  ULONG Large;     // implicit feedback: maximum-size packets first,
  ULONG Nominal;   // then nominal ones,
  ULONG Short;     // then minimum-size ones
  BOOLEAN Spread;  // explicit feedback: sizes spread evenly over the packets
  ULONG Rate;      // explicit feedback: the 16.16 rate the plan used
};

// The stream's state a plan is made from.
struct PlaybackPlanInput {
  PlaybackMode Mode;
  ULONG Length;        // bytes of the transfer
  ULONG Milliseconds;  // bus frames it covers
  BOOLEAN HighSpeed;
  ULONG BytesPerFrame;
  LONG NominalPacketBytes;    // implicit feedback
  BOOLEAN ShortPacket;        // implicit feedback: minimum-size packets allowed
  ULONG PacketInterval;       // microframes between packets (high speed)
  const RatePatternRow* Row;  // rate pattern
  ULONG PatternPosition;      // rate pattern
  ULONG FeedbackRate;         // explicit feedback: 16.16 frames per step
  ULONG Accumulator;          // explicit feedback: the fraction carried over
};

// Packets per millisecond of a playback stream.
ULONG PlaybackPacketsPerMs(BOOLEAN HighSpeed, ULONG PacketInterval);

// STATUS_INVALID_DEVICE_STATE without a frame size, nominal packet or
// pattern; STATUS_INVALID_PARAMETER when the transfer needs no packet or more
// than one URB holds (CUSBCL::kMaxIsoPackets).
NTSTATUS PlanPlaybackPackets(const PlaybackPlanInput& Input, ULONG MaxPackets, PlaybackPlan* Plan);
