#include "tools/streamcheck/stream_content.h"

#include <cstring>
#include <vector>

#include "sim/usb/device/test_signal.h"

namespace streamcheck {

uint8_t PlaybackByte(uint64_t frame, uint32_t index) {
  // A 64-bit mix of frame and byte position: neighbours differ everywhere.
  uint64_t x = frame * 0x9E3779B97F4A7C15ull + (uint64_t{index} + 1) * 0xC2B2AE3D27D4EB4Full;
  x ^= x >> 29;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 32;
  return static_cast<uint8_t>(x);
}

void FillPlayback(uint8_t* out, uint64_t first, uint32_t count, uint32_t bytesPerFrame) {
  for (uint32_t f = 0; f < count; ++f) {
    for (uint32_t b = 0; b < bytesPerFrame; ++b) {
      *out++ = PlaybackByte(first + f, b);
    }
  }
}

PlaybackComparison ComparePlayback(const sim::usb::Recording& recording, uint32_t bytesPerFrame) {
  PlaybackComparison result;
  if (bytesPerFrame == 0) return result;
  const uint64_t frames = recording.bytes.size() / bytesPerFrame;
  std::vector<uint8_t> expected(bytesPerFrame);
  for (uint64_t f = 0; f < frames; ++f) {
    FillPlayback(expected.data(), f, 1, bytesPerFrame);
    if (std::memcmp(expected.data(), recording.bytes.data() + f * bytesPerFrame, bytesPerFrame) != 0) {
      if (result.firstMismatch < 0) result.firstMismatch = static_cast<int64_t>(f);
      ++result.mismatchedFrames;
    }
  }
  result.framesCompared = frames;
  return result;
}

void CounterCheck::Reset(uint32_t channels, uint32_t subslotBytes) {
  *this = CounterCheck{};
  channels_ = channels;
  subslot_ = subslotBytes;
}

void CounterCheck::Feed(const uint8_t* data, uint32_t frames) {
  if (channels_ == 0 || subslot_ < 2 || subslot_ > 4) return;
  const uint64_t range = uint64_t{1} << (8 * (subslot_ - 1));
  for (uint32_t f = 0; f < frames; ++f) {
    const uint8_t* frame = data + static_cast<size_t>(f) * channels_ * subslot_;
    uint32_t first = 0;
    for (uint32_t b = 0; b < subslot_; ++b) first |= uint32_t{frame[b]} << (8 * b);
    const uint64_t number = first & (range - 1);
    if (started_ && number != next_) ++jumps_;
    started_ = true;
    bool good = true;
    for (uint32_t c = 0; c < channels_ && good; ++c) {
      const uint32_t want = sim::usb::CounterSample(c, number, subslot_);
      uint32_t got = 0;
      for (uint32_t b = 0; b < subslot_; ++b) got |= uint32_t{frame[c * subslot_ + b]} << (8 * b);
      good = got == want;
    }
    if (!good) ++badFrames_;
    next_ = (number + 1) & (range - 1);
    ++frames_;
  }
}

}  // namespace streamcheck
