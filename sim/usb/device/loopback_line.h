// Delay line from the frames the device plays to the frames it records, so a
// capture stream can return the playback signal a set number of frames later.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace sim::usb {

class LoopbackLine {
 public:
  // Empties the line and fills it with `delayFrames` frames of silence.
  void Reset(uint32_t channels, uint32_t delayFrames);
  uint32_t Channels() const { return channels_; }
  // frames: channels values per frame (MSB-aligned samples); null = silence.
  void Push(const int32_t* frames, uint32_t frameCount);
  // Takes the oldest frames; missing ones come out as silence.
  void Pop(int32_t* out, uint32_t frameCount);

 private:
  uint32_t channels_ = 0;
  uint32_t delay_ = 0;
  std::deque<int32_t> samples_;
};

}  // namespace sim::usb
