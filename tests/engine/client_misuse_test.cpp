// What a careless WaveRT client may do through the device core: formats no
// converter serves, flushes while the streams run, chunks after removal.
// Each gets a status or is ignored; nothing streams wrong and nothing is
// left behind.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "core_fixture.h"
#include "sim/kernel/core/clock.h"
#include "sim/usb/device/device_models.h"
#include "tools/enginecheck/duplex_run.h"

namespace trox::test {
namespace {

using sim::clock::kTicksPerMillisecond;

TEST_F(CoreTest, FormatsWithoutAConverterAreRefusedAndTheStreamStaysRight) {
  PDEVICE_OBJECT pdo = StartModel(sim::usb::kDefaultModel);
  ASSERT_NE(pdo, nullptr);
  CAdapterCommon* adapter = Adapter(pdo);
  const ULONG rate = adapter->GetDeviceSampleRate();
  struct Bad {
    USHORT type;
    ULONG channels;
    ULONG bits;
  };
  // 8-bit PCM, 20-bit containers, 64-bit float, an unknown type, no channels.
  for (const Bad& bad : {Bad{1, 2, 8}, Bad{1, 2, 20}, Bad{3, 2, 64}, Bad{7, 2, 16}, Bad{1, 0, 16}}) {
    for (UCHAR direction : {kDirectionRender, kDirectionCapture}) {
      SCOPED_TRACE(testing::Message() << "type " << bad.type << ", " << bad.channels << " ch, " << bad.bits << " bit, "
                                      << (direction == kDirectionRender ? "render" : "capture"));
      // Refused when the format is set, or at the latest when the stream starts.
      NTSTATUS status = adapter->SetStreamFormat(direction, bad.type, bad.channels, bad.bits, rate);
      if (NT_SUCCESS(status)) status = adapter->StartDirection(direction, 4096);
      EXPECT_FALSE(NT_SUCCESS(status));
      if (NT_SUCCESS(status)) adapter->StopDirection(direction);
      EXPECT_FALSE(adapter->RenderPath(CAdapterCommon::kWaveClient).IsStarted());
      EXPECT_FALSE(adapter->CapturePath(CAdapterCommon::kWaveClient).IsStarted());
    }
  }
  enginecheck::DuplexRunOptions options;
  const enginecheck::DuplexRunResult r = enginecheck::RunDuplexEngine(Bed(), pdo, *Bed().Device(pdo), options);
  EXPECT_TRUE(r.Problems(options).empty()) << ::testing::PrintToString(r.Problems(options));
}

TEST_F(CoreTest, FlushesWhileRunningLoseChunksButNothingElse) {
  PDEVICE_OBJECT pdo = StartModel(sim::usb::kDefaultModel);
  ASSERT_NE(pdo, nullptr);
  CAdapterCommon* adapter = Adapter(pdo);
  enginecheck::DuplexRunOptions options;
  options.seconds = 3;
  options.injectsFaults = true;
  options.progress = [&](double seconds) {
    if (seconds == 1.0 || seconds == 1.5) adapter->FlushRenderBuffers();
    if (seconds == 2.0) adapter->FlushCaptureBuffers();
  };
  const enginecheck::DuplexRunResult r = enginecheck::RunDuplexEngine(Bed(), pdo, *Bed().Device(pdo), options);
  EXPECT_TRUE(r.Problems(options).empty()) << ::testing::PrintToString(r.Problems(options));
  EXPECT_EQ(r.renderCounters.Recoveries + r.captureCounters.Recoveries, 0u);
  EXPECT_EQ(r.underrunsAfterStart, 0u);
}

TEST_F(CoreTest, ChunksAndStartsAfterRemovalAreRefused) {
  PDEVICE_OBJECT pdo = StartModel(sim::usb::kDefaultModel);
  ASSERT_NE(pdo, nullptr);
  std::unique_ptr<sim::io::UserHandle> handle;
  // The open handle keeps the device core alive past the surprise removal.
  ASSERT_EQ(OpenPrivate(pdo, &handle), STATUS_SUCCESS);
  CAdapterCommon* adapter = Adapter(pdo);
  bool removed = false;
  sim::clock::Thread remover("remover", [&] { removed = Bed().Unplug(pdo); });
  Bed().RunFor(50 * kTicksPerMillisecond);
  std::vector<uint8_t> buffer(4096);
  adapter->QueueRenderBuffer(buffer.data(), static_cast<ULONG>(buffer.size()));
  adapter->QueueCaptureBuffer(buffer.data(), static_cast<ULONG>(buffer.size()));
  adapter->FlushRenderBuffers();
  EXPECT_FALSE(NT_SUCCESS(adapter->SetStreamFormat(kDirectionRender, 1, 2, 32, adapter->GetDeviceSampleRate())));
  EXPECT_FALSE(NT_SUCCESS(adapter->StartDirection(kDirectionRender, static_cast<ULONG>(buffer.size()))));
  EXPECT_FALSE(NT_SUCCESS(adapter->StartDirection(kDirectionCapture, static_cast<ULONG>(buffer.size()))));
  adapter->QueueRenderBuffer(buffer.data(), static_cast<ULONG>(buffer.size()));
  handle->Close();
  remover.Join();
  EXPECT_TRUE(removed);
}

}  // namespace
}  // namespace trox::test
