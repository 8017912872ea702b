// Playback, capture and feedback transfers really sent to simulated devices,
// checked against what the device received.
#include <gtest/gtest.h>

#include <numeric>

#include "audio_harness.h"
#include "sim/usb/device/device_models.h"

using namespace audiotest;
using namespace sim::usb;

namespace {

struct Selected {
  ULONG channels = 0;
  ULONG bits = 0;
  ULONG frameBytes = 0;
};

// Playback at `rate` in the device's widest PCM format.
Selected SelectPlayback(CUSBAudioCL& audio, ULONG rate, bool implicit) {
  Selected s;
  ULONG channels = 0, bits = 0, max = 0;
  EXPECT_EQ(audio.GetBestFormat(kDirectionRender, 1, rate, &channels, &bits), STATUS_SUCCESS);
  NTSTATUS status;
  if (implicit) {
    ULONG nominal = 0;
    LONG below = 0, above = 0;
    status = audio.SelectStreamingFormat(kDirectionRender, 1, channels, bits, rate, 8, &s.channels, &s.bits, &nominal,
                                         &below, &above, &max);
  } else {
    status = audio.SelectStreamingFormat(kDirectionRender, 1, channels, bits, rate, 8, &s.channels, &s.bits, &max);
  }
  EXPECT_EQ(status, STATUS_SUCCESS);
  s.frameBytes = audio.PlaybackStream() != nullptr ? audio.PlaybackStream()->BytesPerFrame : 0;
  return s;
}

std::vector<uint8_t> Ramp(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 13 + 1);
  return v;
}

// The completion reports the caller's bytes, whatever the bus moved.
void Play(CUSBAudioCL& audio, const std::vector<uint8_t>& data, ULONG ms) {
  usbtest::Completion done;
  ASSERT_EQ(audio.SubmitPlayback(const_cast<uint8_t*>(data.data()), nullptr, static_cast<ULONG>(data.size()), ms,
                                 usbtest::Completion::Callback, &done),
            STATUS_SUCCESS);
  ASSERT_TRUE(done.Wait());
  EXPECT_EQ(done.status, STATUS_SUCCESS);
  EXPECT_EQ(done.bytes, data.size());
}

}  // namespace

TEST(DevicePlayback, ExplicitFeedbackDeviceReceivesWholeFramesAndReportsItsRate) {
  AudioHarness h(CreateModel("oxley-10x6"), true);
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  const Selected s = SelectPlayback(h.Audio(), 48000, false);
  StreamInterface* play = h.Audio().PlaybackStream();
  ASSERT_NE(play->FeedbackPipe, nullptr);
  play->FeedbackRateInUse = h.Audio().NominalFeedback(kDirectionRender);
  const ULONG bytes = h.Audio().PlaybackBytes(2, play->FeedbackRateInUse);
  EXPECT_EQ(bytes, 96u * s.frameBytes);
  Play(h.Audio(), Ramp(bytes), 2);
  const StreamCounters c = h.Device().PlaybackCounters();
  EXPECT_EQ(c.framesReceived, 96u);
  EXPECT_EQ(c.partialFramePackets, 0u);
  EXPECT_EQ(c.oversizePackets, 0u);

  std::vector<uint8_t> feedback(h.Audio().FeedbackReadLength(), 0);
  ASSERT_GT(feedback.size(), 0u);
  usbtest::Completion read;
  ASSERT_EQ(h.Audio().RecvFeedback(feedback.data(), static_cast<ULONG>(feedback.size()), usbtest::Completion::Callback,
                                   &read),
            STATUS_SUCCESS);
  ASSERT_TRUE(read.Wait());
  EXPECT_EQ(read.status, STATUS_SUCCESS);
  EXPECT_EQ(read.frames, 0u);
  const double nominal = h.Audio().NominalFeedback(kDirectionRender);
  EXPECT_NEAR(read.bytes, nominal, nominal / 100);
  EXPECT_EQ(play->LastFeedbackValue != 0, true);
}

TEST(DevicePlayback, ImplicitFeedbackHighSpeedSendsEightPacketsPerMillisecond) {
  AudioHarness h(CreateModel("uac2-implicit"), true);
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  ASSERT_TRUE(h.Audio().UsesImplicitFeedback());
  const Selected s = SelectPlayback(h.Audio(), 48000, true);
  const StreamInterface* play = h.Audio().PlaybackStream();
  Play(h.Audio(), Ramp(2 * 8 * play->NominalPacketBytes), 2);
  const StreamCounters c = h.Device().PlaybackCounters();
  EXPECT_EQ(c.packets, 16u);
  EXPECT_EQ(c.framesReceived, 2u * 8 * play->NominalPacketBytes / s.frameBytes);
  EXPECT_EQ(c.partialFramePackets, 0u);
}

TEST(DevicePlayback, AdaptiveDeviceGetsThePatternSizes) {
  AudioHarness h(CreateModel("uac1-adaptive"), true);
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  const Selected s = SelectPlayback(h.Audio(), 44100, false);
  ASSERT_EQ(h.Audio().PlaybackStream()->FeedbackPipe, nullptr);
  const ULONG bytes = h.Audio().PlaybackBytes(10, 0);
  EXPECT_EQ(bytes, 441u * s.frameBytes);
  Play(h.Audio(), Ramp(bytes), 10);
  const StreamCounters c = h.Device().PlaybackCounters();
  EXPECT_EQ(c.framesReceived, 441u);
  EXPECT_EQ(c.packetSizes.size(), 2u);
  EXPECT_EQ(c.packetSizes.count(45 * s.frameBytes), 1u);
  EXPECT_EQ(h.Audio().PlaybackPatternPosition(), 0u);
}

