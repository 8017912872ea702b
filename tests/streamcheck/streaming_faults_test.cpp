// Streaming through the driver's transfer layer while the device misbehaves.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "sim/usb/device/device_models.h"
#include "stream_run.h"

using namespace streamcheck;

namespace {

// A second of streaming with `fault` applied right after the start.
StreamRun Stream(sim::usb::UsbAudioDevice& device, std::function<void(sim::usb::UsbAudioDevice&)> fault) {
  StreamCheckOptions options;
  options.seconds = 1;
  options.streamer.checkCaptureCounter = true;
  options.afterStart = std::move(fault);
  return StreamOn(device, options);
}

}  // namespace

TEST(StreamingFaults, GarbledFeedbackFallsBackToTheNominalRate) {
  auto device = sim::usb::CreateModel("uac2-feedback");
  // Feedback packets one byte short (read as the other format: four times
  // the rate), then longer than the endpoint's slot, then empty.
  const StreamRun run = Stream(*device, [](sim::usb::UsbAudioDevice& d) { d.GlitchPacketSize(0x81, -1, 40); });
  const StreamCheckResult& r = run.result;
  ASSERT_EQ(r.report.mode, streamcheck::PlaybackMode::ExplicitFeedback);
  EXPECT_GT(r.report.feedbackReplaced, 0u);
  EXPECT_EQ(r.report.feedbackFailed, 0u);
  // The clock has no drift, so the nominal rate keeps the device fed.
  EXPECT_TRUE(run.problems.empty()) << run.problems;
}

TEST(StreamingFaults, OversizedOrEmptyFeedbackPacketsAreNotBelieved) {
  for (int delta : {4, -4}) {
    SCOPED_TRACE(delta);
    auto device = sim::usb::CreateModel("uac2-feedback");
    device->SetDriftPpm(60);
    // 8 bytes into a 4-byte slot, or nothing at all, from the first read on.
    const StreamRun run =
        Stream(*device, [delta](sim::usb::UsbAudioDevice& d) { d.GlitchPacketSize(0x81, delta, 30); });
    const StreamCheckResult& r = run.result;
    // What reached the caller: "no measurement" (0, before any good packet
    // came) or the drifted rate; never a value read from the bad packets.
    const double rate = r.report.feedbackNominal * (1 + 60e-6);
    for (const auto& [value, count] : r.report.feedbackValues) {
      if (value != 0) {
        EXPECT_NEAR(value, rate, rate * 1e-4) << count << " times";
      }
    }
    EXPECT_NEAR(r.report.feedbackLast, rate, rate * 1e-4);
    if (delta > 0) {
      // A read whose every packet babbled fails as a whole; the reads after
      // the fault succeed again.
      EXPECT_GT(r.report.feedbackFailed, 0u);
      EXPECT_LE(r.report.feedbackFailed, 8u);
      EXPECT_GT(r.report.feedbackReads, r.report.feedbackFailed + 100);
    } else {
      EXPECT_EQ(r.report.feedbackFailed, 0u);
      EXPECT_TRUE(run.problems.empty()) << run.problems;
    }
  }
}

TEST(StreamingFaults, CapturePacketsLongerThanTheirSlotFailOnlyTheirTransfers) {
  auto device = sim::usb::CreateModel("uac2-implicit");
  const StreamRun run = Stream(*device, [](sim::usb::UsbAudioDevice& d) { d.GlitchPacketSize(0x82, 400, 5); });
  const StreamCheckResult& r = run.result;
  EXPECT_GT(r.capture.babblePackets, 0u);
  EXPECT_GT(r.report.captureFailed, 0u);
  EXPECT_LE(r.report.captureFailed, 5u);
  // Capture went on after them, and playback never noticed.
  EXPECT_GT(r.report.captureTransfers, r.report.captureFailed + 100);
  EXPECT_EQ(r.report.playbackFailed, 0u);
  EXPECT_EQ(r.comparison.mismatchedFrames, 0u);
  EXPECT_TRUE(r.stopped);
}

TEST(StreamingFaults, UnpluggedDeviceEndsTheRunWithoutHanging) {
  auto device = sim::usb::CreateModel("oxley-2x2");
  const StreamRun run = Stream(*device, [](sim::usb::UsbAudioDevice& d) { d.Unplug(); });
  const StreamCheckResult& r = run.result;
  EXPECT_TRUE(r.stopped);
  EXPECT_FALSE(NT_SUCCESS(r.report.firstError));
}

TEST(StreamingFaults, RandomLatenessWithinTheBuffersCostsNothing) {
  // Stalled processors, late DPCs, stalled frames and held completions, up
  // to 4 ms each, about five a second: less than the 16 ms of capture and
  // 64 ms of playback in flight, so nothing may be lost.
  constexpr int64_t kMs = sim::clock::kTicksPerMillisecond;
  for (const char* model : {"oxley-10x6", "uac2-feedback", "vendor-00c7"}) {
    SCOPED_TRACE(model);
    auto device = sim::usb::CreateModel(model);
    device->SetDriftPpm(100);
    StreamCheckOptions options;
    options.seconds = 20;
    options.recordSeconds = 5;
    options.streamer.checkCaptureCounter = true;
    const StreamRun run = StreamOn(*device, options, {.latenessGap = 200 * kMs, .latenessMax = 4 * kMs});
    ASSERT_TRUE(run.started);
    EXPECT_TRUE(run.problems.empty()) << run.problems;
  }
}

// Render changes its format and goes back to zero bandwidth hundreds of
// times while capture streams: the capture pipe never goes missing under a
// submission in between.
TEST(StreamingFaults, AFormatChangeOfOneDirectionLeavesTheOtherStreaming) {
  for (const char* model : {"uac2-feedback", "oxley-10x6"}) {
    SCOPED_TRACE(model);
    auto device = sim::usb::CreateModel(model);
    sim::testbed::Testbed bed(trox::test::BedOptions());
    DriverSession session(bed, *device);
    ASSERT_TRUE(session.Ok());
    CUSBAudioCL& audio = *session.Audio();
    StreamCheckOptions options;
    options.seconds = 2;
    options.streamer.playback = false;
    options.streamer.checkCaptureCounter = true;
    int changes = 0;
    options.progress = [&](double) {
      ULONG channels = 0, bits = 0, bytes = 0;
      if (!NT_SUCCESS(audio.GetBestFormat(kDirectionRender, 1, options.streamer.rate, &channels, &bits))) return;
      for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(audio.SelectStreamingFormat(kDirectionRender, 1, channels, bits, options.streamer.rate, 8, &channels,
                                              &bits, &bytes),
                  STATUS_SUCCESS);
        audio.SelectStreamingFormat(kDirectionRender, 0, 0, 0, 0, 8, nullptr, nullptr, nullptr);
        ++changes;
      }
    };
    const StreamCheckResult r = RunStreamCheck(audio, *device, options);
    EXPECT_GE(changes, 300);
    EXPECT_EQ(r.report.captureRefused, 0u);
    EXPECT_TRUE(r.Problems().empty());
    EXPECT_EQ(session.Close(), STATUS_SUCCESS);
    bed.Close();
  }
}
