// Long isochronous streams on the default device: playback that follows the
// device's explicit feedback keeps its buffer steady whatever the clock
// drift, playback at the nominal rate does not, and capture packets carry
// the device's real rate.
#include "bus_fixture.h"
#include "sim/kernel/core/clock.h"
#include "tools/busclient/iso_streamer.h"

namespace sim::usb::test {
namespace {

using trox::busclient::IsoStreamer;
using trox::busclient::PacketSizing;
using trox::busclient::StreamerConfig;
using trox::busclient::StreamerReport;

constexpr int64_t kSecond = 10000000;

struct Drift {
  double ppm;
  PacketSizing sizing;
};

void PrintTo(const Drift& d, std::ostream* os) {
  *os << d.ppm << " ppm, " << (d.sizing == PacketSizing::ExplicitFeedback ? "feedback" : "nominal");
}

class UsbStreamingTest : public UsbBusTest, public ::testing::WithParamInterface<Drift> {
 protected:
  StreamInfo Playback() {
    for (const StreamInfo& s : device_->Streams()) {
      if (s.interfaceNumber == layout_.playbackInterface) return s;
    }
    return {};
  }
};

TEST_P(UsbStreamingTest, PlaybackForAMinute) {
  const Drift d = GetParam();
  device_->SetDriftPpm(d.ppm);
  Configure();
  ASSERT_NE(layout_.feedbackEndpoint, 0) << "the default device has explicit feedback";
  ASSERT_EQ(client_->SelectAlternate(layout_.playbackInterface, layout_.playbackAlt), STATUS_SUCCESS);
  StreamInfo info = Playback();
  ASSERT_GT(info.channels * info.subslotBytes, 0u);
  ASSERT_EQ(info.rate, 48000u);

  StreamerConfig cfg;
  cfg.out = client_->FindPipe(layout_.playbackEndpoint);
  cfg.feedback = client_->FindPipe(layout_.feedbackEndpoint);
  cfg.highSpeed = device_->GetSpeed() == Speed::High;
  cfg.rate = info.rate;
  cfg.frameBytes = info.channels * info.subslotBytes;
  // The device core's playback: 8 transfers of 8 ms in flight.
  cfg.packetsPerTransfer = cfg.highSpeed ? 64 : 8;
  cfg.transfersInFlight = 8;
  cfg.sizing = d.sizing;
  IsoStreamer streamer(*client_, cfg);
  streamer.Start();
  Bed().RunFor(60 * kSecond);
  StreamCounters counters = device_->PlaybackCounters();
  ASSERT_TRUE(streamer.Stop());
  StreamerReport report = streamer.Report();

  EXPECT_EQ(report.failedTransfers, 0u);
  EXPECT_GT(report.feedbackValues, 100u);
  double perInterval = 48000.0 * (1.0 + d.ppm * 1e-6) / (cfg.highSpeed ? 8000 : 1000);
  EXPECT_NEAR(report.lastFeedback / 65536.0, perInterval, perInterval * 20e-6);
  EXPECT_TRUE(counters.started);
  if (d.sizing == PacketSizing::ExplicitFeedback) {
    EXPECT_EQ(counters.underrunFrames, 0u);
    EXPECT_EQ(counters.overrunFrames, 0u);
  } else if (d.ppm > 0) {
    EXPECT_GT(counters.underrunFrames, 0u) << "a faster device runs dry on nominal packets";
  } else {
    EXPECT_GT(counters.overrunFrames, 0u) << "a slower device overflows on nominal packets";
  }
}

INSTANTIATE_TEST_SUITE_P(Drift, UsbStreamingTest,
                         ::testing::Values(Drift{+100, PacketSizing::ExplicitFeedback},
                                           Drift{-100, PacketSizing::ExplicitFeedback},
                                           Drift{+100, PacketSizing::Nominal}, Drift{-100, PacketSizing::Nominal}),
                         [](const ::testing::TestParamInfo<Drift>& p) {
                           std::string name = p.param.sizing == PacketSizing::ExplicitFeedback ? "Feedback" : "Nominal";
                           return name + (p.param.ppm > 0 ? "Plus100ppm" : "Minus100ppm");
                         });

TEST_F(UsbBusTest, CapturePacketsAverageTheDeviceRate) {
  device_->SetDriftPpm(100);
  Configure();
  ASSERT_NE(layout_.captureEndpoint, 0);
  ASSERT_EQ(client_->SelectAlternate(layout_.captureInterface, layout_.captureAlt), STATUS_SUCCESS);
  StreamInfo info{};
  for (const StreamInfo& s : device_->Streams()) {
    if (s.interfaceNumber == layout_.captureInterface) info = s;
  }
  uint32_t frameBytes = info.channels * info.subslotBytes;
  ASSERT_GT(frameBytes, 0u);
  StreamerConfig cfg;
  cfg.in = client_->FindPipe(layout_.captureEndpoint);
  cfg.highSpeed = device_->GetSpeed() == Speed::High;
  cfg.rate = info.rate;
  cfg.frameBytes = frameBytes;
  // The device core's capture: 16 transfers of 1 ms in flight.
  cfg.packetsPerTransfer = cfg.highSpeed ? 8 : 1;
  cfg.transfersInFlight = 16;
  IsoStreamer streamer(*client_, cfg);
  streamer.Start();
  Bed().RunFor(60 * kSecond);
  ASSERT_TRUE(streamer.Stop());
  StreamerReport report = streamer.Report();
  ASSERT_GT(report.inPackets, 1000u);
  EXPECT_EQ(report.failedTransfers, 0u);
  double nominal = info.rate / (cfg.highSpeed ? 8000.0 : 1000.0);
  double perPacket = static_cast<double>(report.inBytes) / frameBytes / report.inPackets;
  double ppm = (perPacket / nominal - 1.0) * 1e6;
  EXPECT_GT(ppm, 80.0);
  EXPECT_LT(ppm, 120.0);
  // Packets are whole frames around the nominal size.
  for (auto& [bytes, count] : report.inPacketSizes) {
    EXPECT_EQ(bytes % frameBytes, 0u);
    EXPECT_LE(bytes / frameBytes, static_cast<uint32_t>(nominal) + 1);
  }
}

}  // namespace
}  // namespace sim::usb::test
