// A counter signal played through the WaveRT render path comes back through
// the simulated device's loopback and the WaveRT capture path sample for
// sample, at a constant offset: the engine's round trip.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "core_fixture.h"
#include "sim/usb/device/device_models.h"
#include "tools/enginecheck/duplex_run.h"

namespace trox::test {
namespace {

struct LoopbackCase {
  std::string model;
  double ppm;
};

// Simulated seconds of each run (ten minutes; one under the sanitizers);
// TROX_LOOPBACK_SECONDS overrides it.
double LoopbackSeconds() {
  const char* text = std::getenv("TROX_LOOPBACK_SECONDS");
  return text != nullptr ? std::atof(text) : TROX_LOOPBACK_DEFAULT_SECONDS;
}

class Loopback : public CoreTest, public ::testing::WithParamInterface<LoopbackCase> {};

TEST_P(Loopback, ArrivesSampleForSampleAtAConstantOffset) {
  const LoopbackCase& c = GetParam();
  PDEVICE_OBJECT pdo = StartModel(c.model);
  ASSERT_NE(pdo, nullptr);
  enginecheck::DuplexRunOptions options;
  options.seconds = LoopbackSeconds();
  options.driftPpm = c.ppm;
  const enginecheck::DuplexRunResult r = enginecheck::RunDuplexEngine(Bed(), pdo, *Bed().Device(pdo), options);
  EXPECT_TRUE(r.Problems(options).empty()) << ::testing::PrintToString(r.Problems(options));
  if (r.capture) {
    // Every frame after the round trip was compared.
    const double expected = options.seconds * r.captureStream.SampleRate;
    EXPECT_NEAR(static_cast<double>(r.framesCompared), expected, expected * 0.002 + 2000);
    std::printf("[ round trip ] %s %+.0f ppm: %lld frames, %.3f ms (%s)\n", c.model.c_str(), c.ppm,
                static_cast<long long>(r.offsetFrames), r.OffsetMs(), r.captureClocked ? "capture-clocked" : "direct");
  } else {
    // Paced by the 1-ms timer at the device's rate.
    EXPECT_GT(r.positionQueries, static_cast<uint64_t>(options.seconds * 900));
    const double expected = options.seconds * r.renderStream.SampleRate;
    EXPECT_NEAR(static_cast<double>(r.renderFramesPlayed), expected, expected * 0.002 + 2000);
  }
  PrintSeedOnFailure(Bed());
}

std::vector<LoopbackCase> Cases() {
  std::vector<LoopbackCase> cases;
  for (const sim::usb::ModelInfo& model : sim::usb::ListModels()) {
    if (model.channelsOut == 0) continue;
    for (double ppm : {100.0, -100.0}) cases.push_back({model.name, ppm});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Models, Loopback, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<LoopbackCase>& info) {
                           std::string name = info.param.model + (info.param.ppm > 0 ? "_fast" : "_slow");
                           for (char& ch : name) {
                             if (ch == '-') ch = '_';
                           }
                           return name;
                         });

// A real playback-only device's descriptors: nothing to loop back, render
// runs alone at the device's pace, paced by the 1-ms timer.
TEST_F(CoreTest, RenderOnlyDevicePlaysFromTheTimer) {
  PDEVICE_OBJECT pdo = Bed().PlugDescriptors(TROX_TEST_DATA_DIR "/headset-uac1.hex");
  ASSERT_NE(pdo, nullptr);
  ASSERT_EQ(Bed().Start(pdo), STATUS_SUCCESS);
  enginecheck::DuplexRunOptions options;
  options.seconds = 20;
  options.driftPpm = -100;
  const enginecheck::DuplexRunResult r = enginecheck::RunDuplexEngine(Bed(), pdo, *Bed().Device(pdo), options);
  EXPECT_FALSE(r.capture);
  EXPECT_TRUE(r.Problems(options).empty()) << ::testing::PrintToString(r.Problems(options));
  EXPECT_GT(r.positionQueries, static_cast<uint64_t>(options.seconds * 900));
  const double expected = options.seconds * r.renderStream.SampleRate;
  EXPECT_NEAR(static_cast<double>(r.renderFramesPlayed), expected, expected * 0.002 + 2000);
  EXPECT_EQ(r.underrunsAfterStart, 0u);
  EXPECT_TRUE(Bed().Unplug(pdo));
}

}  // namespace
}  // namespace trox::test
