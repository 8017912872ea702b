// The checker's own parts: a fault they miss would let every streaming test pass.
#include <gtest/gtest.h>

#include <vector>

#include "sim/usb/device/test_signal.h"
#include "tools/streamcheck/stream_content.h"

using namespace streamcheck;

namespace {

sim::usb::Recording Sent(uint64_t frames, uint32_t bytesPerFrame) {
  sim::usb::Recording r;
  r.channels = 1;
  r.subslotBytes = bytesPerFrame;
  r.bytes.resize(frames * bytesPerFrame);
  FillPlayback(r.bytes.data(), 0, static_cast<uint32_t>(frames), bytesPerFrame);
  return r;
}

std::vector<uint8_t> Counter(uint32_t channels, uint32_t subslot, uint64_t first, uint32_t frames) {
  std::vector<uint8_t> v;
  for (uint64_t f = first; f < first + frames; ++f) {
    for (uint32_t c = 0; c < channels; ++c) {
      const uint32_t s = sim::usb::CounterSample(c, f, subslot);
      for (uint32_t b = 0; b < subslot; ++b) v.push_back(static_cast<uint8_t>(s >> (8 * b)));
    }
  }
  return v;
}

}  // namespace

TEST(PlaybackComparison, FindsDroppedRepeatedAndCorruptedFrames) {
  const sim::usb::Recording good = Sent(1000, 6);
  PlaybackComparison c = ComparePlayback(good, 6);
  EXPECT_EQ(c.framesCompared, 1000u);
  EXPECT_EQ(c.mismatchedFrames, 0u);
  EXPECT_EQ(c.firstMismatch, -1);

  sim::usb::Recording dropped = good;  // frame 500 lost: everything after shifts
  dropped.bytes.erase(dropped.bytes.begin() + 500 * 6, dropped.bytes.begin() + 501 * 6);
  c = ComparePlayback(dropped, 6);
  EXPECT_EQ(c.framesCompared, 999u);
  EXPECT_EQ(c.firstMismatch, 500);
  EXPECT_EQ(c.mismatchedFrames, 499u);

  sim::usb::Recording repeated = good;  // frame 10 sent twice
  repeated.bytes.insert(repeated.bytes.begin() + 11 * 6, good.bytes.begin() + 10 * 6, good.bytes.begin() + 11 * 6);
  EXPECT_EQ(ComparePlayback(repeated, 6).firstMismatch, 11);

  sim::usb::Recording flipped = good;  // one byte of one sample
  flipped.bytes[777 * 6 + 5] ^= 0x01;
  c = ComparePlayback(flipped, 6);
  EXPECT_EQ(c.mismatchedFrames, 1u);
  EXPECT_EQ(c.firstMismatch, 777);
}

TEST(PlaybackComparison, NeighbouringFramesAndBytesDiffer) {
  // A signal that repeats would let a shifted stream compare equal.
  int same = 0;
  for (uint64_t f = 0; f < 4096; ++f) {
    same += PlaybackByte(f, 0) == PlaybackByte(f + 1, 0);
    same += PlaybackByte(f, 0) == PlaybackByte(f, 1);
  }
  EXPECT_LT(same, 8192 / 64);
}

TEST(CounterCheck, AcceptsAContinuousSignalAcrossTransfersAndItsWrap) {
  CounterCheck check;
  check.Reset(2, 2);  // 16-bit: the frame number wraps at 256
  for (uint64_t first = 1000; first < 1600; first += 50) {
    const auto data = Counter(2, 2, first, 50);
    check.Feed(data.data(), 50);
  }
  EXPECT_EQ(check.Frames(), 600u);
  EXPECT_EQ(check.BadFrames(), 0u);
  EXPECT_EQ(check.Discontinuities(), 0u);
}

TEST(CounterCheck, CountsGapsAndWrongChannels) {
  CounterCheck check;
  check.Reset(3, 4);
  auto a = Counter(3, 4, 0, 10);
  check.Feed(a.data(), 10);
  auto b = Counter(3, 4, 12, 10);  // two frames lost
  check.Feed(b.data(), 10);
  EXPECT_EQ(check.Discontinuities(), 1u);
  auto c = Counter(3, 4, 22, 10);
  c[4 + 3] ^= 0x01;  // channel 1 of the first frame carries another channel number
  check.Feed(c.data(), 10);
  EXPECT_EQ(check.BadFrames(), 1u);
  EXPECT_EQ(check.Discontinuities(), 1u);
}
