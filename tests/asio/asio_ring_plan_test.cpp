// Ring sizes and the render prefill for the periods and rates a host asks for.
#include <gtest/gtest.h>

#include "asio/asio_ring_plan.h"

namespace trox::test {
namespace {

TEST(AsioRingPlan, SizesRingsForThePeriodAndRate) {
  struct Case {
    ULONG rate;
    ULONG frames;
    bool capture;
    bool render;
    ULONG renderMs;
    NTSTATUS status;
    ULONG captureFrames;
    ULONG renderFrames;
  };
  const Case cases[] = {
      {48000, 256, true, true, 8, STATUS_SUCCESS, 768, 768},
      {96000, 64, true, true, 8, STATUS_SUCCESS, 288, 576},   // 3 ms at 96 kHz, twice for render
      {44100, 128, false, true, 8, STATUS_SUCCESS, 0, 1080},  // three 8-ms transfers of 45 frames
      {44100, 2048, false, true, 8, STATUS_SUCCESS, 0, 6144},
      {176400, 32, true, false, 8, STATUS_SUCCESS, 531, 0},
      {32000, 64, true, true, 8, STATUS_SUCCESS, 192, 192},  // below 44.1 kHz the multiple is 1
      {50000, 64, true, true, 8, STATUS_INVALID_DEVICE_REQUEST, 0, 0},
      {48000, 0, true, true, 8, STATUS_INVALID_PARAMETER, 0, 0},
      {48000, 64, false, false, 8, STATUS_INVALID_PARAMETER, 0, 0},
      {192000, 0x7FFFFFFF, true, true, 8, STATUS_INVALID_PARAMETER, 0, 0},  // past 32 bits
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.rate << " Hz, " << c.frames << " frames");
    AsioRingPlan plan = {1, 1};
    EXPECT_EQ(AsioRingFrames(c.rate, c.frames, c.capture, c.render, c.renderMs, &plan), c.status);
    EXPECT_EQ(plan.CaptureFrames, c.captureFrames);
    EXPECT_EQ(plan.RenderFrames, c.renderFrames);
  }
}

TEST(AsioRingPlan, PrefillGrowsWithThePeriod) {
  struct Case {
    ULONG rate;
    ULONG frames;
    ULONG prefill;
  };
  const Case cases[] = {
      {48000, 256, 184},  // 256 mod 48 = 16, plus 384 x 192 / 448 + 4
      {48000, 48, 52},    // a whole millisecond: the part is 48
      {48000, 32, 36},    // shorter than a millisecond: the whole period
      {44100, 64, 20},    // 64 mod 44, nothing above 64
      {96000, 512, 800},  // 512 mod 96 = 32, plus 768 x 448 / 448
      {48000, 16, 20},    // below 64 frames: no negative share
      {0, 64, 64},        // no rate: no division by zero
  };
  for (const Case& c : cases) {
    EXPECT_EQ(AsioRenderPrefill(c.rate, c.frames), c.prefill) << c.rate << " Hz, " << c.frames << " frames";
  }
}

}  // namespace
}  // namespace trox::test
