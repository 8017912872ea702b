// The frame check on its own: sequences of completion frames and what each
// one is found to be.
#include <gtest/gtest.h>

#include <vector>

#include "platform.h"
#include "engine/frame_check.h"

namespace trox::test {
namespace {

struct FrameCase {
  const char* what;
  ULONG ms;
  ULONG inFlight;
  std::vector<ULONG> frames;  // the first one starts the book
  size_t lossAt;              // index of the first completion found lost; 0: none
};

// Feeds the frames; returns the index of the first loss, 0 when none.
size_t FirstLoss(const FrameCase& c) {
  FrameBook book = {};
  for (size_t i = 0; i < c.frames.size(); ++i) {
    ULONG findings = 0;
    const NTSTATUS status =
        CheckCompletionFrame(&book, i == 0, c.frames[i], c.ms, c.inFlight, STATUS_SUCCESS, &findings);
    if (!NT_SUCCESS(status)) return i;
  }
  return 0;
}

std::vector<ULONG> Steady(ULONG first, ULONG step, size_t count) {
  std::vector<ULONG> frames;
  for (size_t i = 0; i < count; ++i) frames.push_back(first + static_cast<ULONG>(i) * step);
  return frames;
}

// A lag of one frame that never goes back: every later completion is still one frame behind.
std::vector<ULONG> LagOfOne() {
  std::vector<ULONG> frames = Steady(100, 1, 3);
  for (ULONG f = 104; frames.size() < 1100; ++f) frames.push_back(f);
  return frames;
}

TEST(FrameCheck, FindsLossesWhereTheyAre) {
  const FrameCase cases[] = {
      {"steady 1 ms capture", 1, 16, Steady(7, 1, 5000), 0},
      {"steady 8 ms render", 8, 8, Steady(7, 8, 500), 0},
      {"gap of 15 is only accumulated", 1, 16, {10, 11, 26, 27, 28}, 0},
      {"gap of 16 is a loss", 1, 16, {10, 11, 27}, 2},
      {"backwards is a loss", 1, 16, {10, 11, 9}, 2},
      {"a late pair catches up", 1, 16, {10, 11, 14, 14, 14, 15}, 0},
      {"a lag that never returns is a loss", 1, 16, LagOfOne(), 1001},
      {"frame numbers wrap at 32 bits", 1, 16, {0xFFFFFFFE, 0xFFFFFFFF, 0, 1}, 0},
      {"first completion starts afresh", 1, 16, {500}, 0},
  };
  for (const FrameCase& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(FirstLoss(c), c.lossAt);
  }
}

TEST(FrameCheck, KeepsAnErrorStatusAndBoundsTheLag) {
  FrameBook book = {};
  ULONG findings = 0;
  CheckCompletionFrame(&book, TRUE, 0, 1, 16, STATUS_SUCCESS, &findings);
  EXPECT_EQ(findings, kFrameFirst);
  // A device-gone status survives the check, loss or not.
  EXPECT_EQ(CheckCompletionFrame(&book, FALSE, 0x80000000u, 1, 16, STATUS_DEVICE_NOT_CONNECTED, &findings),
            STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_TRUE(findings & kFrameJump);
  // Jumps of the whole frame range, again and again: the lag stays bounded.
  for (ULONG i = 1; i < 100000; ++i) {
    CheckCompletionFrame(&book, FALSE, i * 0x7FFFFFFFu, 1, 16, STATUS_SUCCESS, &findings);
  }
  EXPECT_LE(book.Lag, 16 * 100000);
  EXPECT_EQ(book.LagTotal, 0xFFFFFFFFu);
}

}  // namespace
}  // namespace trox::test
