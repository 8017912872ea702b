// Capture faults the engine must recover from by itself, and starts that
// must fail cleanly.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "core_fixture.h"
#include "sim/kernel/core/clock.h"
#include "sim/usb/device/device_models.h"
#include "tools/enginecheck/engine_run.h"

namespace trox::test {
namespace {

using sim::clock::kTicksPerMillisecond;
using sim::clock::kTicksPerSecond;

struct FaultCase {
  const char* what;
  std::function<void(sim::testbed::Testbed&, CAdapterCommon&)> inject;  // at 1 s
  uint32_t failEvery;
  uint64_t minRecoveries;
  uint64_t maxRecoveries;
};

class CaptureFaults : public CoreTest {
 protected:
  void Run(const std::string& model, const FaultCase& c) {
    SCOPED_TRACE(std::string(c.what) + " on " + model);
    PDEVICE_OBJECT pdo = StartModel(model);
    ASSERT_NE(pdo, nullptr);
    CAdapterCommon* adapter = Adapter(pdo);
    enginecheck::EngineRunOptions options;
    options.seconds = 3;
    options.failEvery = c.failEvery;
    ULONG64 delivered[2] = {};
    options.progress = [&](double seconds) {
      if (seconds == 1.0 && c.inject) c.inject(Bed(), *adapter);
      if (seconds == 2.0 || seconds == 3.0) {
        EngineDirectionCounters counters = {};
        adapter->Engine().GetCounters(kDirectionCapture, &counters);
        delivered[seconds == 3.0] = counters.FramesDelivered;
      }
    };
    const enginecheck::EngineRunResult r = enginecheck::RunCaptureEngine(Bed(), pdo, *Bed().Device(pdo), options);
    ASSERT_TRUE(r.started);
    EXPECT_GE(r.capture.Recoveries, c.minRecoveries);
    EXPECT_LE(r.capture.Recoveries, c.maxRecoveries);
    EXPECT_EQ(r.badFrames, 0u);
    // Frames go missing at the failed transfer and while the pipe is reset.
    EXPECT_LE(r.discontinuities, 2 * r.capture.Recoveries);
    // Streaming went on by itself: the last second delivered a second of frames.
    const double rate = r.captureFormat.SampleRate;
    EXPECT_NEAR(static_cast<double>(delivered[1] - delivered[0]), rate, rate * (c.failEvery != 0 ? 0.05 : 0.01));
    EXPECT_TRUE(NT_SUCCESS(r.stopStatus));
    EXPECT_EQ(Bed().Stop(pdo), STATUS_SUCCESS);
    EXPECT_TRUE(Bed().Unplug(pdo));
  }
};

TEST_F(CaptureFaults, RecoverWithoutAClient) {
  const FaultCase cases[] = {
      {"no fault", nullptr, 0, 0, 0},
      {"a packet error every 300 completions", nullptr, 300, 5, 10},
      {"the injected failure of the next capture",
       [](sim::testbed::Testbed&, CAdapterCommon& a) { a.Engine().FailNextCompletion(kDirectionCapture); }, 0,
       1, 1},
      {"bus frames stalled past the transfers in flight",
       [](sim::testbed::Testbed& bed, CAdapterCommon&) { bed.StallFrames(40 * kTicksPerMillisecond); }, 0, 1,
       2},
      {"a late batch of completions",
       [](sim::testbed::Testbed& bed, CAdapterCommon&) { bed.HoldCompletions(40 * kTicksPerMillisecond); }, 0,
       1, 2},
      {"a short processor stall inside the buffering",
       [](sim::testbed::Testbed& bed, CAdapterCommon&) { bed.StallProcessor(0, 8 * kTicksPerMillisecond); }, 0,
       0, 0},
  };
  for (const char* model : {"oxley-10x6", "uac1-adaptive"}) {
    for (const FaultCase& c : cases) Run(model, c);
  }
  PrintSeedOnFailure(Bed());
}

class StartFailures : public CoreTest {};

TEST_F(StartFailures, AClockThatNeverBecomesValid) {
  PDEVICE_OBJECT pdo = StartModel("oxley-10x6");
  sim::usb::UsbAudioDevice* device = Bed().Device(pdo);
  for (const auto& [id, entity] : device->Function().entities) device->SetClockValid(id, false);
  const int64_t before = sim::clock::Now();
  EXPECT_EQ(Adapter(pdo)->StartDirection(kDirectionCapture, 0), STATUS_UNSUCCESSFUL);
  // Given up within seconds; nothing runs afterwards.
  EXPECT_LT(sim::clock::Now() - before, 5 * kTicksPerSecond);
  EXPECT_FALSE(Adapter(pdo)->Engine().IsThreadRunning(kDirectionCapture));
  EXPECT_EQ(Adapter(pdo)->StartCount(kDirectionCapture), 0);
  EXPECT_EQ(device->CurrentAlternate(device->Streams().front().interfaceNumber), 0);
}

// Render's first completion never comes when the device never answers a
// feedback read: render slots are released only by a good one.
TEST_F(StartFailures, NoFirstCompletionWithinTenSeconds) {
  PDEVICE_OBJECT pdo = StartModel("uac2-feedback");
  sim::usb::UsbAudioDevice* device = Bed().Device(pdo);
  for (const sim::usb::InterfaceInfo& info : device->Function().interfaces) {
    for (const sim::usb::AltSettingInfo& alternate : info.alternates) {
      if (alternate.Feedback() != nullptr) device->InjectPacketErrors(alternate.Feedback()->address, 0xFFFFFFFF);
    }
  }
  const int64_t before = sim::clock::Now();
  EXPECT_EQ(Adapter(pdo)->StartDirection(kDirectionCapture, 0), STATUS_UNSUCCESSFUL);
  const int64_t waited = sim::clock::Now() - before;
  EXPECT_GE(waited, 10 * kTicksPerSecond);
  EXPECT_LT(waited, 12 * kTicksPerSecond);
  EXPECT_FALSE(Adapter(pdo)->Engine().IsThreadRunning(kDirectionCapture));
  EXPECT_FALSE(Adapter(pdo)->Engine().IsThreadRunning(kDirectionRender));
  EXPECT_EQ(Adapter(pdo)->StartCount(kDirectionCapture), 0);
  for (const sim::usb::StreamInfo& stream : device->Streams()) EXPECT_EQ(stream.alternate, 0);
}

}  // namespace
}  // namespace trox::test
