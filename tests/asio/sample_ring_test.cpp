// The ASIO stream's rings: what reads and writes give and take, the debt
// that keeps input and output at their distance, the gates, and Balance.
#include <gtest/gtest.h>

#include <vector>

#include "asio/sample_ring.h"
#include "testbed_test.h"

namespace trox::test {
namespace {

constexpr ULONG kFrame = 4;  // 2 channels of 16 bits
constexpr UCHAR kSilence = 0x96;

class SampleRingTest : public TestbedTest {
 protected:
  // A ring of `frames` frames, started, empty.
  void Make(CSampleRing& ring, BOOLEAN input, ULONG frames) {
    ring.Initialize(input);
    ASSERT_EQ(ring.Allocate(frames, kFrame, kSilence), STATUS_SUCCESS);
    ring.Reset(0);
    ring.SetStarted(TRUE);
  }
  void SetUp() override {
    TestbedTest::SetUp();
    // Freed at teardown whether or not a test made them.
    a_.Initialize(TRUE);
    b_.Initialize(FALSE);
  }
  void TearDown() override {
    for (CSampleRing* ring : {&a_, &b_}) ring->Free();
    TestbedTest::TearDown();
  }
  CSampleRing a_;
  CSampleRing b_;
};

std::vector<UCHAR> Bytes(ULONG count, UCHAR first) {
  std::vector<UCHAR> v(count);
  for (ULONG i = 0; i < count; ++i) v[i] = static_cast<UCHAR>(first + i);
  return v;
}

// One step on a ring of 8 frames (32 bytes); expectations after it.
struct Step {
  const char* what;
  bool write;
  ULONG bytes;
  bool partial;
  ULONG accounted;
  ULONG fill;
  LONG debt;
};

TEST_F(SampleRingTest, ReadsAndWritesKeepTheirDistanceThroughDebt) {
  const Step steps[] = {
      {"a write that fits", true, 24, false, 24, 24, 0},
      {"a write past the space: the excess is owed as silence", true, 16, false, 16, 32, 8},
      {"a read pays the debt first", false, 12, false, 12, 28, 0},
      {"a partial read takes what is there", false, 40, true, 28, 0, 0},
      {"a full read of an empty ring: the writer owes the shortfall", false, 8, false, 8, 0, -8},
      {"the next write drops what was already replaced", true, 12, false, 12, 4, 0},
      {"a partial write stops at the space", true, 40, true, 28, 32, 0},
      {"wrapping around the end", false, 20, false, 20, 12, 0},
      {"and back", true, 20, false, 20, 32, 0},
  };
  Make(a_, FALSE, 8);
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    std::vector<UCHAR> buffer = Bytes(s.bytes, 1);
    const ULONG accounted =
        s.write ? a_.Write(buffer.data(), s.bytes, s.partial) : a_.Read(buffer.data(), s.bytes, s.partial);
    EXPECT_EQ(accounted, s.accounted);
    EXPECT_EQ(a_.Fill(), s.fill);
    EXPECT_EQ(a_.Debt(), s.debt);
  }
}

TEST_F(SampleRingTest, DataComesOutInOrderWithSilenceWhereItWasOwed) {
  Make(a_, TRUE, 4);
  const std::vector<UCHAR> first = Bytes(20, 1);  // 4 bytes past the ring
  ASSERT_EQ(a_.Write(first.data(), 20, FALSE), 20u);
  std::vector<UCHAR> out(24, 0);
  // Debt (4 bytes of silence) first, then the 16 stored, then 4 short.
  ASSERT_EQ(a_.Read(out.data(), 24, FALSE), 24u);
  const std::vector<UCHAR> silence(4, kSilence);
  EXPECT_EQ(std::vector<UCHAR>(out.begin(), out.begin() + 4), silence);
  EXPECT_EQ(std::vector<UCHAR>(out.begin() + 4, out.begin() + 20),
            std::vector<UCHAR>(first.begin(), first.begin() + 16));
  EXPECT_EQ(std::vector<UCHAR>(out.begin() + 20, out.end()), silence);
  EXPECT_EQ(a_.Debt(), -4);
  // The writer drops the 4 bytes the reader already had as silence.
  const std::vector<UCHAR> second = Bytes(8, 100);
  ASSERT_EQ(a_.Write(second.data(), 8, FALSE), 8u);
  ASSERT_EQ(a_.Read(out.data(), 4, FALSE), 4u);
  EXPECT_EQ(std::vector<UCHAR>(out.begin(), out.begin() + 4), std::vector<UCHAR>(second.begin() + 4, second.end()));
}

TEST_F(SampleRingTest, GatesPrefillAndAllocation) {
  // The capture ring collects nothing before it is started, but can be read;
  // the render ring takes writes before it is started, but gives nothing.
  Make(a_, TRUE, 8);
  Make(b_, FALSE, 8);
  a_.SetStarted(FALSE);
  b_.SetStarted(FALSE);
  UCHAR buffer[8] = {};
  EXPECT_EQ(a_.Write(buffer, 8, FALSE), 0u);
  EXPECT_EQ(a_.Read(buffer, 8, TRUE), 0u);  // empty, but allowed
  EXPECT_EQ(b_.Write(buffer, 8, FALSE), 8u);
  EXPECT_EQ(b_.Read(buffer, 8, FALSE), 0u);
  // A prefill of silence, cut to the ring; the reset stops the ring.
  b_.Reset(5);
  EXPECT_EQ(b_.Fill(), 20u);
  b_.Reset(100);
  EXPECT_EQ(b_.Fill(), 32u);
  EXPECT_FALSE(b_.IsStarted());
  b_.Reset();
  EXPECT_EQ(b_.Fill(), 32u);  // the stored prefill
  // Storage twice, sizes past 32 bits, nothing at all.
  EXPECT_EQ(b_.Allocate(8, kFrame, 0), STATUS_UNSUCCESSFUL);
  CSampleRing ring;
  ring.Initialize(FALSE);
  EXPECT_EQ(ring.Allocate(0x40000000, 8, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ring.Allocate(0, 8, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ring.Write(buffer, 8, FALSE), 0u);
  EXPECT_EQ(ring.Read(buffer, 8, FALSE), 0u);
}

TEST_F(SampleRingTest, DebtIsHeldToItsRange) {
  Make(a_, TRUE, 1);
  // A client that never reads: the owed silence stops short of wrapping.
  for (int i = 0; i < 3; ++i) EXPECT_EQ(a_.Write(nullptr, 0xFFFFFFFF, FALSE), 0xFFFFFFFFu);
  EXPECT_EQ(a_.Debt(), MAXLONG);
  a_.Read(nullptr, 0xFFFFFFFF, FALSE);
  for (int i = 0; i < 3; ++i) a_.Read(nullptr, 0xFFFFFFFF, FALSE);
  EXPECT_EQ(a_.Debt(), -MAXLONG);
}

TEST_F(SampleRingTest, BalanceCancelsOppositeDebtsInFrames) {
  struct Case {
    LONG captureFrames;  // debt to set up, in frames (positive: the ring owes silence)
    LONG renderFrames;
    LONG captureAfter;
    LONG renderAfter;
  };
  const Case cases[] = {
      {3, -5, 0, -2},  // the capture debt is the smaller
      {-6, 2, -4, 0},  // the render debt is the smaller
      {2, 3, 2, 3},    // the same sign: nothing to cancel
      {0, -4, 0, -4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.captureFrames << " / " << c.renderFrames);
    Make(a_, TRUE, 4);
    // The render ring has frames twice as wide: debts convert frame for frame.
    b_.Initialize(FALSE);
    ASSERT_EQ(b_.Allocate(4, 2 * kFrame, 0), STATUS_SUCCESS);
    b_.Reset(0);
    b_.SetStarted(TRUE);
    auto owe = [](CSampleRing& ring, LONG frames) {
      std::vector<UCHAR> buffer(static_cast<size_t>(ring.Size()) + 64 * ring.BytesPerFrame());
      if (frames > 0) {
        // Fill the ring and overflow it by `frames`.
        ring.Write(buffer.data(), ring.Size() + frames * ring.BytesPerFrame(), FALSE);
      } else if (frames < 0) {
        ring.Read(buffer.data(), -frames * ring.BytesPerFrame(), FALSE);
      }
    };
    owe(a_, c.captureFrames);
    owe(b_, c.renderFrames);
    CSampleRing::Balance(&a_, &b_);
    EXPECT_EQ(a_.Debt(), c.captureAfter * static_cast<LONG>(a_.BytesPerFrame()));
    EXPECT_EQ(b_.Debt(), c.renderAfter * static_cast<LONG>(b_.BytesPerFrame()));
    a_.Free();
    b_.Free();
  }
}

}  // namespace
}  // namespace trox::test
