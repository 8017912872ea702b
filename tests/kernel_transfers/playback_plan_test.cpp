// Packet plans and layouts of playback transfers in the three clock modes,
// and the feedback decoding, without a device.
#include <gtest/gtest.h>

#include <numeric>

#include "transfer_probe.h"

namespace transfertest {
namespace {

std::vector<ULONG> Repeat(ULONG value, size_t count) { return std::vector<ULONG>(count, value); }

std::vector<ULONG> Join(std::vector<ULONG> a, const std::vector<ULONG>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class ImplicitFullSpeed : public ::testing::Test {
 protected:
  void SetUp() override {
    probe_ = new (NonPagedPoolNx, kPoolTagDriver) TransferProbe();
    probe_->SetUp(false, 4, false, true);
    StreamInterface& s = probe_->Playback();
    s.NominalPacketBytes = 192;
    s.MinimumPacketBytes = 188;
    s.MaximumPacketBytes = 196;
    s.ShortPacket = 1;
  }
  void TearDown() override { delete probe_; }
  TransferProbe* probe_ = nullptr;
};

TEST_F(ImplicitFullSpeed, FramesBelowAboveAndAtNominal) {
  std::vector<ULONG> lengths;
  ASSERT_EQ(probe_->Layout(1528, 8, &lengths), STATUS_SUCCESS);
  EXPECT_EQ(lengths, Join(Repeat(192, 6), Repeat(188, 2)));
  ASSERT_EQ(probe_->Layout(1544, 8, &lengths), STATUS_SUCCESS);
  EXPECT_EQ(lengths, Join(Repeat(196, 2), Repeat(192, 6)));
  ASSERT_EQ(probe_->Layout(1536, 8, &lengths), STATUS_SUCCESS);
  EXPECT_EQ(lengths, Repeat(192, 8));
}

TEST_F(ImplicitFullSpeed, WithoutShortPacketsALowLengthUsesNominalPacketsAndTheLastHoldsTheRest) {
  probe_->Playback().ShortPacket = 0;
  std::vector<ULONG> lengths;
  ASSERT_EQ(probe_->Layout(1528, 8, &lengths), STATUS_SUCCESS);
  EXPECT_EQ(lengths, Join(Repeat(192, 7), {184}));
}

TEST_F(ImplicitFullSpeed, HighSpeedPadsToWholeMillisecondsWithEmptyPackets) {
  probe_->SetUp(true, 4, false, true);
  StreamInterface& s = probe_->Playback();
  s.NominalPacketBytes = 24;
  s.MinimumPacketBytes = 20;
  s.MaximumPacketBytes = 28;
  std::vector<ULONG> lengths;
  ASSERT_EQ(probe_->Layout(5 * 24, 1, &lengths), STATUS_SUCCESS);
  EXPECT_EQ(lengths, Join(Repeat(24, 5), Repeat(0, 3)));
}

TEST_F(ImplicitFullSpeed, APlanBeyondSixtyFourPacketsIsRefused) {
  std::vector<ULONG> lengths;
  EXPECT_EQ(probe_->Layout(65 * 192, 8, &lengths), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(probe_->Layout(0, 8, &lengths), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(probe_->Layout(64 * 192, 8, &lengths), STATUS_SUCCESS);
  EXPECT_EQ(lengths.size(), 64u);
}

class PatternMode : public ::testing::Test {
 protected:
  void SetUp() override { probe_ = new (NonPagedPoolNx, kPoolTagDriver) TransferProbe(); }
  void TearDown() override { delete probe_; }
  TransferProbe* probe_ = nullptr;
};

TEST_F(PatternMode, FullSpeed44100TenMillisecondsReturnsToTheStart) {
  probe_->SetUp(false, 4, false, false);
  probe_->SetPattern(44100, 0);
  EXPECT_EQ(probe_->PlaybackBytes(10, 0), 1764u);
  std::vector<ULONG> lengths;
  ASSERT_EQ(probe_->Layout(1764, 10, &lengths), STATUS_SUCCESS);
  EXPECT_EQ(lengths, Join({180}, Repeat(176, 9)));
  EXPECT_EQ(probe_->Position(), 0u);
}

TEST_F(PatternMode, PlaybackBytesDoesNotMoveThePosition) {
  probe_->SetUp(false, 4, false, false);
  probe_->SetPattern(44100, 3);
  EXPECT_EQ(probe_->PlaybackBytes(1, 0), 176u);
  EXPECT_EQ(probe_->PlaybackBytes(1, 0), 176u);
  EXPECT_EQ(probe_->Position(), 3u);
}

TEST_F(PatternMode, WithoutARateRowNothingIsPlanned) {
  probe_->SetUp(false, 4, false, false);
  std::vector<ULONG> lengths;
  EXPECT_EQ(probe_->Layout(1764, 10, &lengths), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(probe_->PlaybackBytes(10, 0), 0u);
}

TEST_F(PatternMode, ATooLongTransferIsRefusedWithoutMovingThePosition) {
  probe_->SetUp(false, 4, false, false);
  probe_->SetPattern(48000, 0);
  std::vector<ULONG> lengths;
  EXPECT_EQ(probe_->Layout(65 * 192, 65, &lengths), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(probe_->Position(), 0u);
}

// Frames sent over a long run of transfers of varying length must follow
// rate x time, within one frame, for every rate of the table at both speeds.
TEST_F(PatternMode, LongRunsFollowTheRateForEveryRowAtBothSpeeds) {
  for (ULONG r = 0; r < RatePatternCount(); ++r) {
    const ULONG rate = RatePatternAt(r)->Rate;
    for (bool highSpeed : {false, true}) {
      SCOPED_TRACE(::testing::Message() << rate << (highSpeed ? " high speed" : " full speed"));
      probe_->SetUp(highSpeed, 8, false, false);
      probe_->SetPattern(rate, 0);
      ULONGLONG frames = 0;
      ULONGLONG ms = 0;
      std::vector<ULONG> lengths;
      for (int i = 0; i < 400; ++i) {
        const ULONG step = 1 + i % 8;
        const ULONG bytes = probe_->PlaybackBytes(step, 0);
        ASSERT_EQ(probe_->Layout(bytes, step, &lengths), STATUS_SUCCESS);
        ASSERT_EQ(lengths.size(), highSpeed ? step * 8 : step);
        const ULONG sent = std::accumulate(lengths.begin(), lengths.end(), 0u);
        ASSERT_EQ(sent, bytes);
        frames += sent / 8;
        ms += step;
        const ULONGLONG expected = ms * rate / 1000;
        ASSERT_LE(frames > expected ? frames - expected : expected - frames, 1u) << "after " << ms << " ms";
      }
    }
  }
}

class ExplicitFeedback : public ::testing::Test {
 protected:
  void SetUp() override {
    probe_ = new (NonPagedPoolNx, kPoolTagDriver) TransferProbe();
    probe_->SetUp(false, 4, true, false);
  }
  void TearDown() override { delete probe_; }
  TransferProbe* probe_ = nullptr;
};

TEST_F(ExplicitFeedback, RateOf44Point1FramesGivesEveryTenthPacket45Frames) {
  probe_->SetFeedbackRate(0x002C199A);
  std::vector<ULONG> all;
  for (int t = 0; t < 4; ++t) {
    const ULONG bytes = probe_->PlaybackBytes(5, 0x002C199A);
    std::vector<ULONG> lengths;
    ASSERT_EQ(probe_->Layout(bytes, 5, &lengths), STATUS_SUCCESS);
    ASSERT_EQ(lengths.size(), 5u);
    all.insert(all.end(), lengths.begin(), lengths.end());
  }
  for (size_t i = 0; i < all.size(); ++i) {
    EXPECT_EQ(all[i], i % 10 == 9 ? 180u : 176u) << "packet " << i;
  }
}

TEST_F(ExplicitFeedback, HighSpeedRoundingSpreadsTheFramesAndKeepsTheAccumulator) {
  probe_->SetUp(true, 4, true, false);
  probe_->SetFeedbackRate(0x58000);  // 5.5 frames per microframe
  probe_->Playback().PacketAccumulator = 0x1234;
  std::vector<ULONG> lengths;
  ASSERT_EQ(probe_->Layout(23 * 4, 1, &lengths), STATUS_SUCCESS);
  EXPECT_EQ(lengths, Join(Repeat(12, 7), {8}));
  EXPECT_EQ(probe_->Playback().PacketAccumulator, 0x1234u);
}

TEST_F(ExplicitFeedback, WithoutAnyRateTheNominalOneIsUsedAndNoRateAtAllIsRefused) {
  probe_->Playback().SampleRate = 48000;
  std::vector<ULONG> lengths;
  ASSERT_EQ(probe_->Layout(8 * 192, 8, &lengths), STATUS_SUCCESS);
  EXPECT_EQ(lengths, Repeat(192, 8));
  probe_->Playback().SampleRate = 0;
  EXPECT_EQ(probe_->Layout(8 * 192, 8, &lengths), STATUS_INVALID_PARAMETER);
}

TEST_F(ExplicitFeedback, LongRunFollowsTheNominalRateAtBothSpeeds) {
  for (ULONG rate : {44100u, 48000u, 96000u, 192000u}) {
    for (bool highSpeed : {false, true}) {
      SCOPED_TRACE(::testing::Message() << rate << (highSpeed ? " high speed" : " full speed"));
      probe_->SetUp(highSpeed, 4, true, false);
      probe_->Playback().SampleRate = rate;
      probe_->Playback().PacketAccumulator = 0;
      const ULONG feedback = probe_->NominalFeedback(kDirectionRender);
      probe_->SetFeedbackRate(feedback);
      ULONGLONG frames = 0;
      std::vector<ULONG> lengths;
      for (ULONG ms = 1; ms <= 4000; ++ms) {
        const ULONG bytes = probe_->PlaybackBytes(1, feedback);
        ASSERT_EQ(probe_->Layout(bytes, 1, &lengths), STATUS_SUCCESS);
        frames += std::accumulate(lengths.begin(), lengths.end(), 0u) / 4;
        const ULONGLONG expected = static_cast<ULONGLONG>(ms) * rate / 1000;
        ASSERT_LE(expected - frames, 1u) << "after " << ms << " ms";
      }
    }
  }
}

TEST(FeedbackDecoding, ThreeByteValuesAndAnEmptyPacketAverage) {
  TransferProbe* probe = new (NonPagedPoolNx, kPoolTagDriver) TransferProbe();
  probe->SetUp(false, 4, true, false);
  const std::vector<uint8_t> data = {0x66, 0x06, 0x0B, 0x66, 0x06, 0x0B, 0xAA, 0xAA, 0xAA};
  EXPECT_EQ(probe->Feedback(data, {{0, 3}, {3, 3}, {6, 0}}, 6), 0x002C1998u);
  EXPECT_EQ(probe->Playback().LastFeedbackValue, 0x002C1998u);
  // Nothing arrived: the last value stands.
  EXPECT_EQ(probe->Feedback(data, {{0, 0}, {3, 0}, {6, 0}}, 0), 0x002C1998u);
  delete probe;
}

TEST(FeedbackDecoding, GarbageIsSkippedAndNothingIsReadOutsideTheBuffer) {
  TransferProbe* probe = new (NonPagedPoolNx, kPoolTagDriver) TransferProbe();
  probe->SetUp(false, 4, true, false);
  probe->FeedbackPipe().MaximumPacketSize = 4;
  const std::vector<uint8_t> data = {0x00, 0x00, 0x00, 0x00, 0x9A, 0x19, 0x2C, 0x00, 0x01, 0x02, 0x03, 0x04};
  // Wrong length, a zero value, longer than the slot, past the buffer's end: all skipped.
  EXPECT_EQ(probe->Feedback(data, {{0, 2}, {0, 4}, {4, 4}, {8, 9}, {10, 4}}, 12), 0x002C199Au);
  EXPECT_EQ(probe->Playback().LastFeedbackValue, 0x002C199Au);
  // Nothing usable at all: 0, and the last value stays.
  EXPECT_EQ(probe->Feedback(data, {{0, 4}, {0, 7}}, 12), 0u);
  EXPECT_EQ(probe->Playback().LastFeedbackValue, 0x002C199Au);
  // An absurd value is passed on as measured; judging it is the engine's business.
  const std::vector<uint8_t> huge = {0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(probe->Feedback(huge, {{0, 4}}, 4), 0xFFFFFFFFu);
  delete probe;
}

TEST(FeedbackDecoding, ReadLengthCoversFourMilliseconds) {
  TransferProbe* probe = new (NonPagedPoolNx, kPoolTagDriver) TransferProbe();
  probe->SetUp(false, 4, false, false);
  EXPECT_EQ(probe->FeedbackReadLength(), 0u);
  probe->SetUp(false, 4, true, false);
  EXPECT_EQ(probe->FeedbackReadLength(), 12u);
  probe->SetUp(true, 4, true, false);
  probe->FeedbackPipe().MaximumPacketSize = 4;
  probe->FeedbackPipe().Interval = 4;
  EXPECT_EQ(probe->FeedbackReadLength(), 16u);
  probe->FeedbackPipe().Interval = 1;
  EXPECT_EQ(probe->FeedbackReadLength(), 128u);
  delete probe;
}

TEST(StagingLayout, EveryPacketCarriesItsLengthHeaderAndEveryFrameIsSent) {
  struct Case {
    bool highSpeed;
    ULONG interval;  // microframes per packet
    ULONG rate;
    ULONG ms;
    ULONG packets;
    ULONG firstCount;  // audio bytes behind the first header (0: not checked)
  };
  const Case cases[] = {
      {false, 1, 44100, 10, 10, 180},
      {true, 1, 96000, 2, 16, 48},
      {true, 2, 96000, 4, 16, 96},  // half the audio used to stay behind here
      {true, 4, 44100, 2, 4, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "interval " << c.interval << " rate " << c.rate);
    TransferProbe* probe = new (NonPagedPoolNx, kPoolTagDriver) TransferProbe();
    probe->SetUp(c.highSpeed, 4, false, false);
    probe->SetPacketInterval(c.interval);
    probe->SetPattern(c.rate, 0);
    const ULONG length = probe->PlaybackBytes(c.ms, 0);
    std::vector<uint8_t> data(length);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    std::vector<uint8_t> staging;
    std::vector<USBD_ISO_PACKET_DESCRIPTOR> packets;
    ASSERT_EQ(probe->Staging(data, c.ms, &staging, &packets), STATUS_SUCCESS);
    ASSERT_EQ(packets.size(), c.packets);
    ASSERT_EQ(staging.size(), length + 4u * c.packets);
    size_t read = 0;
    for (size_t i = 0; i < packets.size(); ++i) {
      const ULONG count = staging[packets[i].Offset] | (staging[packets[i].Offset + 1] << 8) |
                          (staging[packets[i].Offset + 2] << 16) | (staging[packets[i].Offset + 3] << 24);
      if (i == 0 && c.firstCount != 0) {
        EXPECT_EQ(count, c.firstCount);
      }
      EXPECT_EQ(packets[i].Length, count + 4);
      ASSERT_LE(read + count, data.size());
      EXPECT_TRUE(
          std::equal(data.begin() + read, data.begin() + read + count, staging.begin() + packets[i].Offset + 4));
      read += count;
    }
    EXPECT_EQ(read, data.size());
    if (!c.highSpeed) {
      EXPECT_EQ(probe->Position(), 0u);  // 10 ms: a whole pattern
    }
    delete probe;
  }
}

}  // namespace
}  // namespace transfertest

// The plan as a function of the stream's state alone.
TEST(PlaybackPlanFunction, RefusesWhatNoTransferCanCarry) {
  struct Case {
    const char* what;
    PlaybackPlanInput input;
    NTSTATUS status;
  };
  PlaybackPlanInput base = {};
  base.Mode = PlaybackExplicit;
  base.Length = 8 * 288;
  base.Milliseconds = 8;
  base.BytesPerFrame = 6;
  base.FeedbackRate = 48 << 16;
  const auto with = [&](auto change) {
    PlaybackPlanInput input = base;
    change(input);
    return input;
  };
  const Case cases[] = {
      {"8 ms of feedback-sized packets", base, STATUS_SUCCESS},
      {"no frame size", with([](PlaybackPlanInput& i) { i.BytesPerFrame = 0; }), STATUS_INVALID_DEVICE_STATE},
      {"a rate of 0 never reaches the length", with([](PlaybackPlanInput& i) { i.FeedbackRate = 0; }),
       STATUS_INVALID_PARAMETER},
      {"more packets than a URB holds", with([](PlaybackPlanInput& i) { i.Length = 100 * 288; }),
       STATUS_INVALID_PARAMETER},
      {"implicit without a nominal packet", with([](PlaybackPlanInput& i) { i.Mode = PlaybackImplicit; }),
       STATUS_INVALID_DEVICE_STATE},
      {"a pattern without a row", with([](PlaybackPlanInput& i) { i.Mode = PlaybackPattern; }),
       STATUS_INVALID_DEVICE_STATE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PlaybackPlan plan;
    EXPECT_EQ(PlanPlaybackPackets(c.input, 64, &plan), c.status);
    if (NT_SUCCESS(c.status)) {
      EXPECT_EQ(plan.Packets, 8u);
    }
  }
  EXPECT_EQ(ChoosePlaybackMode(TRUE, TRUE), PlaybackImplicit);
  EXPECT_EQ(ChoosePlaybackMode(FALSE, TRUE), PlaybackExplicit);
  EXPECT_EQ(ChoosePlaybackMode(FALSE, FALSE), PlaybackPattern);
}
