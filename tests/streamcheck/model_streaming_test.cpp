// Every built-in model streams for seconds through the driver's transfer
// layer, in the mode the driver picks for it, with its clock off by some
// ppm: the device must play without underrun or overrun once started,
// receive exactly the frames sent, and capture must arrive gap-free.
#include <gtest/gtest.h>

#include <string>

#include "sim/usb/device/device_models.h"
#include "tools/streamcheck/driver_session.h"
#include "tools/streamcheck/stream_check.h"

using namespace streamcheck;

namespace {

struct Case {
  const char* model;
  ULONG rate;
  double driftPpm;
  PlaybackMode mode;
};

std::string Name(const testing::TestParamInfo<Case>& info) {
  std::string name = std::string(info.param.model) + "_" + std::to_string(info.param.rate) + "_" +
                     (info.param.driftPpm < 0 ? "minus" : "plus") +
                     std::to_string(static_cast<int>(info.param.driftPpm < 0 ? -info.param.driftPpm
                                                                             : info.param.driftPpm));
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
  DriverSession session(*device);
  ASSERT_TRUE(session.Ok()) << session.FailedStep() << " " << std::hex << session.FailedStatus();

  StreamCheckOptions options;
  options.streamer.rate = c.rate;
  options.streamer.checkCaptureCounter = true;
  // 64 ms of capture in flight rather than the device core's 16: this runs
  // in real time beside other tests.
  options.streamer.captureMs = 4;
  options.seconds = 2;
  const StreamCheckResult r = RunStreamCheck(*session.Audio(), *device, options);
  std::string problems;
  for (const std::string& p : r.Problems()) problems += "\n  " + p;
  EXPECT_TRUE(problems.empty()) << problems;
  EXPECT_EQ(r.report.mode, c.mode) << ModeName(r.report.mode);

  // Roughly two seconds went both ways (start-up and stop cost a little).
  const double expected = c.rate * options.seconds;
  EXPECT_GT(r.report.playbackFramesSent, expected * 0.9);
  EXPECT_LT(r.report.playbackFramesSent, expected * 1.3);
  EXPECT_GT(r.report.captureFrames, expected * 0.9);
  EXPECT_GT(r.report.counterFrames, expected * 0.9);
  if (c.mode == PlaybackMode::ExplicitFeedback) {
    // The averaged feedback tracks the drifted clock.
    const double nominal = r.report.feedbackNominal;
    EXPECT_NEAR(r.report.feedbackLast, nominal * (1 + c.driftPpm * 1e-6), nominal * 2e-4);
    EXPECT_EQ(r.report.feedbackReplaced, 0u);
  }
  EXPECT_EQ(session.Close(), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    Models, ModelStreaming,
    testing::Values(Case{"oxley-10x6", 48000, 100, PlaybackMode::ImplicitFeedback},
                    Case{"oxley-10x6", 44100, -100, PlaybackMode::ImplicitFeedback},
                    Case{"oxley-2x2", 96000, -100, PlaybackMode::ImplicitFeedback},
                    Case{"uac2-implicit", 48000, 100, PlaybackMode::ImplicitFeedback},
                    Case{"uac2-implicit", 44100, -100, PlaybackMode::ImplicitFeedback},
                    Case{"uac2-feedback", 48000, 100, PlaybackMode::ExplicitFeedback},
                    Case{"uac2-feedback", 44100, -100, PlaybackMode::ExplicitFeedback},
                    Case{"uac1-feedback", 44100, 100, PlaybackMode::ImplicitFeedback},
                    Case{"uac1-feedback", 48000, -100, PlaybackMode::ImplicitFeedback},
                    Case{"uac1-adaptive", 44100, 100, PlaybackMode::ImplicitFeedback},
                    Case{"uac1-adaptive", 8000, -100, PlaybackMode::ImplicitFeedback},
                    Case{"vendor-00c7", 48000, 100, PlaybackMode::Pattern},
                    Case{"vendor-00c7", 44100, -100, PlaybackMode::Pattern}),
    Name);

}  // namespace
