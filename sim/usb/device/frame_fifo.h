// Byte ring holding whole audio frames: the playback buffer of a device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim::usb {

class FrameFifo {
 public:
  void Reset(uint32_t bytesPerFrame, uint32_t capacityFrames);
  uint32_t Frames() const { return count_ / (bpf_ ? bpf_ : 1); }
  uint32_t CapacityFrames() const { return capacity_; }
  // Appends as many of the frames as fit; returns how many were taken.
  uint32_t Push(const uint8_t* frames, uint32_t frameCount);
  // Removes up to frameCount frames into out (may be null); returns how many.
  uint32_t Pop(uint8_t* out, uint32_t frameCount);

 private:
  std::vector<uint8_t> ring_;
  uint32_t bpf_ = 0;
  uint32_t capacity_ = 0;
  size_t head_ = 0;
  size_t count_ = 0;
};

}  // namespace sim::usb
