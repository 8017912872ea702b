// What capture transfers report: packets outside the selected format's
// bounds, and transfers that brought nothing, on real transfers through the
// simulated bus.
#include <gtest/gtest.h>

#include <algorithm>

#include "audio_harness.h"
#include "sim/usb/device/device_models.h"

using namespace audiotest;
using namespace sim::usb;

namespace {

// Selects `alt` of the stream and gives it the sizes the format selection
// would write for 48 kHz with `frameBytes` bytes per frame.
void Start(CUSBAudioCL& audio, StreamInterface* s, ULONG alt, ULONG frameBytes) {
  ASSERT_EQ(audio.SelectAlternate(s->InterfaceNumber, static_cast<UCHAR>(alt)), STATUS_SUCCESS);
  s->CurrentAlternate = alt;
  ASSERT_EQ(audio.UpdatePipes(), STATUS_SUCCESS);
  const LONG frames = audio.IsHighSpeed() ? 6 : 48;
  s->BytesPerFrame = frameBytes;
  s->NominalPacketBytes = frames * static_cast<LONG>(frameBytes);
  s->MinimumPacketBytes = (frames - 1) * static_cast<LONG>(frameBytes);
  s->MaximumPacketBytes = (frames + 1) * static_cast<LONG>(frameBytes);
  s->SampleRate = 48000;
}

struct Read {
  usbtest::Completion done;
  std::vector<uint8_t> buffer;
};

// One read of `packets` packets on the pipe, waited for. Each read starts the
// pipe's stream afresh: one continuing its predecessor's frames would be late
// whenever the test thread stalled between the two.
void ReadPackets(CUSBAudioCL& audio, PUSBD_PIPE_INFORMATION pipe, ULONG packets, Read* read) {
  ASSERT_EQ(audio.ResetPipe(pipe), STATUS_SUCCESS);
  read->buffer.assign(packets * pipe->MaximumPacketSize, 0xEE);
  ASSERT_EQ(audio.ReadTransfer(pipe, read->buffer.data(), static_cast<ULONG>(read->buffer.size()),
                               usbtest::Completion::Callback, &read->done),
            STATUS_SUCCESS);
  ASSERT_TRUE(read->done.Wait());
}

}  // namespace

TEST(AudioCapture, PacketsWithinTheFormatBoundsPass) {
  AudioHarness h(CreateModel("uac1-feedback"), true);
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  StreamInterface* rec = h.Audio().CaptureStream();
  Start(h.Audio(), rec, 2, 6);
  Read read;
  ReadPackets(h.Audio(), rec->DataPipe, 8, &read);
  EXPECT_EQ(read.done.status, STATUS_SUCCESS);
  EXPECT_GE(read.done.bytes, 8u * 282);
  EXPECT_LE(read.done.bytes, 8u * 294);
}

TEST(AudioCapture, AnEmptyPacketAmongFullOnesIsAnError) {
  AudioHarness h(CreateModel("uac1-feedback"), true);
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  StreamInterface* rec = h.Audio().CaptureStream();
  Start(h.Audio(), rec, 2, 6);
  h.Device().GlitchPacketSize(0x82, -10000, 1);
  Read read;
  ReadPackets(h.Audio(), rec->DataPipe, 8, &read);
  EXPECT_EQ(read.done.status, STATUS_UNEXPECTED_IO_ERROR);
  EXPECT_EQ(h.Audio().Last().packetLengths[0], 0u);
  // One frame too many is outside the bounds as well.
  h.Device().GlitchPacketSize(0x82, 12, 1);
  Read longer;
  ReadPackets(h.Audio(), rec->DataPipe, 8, &longer);
  EXPECT_EQ(longer.done.status, STATUS_UNEXPECTED_IO_ERROR);
}

TEST(AudioCapture, ATransferThatBroughtNothingBecomesNominalSilence) {
  {
    // Full speed, 48 kHz stereo 24-bit: 288 zero bytes per packet.
    AudioHarness h(CreateModel("uac1-feedback"), true);
    ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
    StreamInterface* rec = h.Audio().CaptureStream();
    Start(h.Audio(), rec, 2, 6);
    h.Device().GlitchPacketSize(0x82, -10000, 8);
    Read read;
    ReadPackets(h.Audio(), rec->DataPipe, 8, &read);
    EXPECT_EQ(read.done.status, STATUS_SUCCESS);
    const CheckedTransfer checked = h.Audio().Last();
    EXPECT_EQ(checked.status, STATUS_SUCCESS);
    EXPECT_EQ(checked.transferLength, 8u * 288);
    EXPECT_EQ(checked.packetLengths, std::vector<ULONG>(8, 288));
    EXPECT_TRUE(std::all_of(read.buffer.begin(), read.buffer.begin() + read.done.bytes, [](uint8_t b) { return b == 0; }));
  }
  // High speed: six frames per microframe.
  AudioHarness h(Device(Uac2Stereo()), true);
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  StreamInterface* rec = h.Audio().CaptureStream();
  Start(h.Audio(), rec, 1, 6);
  h.Device().GlitchPacketSize(0x82, -10000, 8);
  Read read;
  ReadPackets(h.Audio(), rec->DataPipe, 8, &read);
  EXPECT_EQ(read.done.status, STATUS_SUCCESS);
  EXPECT_EQ(h.Audio().Last().transferLength, 8u * 36);
  EXPECT_EQ(h.Audio().Last().packetLengths, std::vector<ULONG>(8, 36));
}

TEST(AudioCapture, WithoutACaptureStreamOnlyEmptyTransfersFail) {
  AudioHarness h(Device(Uac1Stereo(2, false), Speed::Full), true);
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  ASSERT_EQ(h.Audio().CaptureStream(), nullptr);
  StreamInterface* play = h.Audio().PlaybackStream();
  Start(h.Audio(), play, 1, 4);
  ASSERT_NE(play->FeedbackPipe, nullptr);
  // An IN transfer on the feedback endpoint through the generic completion.
  Read read;
  ReadPackets(h.Audio(), play->FeedbackPipe, 4, &read);
  EXPECT_EQ(read.done.status, STATUS_SUCCESS);
  EXPECT_GT(read.done.bytes, 0u);
  h.Device().GlitchPacketSize(0x81, -10000, 4);
  Read empty;
  ReadPackets(h.Audio(), play->FeedbackPipe, 4, &empty);
  EXPECT_EQ(empty.done.status, STATUS_INVALID_DEVICE_STATE);
}
