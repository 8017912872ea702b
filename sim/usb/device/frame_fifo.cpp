// Frame ring buffer.
#include "sim/usb/device/frame_fifo.h"

#include <algorithm>

namespace sim::usb {

void FrameFifo::Reset(uint32_t bytesPerFrame, uint32_t capacityFrames) {
  bpf_ = bytesPerFrame;
  capacity_ = capacityFrames;
  ring_.assign(static_cast<size_t>(bytesPerFrame) * capacityFrames, 0);
  head_ = 0;
  count_ = 0;
}

uint32_t FrameFifo::Push(const uint8_t* frames, uint32_t frameCount) {
  if (bpf_ == 0) return 0;
  const uint32_t n = std::min(frameCount, capacity_ - Frames());
  const size_t bytes = static_cast<size_t>(n) * bpf_;
  for (size_t i = 0; i < bytes; ++i) ring_[(head_ + count_ + i) % ring_.size()] = frames[i];
  count_ += bytes;
  return n;
}

uint32_t FrameFifo::Pop(uint8_t* out, uint32_t frameCount) {
  if (bpf_ == 0) return 0;
  const uint32_t n = std::min(frameCount, Frames());
  const size_t bytes = static_cast<size_t>(n) * bpf_;
  for (size_t i = 0; i < bytes; ++i) {
    if (out != nullptr) out[i] = ring_[(head_ + i) % ring_.size()];
  }
  head_ = (head_ + bytes) % (ring_.empty() ? 1 : ring_.size());
  count_ -= bytes;
  return n;
}

}  // namespace sim::usb
