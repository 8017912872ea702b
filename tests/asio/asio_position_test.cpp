// The position clock against the formula computed in 128 bits: equal at
// every length of run, the ones past the point where 64 bits wrap included.
#include <gtest/gtest.h>

#include "asio/asio_position.h"

namespace trox::test {
namespace {

ULONG Exact(unsigned __int128 ticks, unsigned __int128 frequency, unsigned __int128 rate) {
  const unsigned __int128 us = (ticks * 1000000 + frequency / 2) / frequency;
  return static_cast<ULONG>((us * rate + 500000) / 1000000);
}

TEST(AsioPosition, MatchesTheFormulaAtEveryRunLength) {
  constexpr ULONGLONG kDay = 86400;
  for (ULONGLONG frequency : {3000000ULL, 3579545ULL, 10000000ULL}) {
    for (ULONG rate : {44100u, 48000u, 96000u, 192000u, 768000u}) {
      for (ULONGLONG seconds : {0ULL, 1ULL, 3600ULL, 10 * kDay, 11 * kDay, 30 * kDay, 365 * kDay}) {
        for (ULONGLONG extra : {0ULL, 1ULL, frequency / 3, frequency - 1}) {
          const ULONGLONG ticks = seconds * frequency + extra;
          EXPECT_EQ(AsioPositionFrames(ticks, frequency, rate), Exact(ticks, frequency, rate))
              << frequency << " Hz counter, " << rate << " Hz, " << seconds << " s + " << extra << " ticks";
        }
      }
    }
  }
  EXPECT_EQ(AsioPositionFrames(12345, 0, 48000), 0u);
}

TEST(AsioPosition, AdvancesSmoothlyPastTheOldWrap) {
  // Around 10.7 days at 10 MHz the 64-bit product used to wrap: the position
  // must go on by the frames of each millisecond.
  const ULONGLONG frequency = 10000000;
  const ULONGLONG wrap = ~0ULL / 1000000;
  ULONG last = AsioPositionFrames(wrap - 100 * 10000, frequency, 48000);
  for (ULONGLONG ticks = wrap - 99 * 10000; ticks < wrap + 100 * 10000; ticks += 10000) {
    const ULONG now = AsioPositionFrames(ticks, frequency, 48000);
    EXPECT_EQ(now - last, 48u) << ticks;
    last = now;
  }
}

}  // namespace
}  // namespace trox::test