TEST(DevicePlayback, LengthHeaderDeviceReceivesTheDataUnharmed) {
  AudioHarness h(CreateModel("vendor-00c7"), true);
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  ASSERT_TRUE(h.Audio().HasPlaybackLengthHeader());
  const Selected s = SelectPlayback(h.Audio(), 48000, false);
  const ULONG bytes = h.Audio().PlaybackBytes(1, 0);
  EXPECT_EQ(bytes, 48u * s.frameBytes);
  const std::vector<uint8_t> data = Ramp(bytes);
  Play(h.Audio(), data, 1);
  const StreamCounters c = h.Device().PlaybackCounters();
  EXPECT_EQ(c.headerErrors, 0u);
  EXPECT_EQ(c.framesReceived, 48u);
  const Recording r = h.Device().GetRecording(h.Audio().PlaybackStream()->InterfaceNumber);
  EXPECT_EQ(r.bytes, data);
}

TEST(DeviceCapture, ReadsPacketsAndRefusesWithoutAStream) {
  AudioHarness h(CreateModel("oxley-10x6"), true);
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  std::vector<uint8_t> buffer(64);
  // No format selected yet: alternate 0 has no data pipe.
  EXPECT_EQ(h.Audio().SubmitCapture(buffer.data(), 64, usbtest::Completion::Callback, nullptr), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(h.Audio().SubmitPlayback(buffer.data(), nullptr, 64, 1, usbtest::Completion::Callback, nullptr),
            STATUS_NOT_SUPPORTED);
  EXPECT_EQ(h.Audio().RecvFeedback(buffer.data(), 64, usbtest::Completion::Callback, nullptr),
            STATUS_INVALID_PARAMETER);
}

TEST(DeviceCapture, ReadsWholePacketsOfTheSelectedFormat) {
  AudioHarness h(CreateModel("oxley-10x6"), true);
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  ULONG channels = 0, bits = 0, chosenChannels = 0, chosenBits = 0, max = 0;
  ASSERT_EQ(h.Audio().GetBestFormat(kDirectionCapture, 1, 48000, &channels, &bits), STATUS_SUCCESS);
  ASSERT_EQ(h.Audio().SelectStreamingFormat(kDirectionCapture, 1, channels, bits, 48000, 8, &chosenChannels,
                                            &chosenBits, &max),
            STATUS_SUCCESS);
  const StreamInterface* rec = h.Audio().CaptureStream();
  std::vector<uint8_t> buffer(8 * rec->DataPipe->MaximumPacketSize, 0xEE);
  usbtest::Completion done;
  ASSERT_EQ(
      h.Audio().SubmitCapture(buffer.data(), static_cast<ULONG>(buffer.size()), usbtest::Completion::Callback, &done),
      STATUS_SUCCESS);
  ASSERT_TRUE(done.Wait());
  EXPECT_EQ(done.status, STATUS_SUCCESS);
  EXPECT_EQ(done.bytes % rec->BytesPerFrame, 0u);
  EXPECT_GE(done.bytes, 8u * rec->MinimumPacketBytes);
  EXPECT_LE(done.bytes, 8u * rec->MaximumPacketBytes);
}

TEST(DevicePlayback, ATooLongPlanIsRefusedAndTheNextTransferStillGoes) {
  AudioHarness h(CreateModel("uac1-adaptive"), true);
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  const Selected s = SelectPlayback(h.Audio(), 48000, false);
  std::vector<uint8_t> data = Ramp(65 * 48 * s.frameBytes);
  usbtest::Completion never;
  EXPECT_EQ(h.Audio().SubmitPlayback(data.data(), nullptr, static_cast<ULONG>(data.size()), 65,
                                     usbtest::Completion::Callback, &never),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(h.Audio().PlaybackPatternPosition(), 0u);
  data.resize(8 * 48 * s.frameBytes);
  Play(h.Audio(), data, 8);
  EXPECT_EQ(h.Device().PlaybackCounters().framesReceived, 8u * 48);
}

TEST(DeviceFeedback, PacketsLongerThanTheirSlotAreNotBelieved) {
  AudioHarness h(CreateModel("oxley-10x6"), true);
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  SelectPlayback(h.Audio(), 48000, false);
  StreamInterface* play = h.Audio().PlaybackStream();
  ASSERT_NE(play->FeedbackPipe, nullptr);
  h.Device().GlitchPacketSize(play->FeedbackPipe->EndpointAddress, 3, 2);
  std::vector<uint8_t> feedback(h.Audio().FeedbackReadLength(), 0);
  usbtest::Completion read;
  ASSERT_EQ(h.Audio().RecvFeedback(feedback.data(), static_cast<ULONG>(feedback.size()), usbtest::Completion::Callback,
                                   &read),
            STATUS_SUCCESS);
  ASSERT_TRUE(read.Wait());
  if (NT_SUCCESS(read.status)) {
    const double nominal = h.Audio().NominalFeedback(kDirectionRender);
    EXPECT_NEAR(read.bytes, nominal, nominal / 100);
  } else {
    EXPECT_EQ(read.bytes, 0u);
  }
}
