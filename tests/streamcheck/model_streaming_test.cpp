// Every built-in model streams for a simulated minute through the driver's
// transfer layer in the device core's transfer configuration, in the mode
// the driver picks for it, with its clock off by some ppm: the device must
// play without underrun or overrun once started, receive exactly the frames
// sent, and capture must arrive gap-free.
#include <gtest/gtest.h>

#include <string>

#include "sim/usb/device/descriptor_builder.h"
#include "sim/usb/device/device_models.h"
#include "sim/usb/device/usb_constants.h"
#include "stream_run.h"

using namespace streamcheck;

namespace {

struct Case {
  const char* model;
  ULONG rate;
  double driftPpm;
  streamcheck::PlaybackMode mode;
};

std::string Name(const testing::TestParamInfo<Case>& info) {
  std::string name =
      std::string(info.param.model) + "_" + std::to_string(info.param.rate) + "_" +
      (info.param.driftPpm < 0 ? "minus" : "plus") +
      std::to_string(static_cast<int>(info.param.driftPpm < 0 ? -info.param.driftPpm : info.param.driftPpm));
  for (char& c : name) {
    if (c == '-') c = '_';
  }
  return name;
}

class ModelStreaming : public testing::TestWithParam<Case> {};

TEST_P(ModelStreaming, PlaysEveryFrameSentAndCapturesWithoutGaps) {
  const Case& c = GetParam();
  auto device = sim::usb::CreateModel(c.model);
  ASSERT_NE(device, nullptr);
  device->SetDriftPpm(c.driftPpm);

  StreamCheckOptions options;
  options.streamer.rate = c.rate;
  options.streamer.checkCaptureCounter = true;
  options.seconds = 60;
  // The first ten seconds are compared frame by frame; the counters cover all.
  options.recordSeconds = 10;
  const StreamRun run = StreamOn(*device, options);
  ASSERT_TRUE(run.started);
  const StreamCheckResult& r = run.result;
  EXPECT_TRUE(run.problems.empty()) << run.problems;
  EXPECT_EQ(r.report.mode, c.mode) << ModeName(r.report.mode);

  // The whole run went both ways (start-up and stop cost a little).
  const double expected = c.rate * options.seconds;
  EXPECT_GT(r.report.playbackFramesSent, expected * 0.9);
  EXPECT_LT(r.report.playbackFramesSent, expected * 1.05);
  EXPECT_GT(r.report.captureFrames, expected * 0.9);
  EXPECT_GT(r.report.counterFrames, expected * 0.9);
  if (c.mode == streamcheck::PlaybackMode::ExplicitFeedback) {
    // The averaged feedback tracks the drifted clock.
    const double nominal = r.report.feedbackNominal;
    EXPECT_NEAR(r.report.feedbackLast, nominal * (1 + c.driftPpm * 1e-6), nominal * 2e-4);
    EXPECT_EQ(r.report.feedbackReplaced, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Models, ModelStreaming,
    testing::Values(Case{"oxley-10x6", 48000, 100, streamcheck::PlaybackMode::ImplicitFeedback},
                    Case{"oxley-10x6", 44100, -100, streamcheck::PlaybackMode::ImplicitFeedback},
                    Case{"oxley-2x2", 96000, -100, streamcheck::PlaybackMode::ImplicitFeedback},
                    Case{"uac2-implicit", 48000, 100, streamcheck::PlaybackMode::ImplicitFeedback},
                    Case{"uac2-implicit", 44100, -100, streamcheck::PlaybackMode::ImplicitFeedback},
                    Case{"uac2-feedback", 48000, 100, streamcheck::PlaybackMode::ExplicitFeedback},
                    Case{"uac2-feedback", 44100, -100, streamcheck::PlaybackMode::ExplicitFeedback},
                    Case{"uac1-feedback", 44100, 100, streamcheck::PlaybackMode::ImplicitFeedback},
                    Case{"uac1-feedback", 48000, -100, streamcheck::PlaybackMode::ImplicitFeedback},
                    Case{"uac1-adaptive", 44100, 100, streamcheck::PlaybackMode::ImplicitFeedback},
                    Case{"uac1-adaptive", 8000, -100, streamcheck::PlaybackMode::ImplicitFeedback},
                    Case{"vendor-00c7", 48000, 100, streamcheck::PlaybackMode::Pattern},
                    Case{"vendor-00c7", 44100, -100, streamcheck::PlaybackMode::Pattern}),
    Name);

}  // namespace

namespace {

// Full-speed class 1.0 devices with playback only: nothing to couple
// playback to, so the driver uses the feedback endpoint or, for an adaptive
// endpoint, the rate pattern.
std::unique_ptr<sim::usb::UsbAudioDevice> Uac1PlaybackOnly(bool feedback) {
  using namespace sim::usb;
  ConfigurationBuilder c(1, 0x80, 100);
  c.Interface(0, 0, kClassAudio, kSubclassAudioControl, 0)
      .Ac1Header({1})
      .Ac1InputTerminal(1, 0x0101, 2)
      .Ac1FeatureUnit(2, 1, 1, {0x03, 0x00, 0x00})
      .Ac1OutputTerminal(3, 0x0301, 2);
  c.Interface(1, 0, kClassAudio, kSubclassAudioStreaming, 0)
      .Interface(1, 1, kClassAudio, kSubclassAudioStreaming, 0)
      .Ac1AsGeneral(1, 1, 0x0001)
      .Ac1FormatTypeI(2, 2, 16, {44100, 48000});
  if (feedback) {
    c.AudioEndpoint(0x01, kXferIsochronous | kSyncAsync, 196, 1, 0, 0x81)
        .Ac1EndpointGeneral(0x01)
        .AudioEndpoint(0x81, kXferIsochronous | kSyncNone, 3, 1, 2, 0);
  } else {
    c.AudioEndpoint(0x01, kXferIsochronous | kSyncAdaptive, 196, 1, 0, 0).Ac1EndpointGeneral(0x01);
  }
  DeviceDescriptorFields dev;
  dev.bcdUSB = 0x0110;
  dev.bDeviceClass = 0;
  dev.bDeviceSubClass = 0;
  dev.bDeviceProtocol = 0;
  dev.bMaxPacketSize0 = 16;
  dev.idVendor = 0x1234;
  dev.idProduct = feedback ? 0x0111 : 0x0112;
  DeviceDefinition d;
  d.name = feedback ? "playback-feedback" : "playback-adaptive";
  d.strings[dev.iSerialNumber] = d.name;
  d.speed = Speed::Full;
  d.deviceDescriptor = BuildDeviceDescriptor(dev);
  d.configurationDescriptor = c.Build();
  d.initialRate = 48000;
  return std::make_unique<UsbAudioDevice>(d);
}

struct FullSpeedCase {
  bool feedback;
  ULONG rate;
  double driftPpm;
};

class FullSpeedPlayback : public testing::TestWithParam<FullSpeedCase> {};

TEST_P(FullSpeedPlayback, PlaysEveryFrameSent) {
  const FullSpeedCase& c = GetParam();
  auto device = Uac1PlaybackOnly(c.feedback);
  device->SetDriftPpm(c.driftPpm);
  StreamCheckOptions options;
  options.streamer.rate = c.rate;
  options.seconds = 2;
  const StreamRun run = StreamOn(*device, options);
  ASSERT_TRUE(run.started);
  const StreamCheckResult& r = run.result;
  EXPECT_TRUE(run.problems.empty()) << run.problems;
  EXPECT_EQ(r.report.mode,
            c.feedback ? streamcheck::PlaybackMode::ExplicitFeedback : streamcheck::PlaybackMode::Pattern);
  EXPECT_FALSE(r.report.capture.active);
  EXPECT_GT(r.report.playbackFramesSent, c.rate * options.seconds * 0.9);
  if (!c.feedback) {
    // The pattern's packet sizes: 44 or 45 frames at 44.1 kHz, 48 at 48 kHz.
    for (const auto& [size, count] : r.playback.packetSizes) {
      EXPECT_TRUE(size == c.rate / 1000 * 4 || size == (c.rate / 1000 + 1) * 4) << size << " x " << count;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(PlaybackOnly, FullSpeedPlayback,
                         testing::Values(FullSpeedCase{true, 44100, 100}, FullSpeedCase{true, 48000, -100},
                                         FullSpeedCase{false, 44100, 100}, FullSpeedCase{false, 48000, -100}),
                         [](const testing::TestParamInfo<FullSpeedCase>& info) {
                           return std::string(info.param.feedback ? "feedback_" : "adaptive_") +
                                  std::to_string(info.param.rate);
                         });

}  // namespace

namespace {

// A high-speed class 2.0 playback-only device whose data endpoint is served
// every second microframe (bInterval 2): the feedback value stays frames
// per microframe, while packets carry two microframes' worth.
std::unique_ptr<sim::usb::UsbAudioDevice> Uac2PlaybackEverySecondMicroframe() {
  using namespace sim::usb;
  ConfigurationBuilder c(1, 0x80, 100);
  c.InterfaceAssociation(0, 2, kClassAudio, 0x00, kProtocolAudio20)
      .Interface(0, 0, kClassAudio, kSubclassAudioControl, kProtocolAudio20)
      .Ac2Header(0x0A)
      .Ac2ClockSource(8, 0x03, 0x07)
      .Ac2InputTerminal(1, 0x0101, 8, 2)
      .Ac2OutputTerminal(3, 0x0301, 1, 8);
  c.Interface(1, 0, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20)
      .Interface(1, 1, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20)
      .Ac2AsGeneral(1, 2)
      .Ac2FormatTypeI(4, 24)
      .Endpoint(0x01, kXferIsochronous | kSyncAsync | kUsageData, 2 * 2 * 4 * 13, 2)
      .Ac2EndpointGeneral()
      .Endpoint(0x81, kXferIsochronous | kSyncNone | kUsageFeedback, 4, 4);
  DeviceDescriptorFields dev;
  dev.idVendor = 0x1234;
  dev.idProduct = 0x0222;
  DeviceDefinition d;
  d.name = "playback-interval-2";
  d.strings[dev.iSerialNumber] = "playback-interval-2";
  d.speed = Speed::High;
  d.deviceDescriptor = BuildDeviceDescriptor(dev);
  d.configurationDescriptor = c.Build();
  d.clockRanges = {{44100, 44100, 0}, {48000, 48000, 0}};
  d.initialRate = 48000;
  return std::make_unique<UsbAudioDevice>(d);
}

TEST(HighSpeedPlayback, FeedbackWithAPacketEverySecondMicroframe) {
  for (ULONG rate : {48000u, 44100u}) {
    SCOPED_TRACE(rate);
    auto device = Uac2PlaybackEverySecondMicroframe();
    device->SetDriftPpm(100);
    StreamCheckOptions options;
    options.streamer.rate = rate;
    options.seconds = 2;
    const StreamRun run = StreamOn(*device, options);
    ASSERT_TRUE(run.started);
    const StreamCheckResult& r = run.result;
    EXPECT_TRUE(run.problems.empty()) << run.problems;
    EXPECT_EQ(r.report.mode, streamcheck::PlaybackMode::ExplicitFeedback);
    // The device's measurements were taken, not replaced by the nominal rate.
    EXPECT_EQ(r.report.feedbackReplaced, 0u);
    EXPECT_NEAR(r.report.playbackFramesSent, rate * options.seconds, rate * options.seconds * 0.1);
  }
}

}  // namespace
