// Loopback delay line. Playback pushes before capture pops within each bus
// interval, so with equal frame counts the line stays at exactly the delay.
#include "sim/usb/device/loopback_line.h"

namespace sim::usb {

void LoopbackLine::Reset(uint32_t channels, uint32_t delayFrames) {
  channels_ = channels;
  delay_ = delayFrames;
  samples_.assign(static_cast<size_t>(channels) * delayFrames, 0);
}

void LoopbackLine::Push(const int32_t* frames, uint32_t frameCount) {
  const size_t n = static_cast<size_t>(frameCount) * channels_;
  for (size_t i = 0; i < n; ++i) samples_.push_back(frames != nullptr ? frames[i] : 0);
  // A player that sends more than the recorder takes (an adaptive endpoint
  // following a fast host) must not grow the line without bound.
  const size_t limit = static_cast<size_t>(channels_) * (delay_ + 4 * (frameCount + 16));
  while (samples_.size() > limit) samples_.pop_front();
}

void LoopbackLine::Pop(int32_t* out, uint32_t frameCount) {
  const size_t n = static_cast<size_t>(frameCount) * channels_;
  for (size_t i = 0; i < n; ++i) {
    if (samples_.empty()) {
      out[i] = 0;
    } else {
      out[i] = samples_.front();
      samples_.pop_front();
    }
  }
}

}  // namespace sim::usb
