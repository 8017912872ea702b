// Render faults during a duplex loopback run: failed render transfers, a
// capture recovery beside them, a device whose feedback lies or goes quiet
// or whose clock steps, and removal at the awkward moments. The stream
// keeps going (or stops cleanly when the device goes) and nothing is left
// behind.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "core_fixture.h"
#include "sim/usb/device/device_models.h"
#include "tools/enginecheck/duplex_run.h"

namespace trox::test {
namespace {

using sim::usb::FeedbackForgery;
using sim::usb::UsbAudioDevice;

constexpr uint8_t kFeedbackEndpoint = 0x81;  // uac2-feedback and uac1-feedback

struct RenderFaultCase {
  const char* what;
  const char* model;
  double driftPpm;
  uint32_t failRenderEvery;
  std::function<void(CAdapterCommon&, UsbAudioDevice&)> inject;  // at 1 s
  uint64_t minRecoveries;                                        // render
  uint64_t maxRecoveries;
  bool underrunsAllowed;  // the fault starves the device for a moment
};

class RenderFaults : public CoreTest {
 protected:
  void Run(const RenderFaultCase& c) {
    SCOPED_TRACE(std::string(c.what) + " on " + c.model);
    PDEVICE_OBJECT pdo = StartModel(c.model);
    ASSERT_NE(pdo, nullptr);
    CAdapterCommon* adapter = Adapter(pdo);
    UsbAudioDevice& device = *Bed().Device(pdo);
    enginecheck::DuplexRunOptions options;
    options.seconds = 4;
    options.driftPpm = c.driftPpm;
    options.failRenderEvery = c.failRenderEvery;
    options.injectsFaults = c.inject != nullptr;
    ULONG64 pulled[2] = {};
    uint64_t underrunsBefore = 0;
    options.progress = [&](double seconds) {
      if (seconds == 1.0 && c.inject) c.inject(*adapter, device);
      if (seconds == 3.0 || seconds == 4.0) {
        RenderPathCounters counters = {};
        adapter->RenderPath(CAdapterCommon::kWaveClient).GetCounters(&counters);
        pulled[seconds == 4.0] = counters.FramesPulled;
      }
      if (seconds == 3.0) underrunsBefore = device.PlaybackCounters().underrunFrames;
    };
    const enginecheck::DuplexRunResult r = enginecheck::RunDuplexEngine(Bed(), pdo, device, options);
    EXPECT_TRUE(r.Problems(options).empty()) << ::testing::PrintToString(r.Problems(options));
    EXPECT_GE(r.renderCounters.Recoveries, c.minRecoveries);
    EXPECT_LE(r.renderCounters.Recoveries, c.maxRecoveries);
    // Streaming went on by itself: the last second played a second of frames.
    const double rate = r.renderStream.SampleRate;
    EXPECT_NEAR(static_cast<double>(pulled[1] - pulled[0]), rate, rate * 0.05);
    if (!c.underrunsAllowed) {
      EXPECT_EQ(r.underrunsAfterStart, 0u);
    }
    // A single fault is over by the last second: the device plays cleanly again.
    if (c.failRenderEvery == 0) {
      EXPECT_EQ(r.playbackDevice.underrunFrames, underrunsBefore);
    }
    EXPECT_EQ(Bed().Stop(pdo), STATUS_SUCCESS);
    EXPECT_TRUE(Bed().Unplug(pdo));
  }
};

void ForgeFeedback(UsbAudioDevice& device, FeedbackForgery kind) { device.ForgeFeedback(kFeedbackEndpoint, kind, 50); }

TEST_F(RenderFaults, TheStreamGoesOn) {
  auto failNext = [](UCHAR direction) {
    return [direction](CAdapterCommon& a, UsbAudioDevice&) { a.Engine().FailNextCompletion(direction); };
  };
  const RenderFaultCase cases[] = {
      {"a render error every 300 completions", "oxley-10x6", 50, 300, nullptr, 1, 20, true},
      {"a render error every 100 completions", "uac2-feedback", 100, 100, nullptr, 2, 40, true},
      {"a render error every 100 completions", "uac1-adaptive", -100, 100, nullptr, 2, 40, true},
      {"the injected failure of the next render", "oxley-2x2", 0, 0, failNext(kDirectionRender), 1, 2, true},
      {"a render error while capture recovers", "oxley-10x6", 0, 0,
       [](CAdapterCommon& a, UsbAudioDevice&) {
         a.Engine().FailNextCompletion(kDirectionCapture);
         a.Engine().FailNextCompletion(kDirectionRender);
       },
       1, 3, true},
      {"a capture recovery that render must follow", "uac2-implicit", 0, 0, failNext(kDirectionCapture), 0, 2, true},
      {"zero feedback", "uac2-feedback", 100, 0,
       [](CAdapterCommon&, UsbAudioDevice& d) { ForgeFeedback(d, FeedbackForgery::Zero); }, 0, 0, false},
      {"garbled feedback", "uac2-feedback", -100, 0,
       [](CAdapterCommon&, UsbAudioDevice& d) { ForgeFeedback(d, FeedbackForgery::Garbled); }, 0, 0, false},
      {"garbled 10.14 feedback", "uac1-feedback", 100, 0,
       [](CAdapterCommon&, UsbAudioDevice& d) { ForgeFeedback(d, FeedbackForgery::Garbled); }, 0, 0, false},
      {"feedback of twice the rate", "uac2-feedback", 100, 0,
       [](CAdapterCommon&, UsbAudioDevice& d) { ForgeFeedback(d, FeedbackForgery::Doubled); }, 0, 0, false},
      {"10.14 feedback at high speed", "uac2-feedback", 100, 0,
       [](CAdapterCommon&, UsbAudioDevice& d) { ForgeFeedback(d, FeedbackForgery::FullSpeedFormat); }, 0, 0, false},
      {"feedback absent for a while", "uac2-feedback", 100, 0,
       [](CAdapterCommon&, UsbAudioDevice& d) { d.DropInPackets(kFeedbackEndpoint, 40); }, 0, 20, true},
      {"a device clock that steps by 1000 ppm", "uac2-feedback", 0, 0,
       [](CAdapterCommon&, UsbAudioDevice& d) { d.SetDriftPpm(1000); }, 0, 0, false},
  };
  for (const RenderFaultCase& c : cases) Run(c);
}

// Removal at moments the render side is busy with something else: the run
// ends, the engine saw the device go and teardown finds nothing left.
TEST_F(RenderFaults, RemovalStopsCleanly) {
  struct RemovalCase {
    const char* what;
    const char* model;
    double unplugAfter;
    uint32_t failRenderEvery;
  };
  const RemovalCase cases[] = {
      {"during the latency probe", "oxley-10x6", 0.0005, 0},
      {"during render recoveries", "oxley-10x6", 1.0, 3},
      {"during render recoveries with feedback", "uac2-feedback", 1.0, 3},
  };
  for (const RemovalCase& c : cases) {
    SCOPED_TRACE(std::string(c.what) + " on " + c.model);
    PDEVICE_OBJECT pdo = StartModel(c.model);
    ASSERT_NE(pdo, nullptr);
    enginecheck::DuplexRunOptions options;
    options.seconds = 2;
    options.unplugAfter = c.unplugAfter;
    options.failRenderEvery = c.failRenderEvery;
    const enginecheck::DuplexRunResult r = enginecheck::RunDuplexEngine(Bed(), pdo, *Bed().Device(pdo), options);
    EXPECT_TRUE(r.unplugged);
    // Still probing: render had not taken a frame when the device went.
    if (c.unplugAfter < 0.01) {
      EXPECT_EQ(r.renderFramesPlayed, 0u);
    }
    EXPECT_TRUE(r.Problems(options).empty()) << ::testing::PrintToString(r.Problems(options));
  }
}

// The AMD workaround: a fixed set of 1-ms render transfers refilled in place.
class RenderFaultsOnAmd : public CoreTest {
 protected:
  sim::testbed::Options Options() override {
    sim::testbed::Options options = CoreTest::Options();
    options.controller.pciVendorId = 0x1022;
    return options;
  }
};

TEST_F(RenderFaultsOnAmd, StreamsRecoversAndIsRemovedDuringRecoveries) {
  struct AmdCase {
    const char* what;
    uint32_t failRenderEvery;
    double unplugAfter;
  };
  const AmdCase cases[] = {
      {"streaming", 0, -1},
      {"render errors", 700, -1},
      {"removal during render recoveries", 300, 1.0},
  };
  for (const AmdCase& c : cases) {
    SCOPED_TRACE(c.what);
    PDEVICE_OBJECT pdo = StartModel("oxley-10x6");
    ASSERT_NE(pdo, nullptr);
    ASSERT_TRUE(Adapter(pdo)->AmdWorkaround());
    enginecheck::DuplexRunOptions options;
    options.seconds = 3;
    options.unplugAfter = c.unplugAfter;
    options.failRenderEvery = c.failRenderEvery;
    const enginecheck::DuplexRunResult r = enginecheck::RunDuplexEngine(Bed(), pdo, *Bed().Device(pdo), options);
    EXPECT_TRUE(r.Problems(options).empty()) << ::testing::PrintToString(r.Problems(options));
    if (c.failRenderEvery != 0) {
      EXPECT_GE(r.renderCounters.Recoveries, 1u);
    }
    if (c.unplugAfter < 0) {
      // After each recovery the path primes again and the signal comes back.
      EXPECT_GT(static_cast<double>(r.framesCompared), 0.8 * options.seconds * r.captureStream.SampleRate);
      EXPECT_EQ(Bed().Stop(pdo), STATUS_SUCCESS);
      EXPECT_TRUE(Bed().Unplug(pdo));
    }
  }
}

}  // namespace
}  // namespace trox::test
