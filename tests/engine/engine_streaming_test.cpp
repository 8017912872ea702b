// A simulated minute of capture through the device core's engine on every
// built-in model with capture, at both ends of the drift range.
#include <gtest/gtest.h>

#include "core_fixture.h"
#include "sim/kernel/core/pool.h"
#include "sim/usb/device/device_models.h"
#include "tools/enginecheck/engine_run.h"

namespace trox::test {
namespace {

struct StreamCase {
  std::string model;
  double ppm;
};

class CaptureMinute : public CoreTest, public ::testing::WithParamInterface<StreamCase> {};

TEST_P(CaptureMinute, StreamsWithoutGaps) {
  const StreamCase& c = GetParam();
  PDEVICE_OBJECT pdo = StartModel(c.model);
  ASSERT_NE(pdo, nullptr);
  enginecheck::EngineRunOptions options;
  options.seconds = 60;
  options.driftPpm = c.ppm;
  const enginecheck::EngineRunResult r = enginecheck::RunCaptureEngine(Bed(), pdo, *Bed().Device(pdo), options);
  EXPECT_TRUE(r.Problems(options).empty()) << ::testing::PrintToString(r.Problems(options));
  // A minute of frames at the device's rate, within the drift.
  const double expected = 60.0 * r.captureFormat.SampleRate;
  EXPECT_NEAR(static_cast<double>(r.sinkFrames), expected, expected * 0.002 + 2000) << c.model;
  EXPECT_EQ(r.capture.FrameJumps, 0u);
  // Two-interface devices run render alongside; it must keep up as well.
  const sim::usb::ModelInfo* model = nullptr;
  for (const sim::usb::ModelInfo& m : sim::usb::ListModels()) {
    if (m.name == c.model) model = &m;
  }
  ASSERT_NE(model, nullptr);
  if (model->channelsOut != 0) {
    EXPECT_GT(r.render.Completions, 50u * 60) << c.model;
  }
  PrintSeedOnFailure(Bed());
}

std::vector<StreamCase> CaptureCases() {
  std::vector<StreamCase> cases;
  for (const sim::usb::ModelInfo& model : sim::usb::ListModels()) {
    if (model.channelsIn == 0) continue;
    for (double ppm : {100.0, -100.0}) cases.push_back({model.name, ppm});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Models, CaptureMinute, ::testing::ValuesIn(CaptureCases()),
                         [](const ::testing::TestParamInfo<StreamCase>& info) {
                           std::string name = info.param.model + (info.param.ppm > 0 ? "_fast" : "_slow");
                           for (char& ch : name) {
                             if (ch == '-') ch = '_';
                           }
                           return name;
                         });

}  // namespace
}  // namespace trox::test

namespace trox::test {
namespace {

class HeadsetDump : public CoreTest {};
class SteadyStreaming : public CoreTest {};

// Buffers and records are recycled by their completions: a minute of
// streaming after the start allocates nothing, on every kind of device.
TEST_F(SteadyStreaming, AllocatesNoPool) {
  for (const char* model : {"oxley-10x6", "uac2-feedback", "uac1-adaptive"}) {
    SCOPED_TRACE(model);
    PDEVICE_OBJECT pdo = StartModel(model);
    ASSERT_NE(pdo, nullptr);
    enginecheck::EngineRunOptions options;
    options.seconds = 62;
    unsigned long long at2 = 0, at62 = 0;
    options.progress = [&](double seconds) {
      if (seconds == 2.0) at2 = sim::pool::DriverAllocationCount();
      if (seconds == 62.0) at62 = sim::pool::DriverAllocationCount();
    };
    const enginecheck::EngineRunResult r = enginecheck::RunCaptureEngine(Bed(), pdo, *Bed().Device(pdo), options);
    EXPECT_TRUE(r.Problems(options).empty());
    EXPECT_NE(at2, 0u);
    EXPECT_EQ(at62 - at2, 0u);
    EXPECT_TRUE(Bed().Unplug(pdo));
  }
}

// A real device's descriptors: playback only, so render runs alone, on
// rates chosen per stream.
TEST_F(HeadsetDump, StartsAndRendersThroughTheEngine) {
  PDEVICE_OBJECT pdo = Bed().PlugDescriptors(TROX_TEST_DATA_DIR "/headset-uac1.hex");
  ASSERT_NE(pdo, nullptr);
  ASSERT_EQ(Bed().Start(pdo), STATUS_SUCCESS);
  EXPECT_TRUE(Adapter(pdo)->PerStreamFormatMode());
  EXPECT_EQ(Adapter(pdo)->GetDeviceSampleRate(), 0u);
  enginecheck::EngineRunOptions options;
  options.seconds = 10;
  options.driftPpm = 100;
  const enginecheck::EngineRunResult r = enginecheck::RunCaptureEngine(Bed(), pdo, *Bed().Device(pdo), options);
  EXPECT_FALSE(r.captureDirection);
  EXPECT_TRUE(r.Problems(options).empty()) << ::testing::PrintToString(r.Problems(options));
  // Transfers of 4 ms on a device without capture.
  EXPECT_NEAR(static_cast<double>(r.render.Completions), 2500, 10);
  EXPECT_TRUE(Bed().Unplug(pdo));
}

}  // namespace
}  // namespace trox::test
