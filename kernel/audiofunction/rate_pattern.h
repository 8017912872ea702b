// Frames per packet for playback without feedback: for each rate the device
// takes, the whole frames to send in successive 1 ms frames (full speed) or
// 125 us microframes (high speed), repeated cyclically.
#pragma once
#include "platform.h"

constexpr ULONG kRatePatternFullSpeedMax = 40;   // 11025 Hz
constexpr ULONG kRatePatternHighSpeedMax = 320;  // 11025 Hz

struct RatePatternRow {
  ULONG Rate;
  USHORT FullSpeedLength;
  USHORT HighSpeedLength;
  USHORT FullSpeed[kRatePatternFullSpeedMax];
  USHORT HighSpeed[kRatePatternHighSpeedMax];
};

// The row of exactly that rate, or null.
const RatePatternRow* FindRatePattern(ULONG Rate);
// Rows of the table, for callers that list it.
ULONG RatePatternCount();
const RatePatternRow* RatePatternAt(ULONG Index);

inline ULONG RatePatternLength(const RatePatternRow* Row, BOOLEAN HighSpeed) {
  return HighSpeed ? Row->HighSpeedLength : Row->FullSpeedLength;
}
// Entry `Position` of the pattern, taken cyclically.
inline ULONG RatePatternFrames(const RatePatternRow* Row, BOOLEAN HighSpeed, ULONG Position) {
  const ULONG length = RatePatternLength(Row, HighSpeed);
  return HighSpeed ? Row->HighSpeed[Position % length] : Row->FullSpeed[Position % length];
}
