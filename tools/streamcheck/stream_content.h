// What the streaming checks send and expect: a deterministic playback signal
// that a recording can be compared with sample for sample, and the check of
// the device's counter capture signal.
#pragma once

#include <cstdint>

#include "sim/usb/device/stream_counters.h"

namespace streamcheck {

// Byte `index` of playback frame `frame` (any byte value may occur, so a
// shifted, repeated or dropped frame never matches by chance for long).
uint8_t PlaybackByte(uint64_t frame, uint32_t index);
// Writes frames [first, first + count) of `bytesPerFrame` bytes each.
void FillPlayback(uint8_t* out, uint64_t first, uint32_t count, uint32_t bytesPerFrame);

struct PlaybackComparison {
  uint64_t framesCompared = 0;
  uint64_t mismatchedFrames = 0;
  int64_t firstMismatch = -1;  // frame number, -1 when all matched
};
// Compares what the device recorded with the first frames sent.
PlaybackComparison ComparePlayback(const sim::usb::Recording& recording, uint32_t bytesPerFrame);

// Follows the device's counter capture signal across transfers: every
// channel's sample must hold its channel number and the next frame number.
class CounterCheck {
 public:
  void Reset(uint32_t channels, uint32_t subslotBytes);
  // Whole frames of one completed transfer, in completion order.
  void Feed(const uint8_t* data, uint32_t frames);
  uint64_t Frames() const { return frames_; }
  uint64_t BadFrames() const { return badFrames_; }
  // Places where the frame number jumped (frames lost or repeated).
  uint64_t Discontinuities() const { return jumps_; }

 private:
  uint32_t channels_ = 0;
  uint32_t subslot_ = 0;
  bool started_ = false;
  uint64_t next_ = 0;  // expected frame number, modulo the counter's range
  uint64_t frames_ = 0;
  uint64_t badFrames_ = 0;
  uint64_t jumps_ = 0;
};

}  // namespace streamcheck
