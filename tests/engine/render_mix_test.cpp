// Two render sources in the same transfers: the WaveRT stream's signal and
// a second source standing in for the ASIO stream, which adds a constant to
// every sample. What comes back is their sum, saturated at full scale.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core_fixture.h"
#include "sim/kernel/core/pool.h"
#include "tools/enginecheck/constant_rings.h"
#include "tools/enginecheck/duplex_run.h"

namespace trox::test {
namespace {

TEST_F(CoreTest, TwoRenderSourcesAreMixedIntoTheSameTransfers) {
  // A small offset, and one that drives the counter into saturation at both ends.
  for (int16_t bias : {int16_t{0x0100}, int16_t{0x6000}, int16_t{-0x6000}}) {
    for (const char* model : {"oxley-10x6", "uac2-implicit"}) {
      SCOPED_TRACE(std::string(model) + " + " + std::to_string(bias));
      PDEVICE_OBJECT pdo = StartModel(model);
      ASSERT_NE(pdo, nullptr);
      CAdapterCommon* adapter = Adapter(pdo);
      CStreamEngine& engine = adapter->Engine();
      std::unique_ptr<enginecheck::ConstantRings> rings;
      enginecheck::DuplexRunOptions options;
      options.renderBias = bias;
      NTSTATUS asioStart = STATUS_PENDING;
      options.onStarted = [&](CAdapterCommon& a) {
        rings = std::make_unique<enginecheck::ConstantRings>(engine.DeviceFormat(kDirectionRender),
                                                             engine.DeviceFormat(kDirectionCapture), bias);
        asioStart = enginecheck::StartSecondClient(a, *rings);
      };
      const enginecheck::DuplexRunResult r = enginecheck::RunDuplexEngine(Bed(), pdo, *Bed().Device(pdo), options);
      adapter->AttachAsioStream(nullptr);
      EXPECT_EQ(asioStart, STATUS_SUCCESS);
      EXPECT_TRUE(r.Problems(options).empty()) << ::testing::PrintToString(r.Problems(options));
      ASSERT_NE(rings, nullptr);
      EXPECT_GT(rings->Reads(), 100u);
      // The second sink got the whole run (and the few milliseconds until the stop).
      const double captured = static_cast<double>(rings->CapturedBytes()) / r.captureDevice.BytesPerFrame;
      const double run = options.seconds * r.captureDevice.SampleRate;
      EXPECT_GT(captured, run * 0.95);
      EXPECT_LT(captured, run * 1.1);
      EXPECT_EQ(Bed().Stop(pdo), STATUS_SUCCESS);
      EXPECT_TRUE(Bed().Unplug(pdo));
    }
  }
}

// Once streaming, two sources and two sinks run a minute on what the start
// allocated.
TEST_F(CoreTest, SteadyDuplexWithTwoClientsAllocatesNoPool) {
  for (const char* model : {"oxley-10x6", "uac2-feedback"}) {
    SCOPED_TRACE(model);
    PDEVICE_OBJECT pdo = StartModel(model);
    ASSERT_NE(pdo, nullptr);
    CAdapterCommon* adapter = Adapter(pdo);
    std::unique_ptr<enginecheck::ConstantRings> rings;
    enginecheck::DuplexRunOptions options;
    options.seconds = 62;
    options.onStarted = [&](CAdapterCommon& a) {
      rings = std::make_unique<enginecheck::ConstantRings>(a.Engine().DeviceFormat(kDirectionRender),
                                                           a.Engine().DeviceFormat(kDirectionCapture), 0);
      EXPECT_EQ(enginecheck::StartSecondClient(a, *rings), STATUS_SUCCESS);
    };
    unsigned long long at2 = 0, at62 = 0;
    options.progress = [&](double seconds) {
      if (seconds == 2.0) at2 = sim::pool::DriverAllocationCount();
      if (seconds == 62.0) at62 = sim::pool::DriverAllocationCount();
    };
    const enginecheck::DuplexRunResult r = enginecheck::RunDuplexEngine(Bed(), pdo, *Bed().Device(pdo), options);
    adapter->AttachAsioStream(nullptr);
    EXPECT_TRUE(r.Problems(options).empty()) << ::testing::PrintToString(r.Problems(options));
    EXPECT_NE(at2, 0u);
    EXPECT_EQ(at62 - at2, 0u);
    EXPECT_TRUE(Bed().Unplug(pdo));
  }
}

}  // namespace
}  // namespace trox::test
