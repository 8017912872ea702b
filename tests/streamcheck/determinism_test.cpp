// Simulated time replays: one seed, the same run, down to every counter the
// device and the host kept.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "sim/usb/device/device_models.h"
#include "stream_run.h"

using namespace streamcheck;

namespace {

std::string Fingerprint(const StreamCheckResult& r) {
  std::ostringstream s;
  auto counters = [&s](const sim::usb::StreamCounters& c) {
    s << c.packets << " " << c.framesReceived << " " << c.framesConsumed << " " << c.framesSent << " "
      << c.underrunFrames << " " << c.overrunFrames << " " << c.droppedFrames << " " << c.feedbackPackets << " "
      << c.lastFeedback << " " << c.bufferedFrames << " |";
    for (const auto& [size, count] : c.packetSizes) s << " " << size << "x" << count;
    s << "\n";
  };
  counters(r.playback);
  counters(r.capture);
  const StreamerReport& h = r.report;
  s << h.playbackTransfers << " " << h.playbackFramesSent << " " << h.captureTransfers << " " << h.captureFrames << " "
    << h.feedbackReads << " " << h.feedbackLast << " " << h.feedbackMin << " " << h.feedbackMax << "\n";
  return s.str();
}

TEST(SimulatedTime, OneSeedGivesTheSameRunTwice) {
  for (const char* model : {"oxley-10x6", "uac2-feedback", "vendor-00c7"}) {
    SCOPED_TRACE(model);
    std::string runs[2];
    for (std::string& fingerprint : runs) {
      auto device = sim::usb::CreateModel(model);
      device->SetDriftPpm(-70);
      StreamCheckOptions options;
      options.seconds = 3;
      options.streamer.checkCaptureCounter = true;
      const StreamRun run = StreamOn(*device, options, {.seed = 12345});
      ASSERT_TRUE(run.started);
      EXPECT_TRUE(run.problems.empty()) << run.problems;
      fingerprint = Fingerprint(run.result);
    }
    EXPECT_EQ(runs[0], runs[1]);
  }
}

}  // namespace
