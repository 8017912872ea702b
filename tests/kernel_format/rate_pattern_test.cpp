// The playback rate pattern table against an independent count of the
// frames due in each packet.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numeric>
#include <vector>

#include "platform.h"
#include "audiofunction/rate_pattern.h"

namespace {

std::vector<unsigned> Pattern(const RatePatternRow* row, bool highSpeed) {
  std::vector<unsigned> out;
  for (ULONG i = 0; i < RatePatternLength(row, highSpeed); ++i) out.push_back(RatePatternFrames(row, highSpeed, i));
  return out;
}

TEST(RatePattern, EveryRowCarriesItsRateExactlyOverTheShortestCycle) {
  const struct {
    uint32_t rate;
    unsigned fsLength;
    unsigned hsLength;
  } kExpected[] = {{768000, 1, 1},  {705600, 5, 5},   {384000, 1, 1}, {352800, 5, 10}, {192000, 1, 1},
                   {176400, 5, 20}, {96000, 1, 1},    {88200, 5, 40}, {48000, 1, 1},   {44100, 10, 80},
                   {32000, 1, 1},   {22050, 20, 160}, {16000, 1, 1},  {11025, 40, 320}, {8000, 1, 1}};
  ASSERT_EQ(RatePatternCount(), 15u);
  for (const auto& e : kExpected) {
    SCOPED_TRACE(e.rate);
    const RatePatternRow* row = FindRatePattern(e.rate);
    ASSERT_NE(row, nullptr);
    for (bool hs : {false, true}) {
      const uint64_t unit = hs ? 8000 : 1000;
      const std::vector<unsigned> p = Pattern(row, hs);
      ASSERT_EQ(p.size(), hs ? e.hsLength : e.fsLength);
      // The cycle is the shortest one whose frames come out whole.
      EXPECT_EQ(uint64_t{e.rate} * p.size() % unit, 0u);
      for (uint64_t l = 1; l < p.size(); ++l) EXPECT_NE(uint64_t{e.rate} * l % unit, 0u) << l;
      EXPECT_EQ(std::accumulate(p.begin(), p.end(), uint64_t{0}), uint64_t{e.rate} * p.size() / unit);
      // No packet strays more than a frame from the nominal share, and at
      // no point is the running total more than one frame ahead or behind.
      uint64_t sent = 0;
      for (size_t i = 0; i < p.size(); ++i) {
        EXPECT_TRUE(p[i] == e.rate / unit || p[i] == e.rate / unit + 1) << i;
        sent += p[i];
        const double due = double(e.rate) * double(i + 1) / double(unit);
        EXPECT_LT(std::abs(double(sent) - due), 1.0) << i;
      }
    }
  }
}

TEST(RatePattern, KnownRowsAndTheFullSpeedException) {
  const RatePatternRow* r44 = FindRatePattern(44100);
  ASSERT_NE(r44, nullptr);
  std::vector<unsigned> fs44(10, 44);
  fs44[0] = 45;
  EXPECT_EQ(Pattern(r44, false), fs44);
  const std::vector<unsigned> hs44 = Pattern(r44, true);
  EXPECT_EQ(std::vector<unsigned>(hs44.begin(), hs44.begin() + 5), (std::vector<unsigned>{6, 6, 5, 6, 5}));
  EXPECT_EQ(Pattern(FindRatePattern(705600), false), (std::vector<unsigned>{706, 705, 706, 705, 706}));
  EXPECT_EQ(Pattern(FindRatePattern(705600), true), (std::vector<unsigned>{89, 88, 88, 88, 88}));
  EXPECT_EQ(Pattern(FindRatePattern(352800), false), (std::vector<unsigned>{353, 353, 353, 353, 352}));
  EXPECT_EQ(Pattern(FindRatePattern(176400), false), (std::vector<unsigned>{177, 176, 177, 176, 176}));
  EXPECT_EQ(Pattern(FindRatePattern(8000), true), (std::vector<unsigned>{1}));
  // Used cyclically.
  EXPECT_EQ(RatePatternFrames(r44, FALSE, 10), 45u);
  for (uint32_t rate : {0u, 12000u, 44099u, 2822400u}) EXPECT_EQ(FindRatePattern(rate), nullptr) << rate;
}

}  // namespace
