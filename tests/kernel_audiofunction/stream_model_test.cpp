// Streaming interfaces: alternate settings, the endpoint choices of both
// class versions, descriptor lengths, and the pipes and feedback periods of
// the selected alternate.
#include <gtest/gtest.h>

#include "audio_harness.h"
#include "audiofunction/uac_constants.h"
#include "sim/usb/device/device_models.h"
#include "sim/usb/device/usb_constants.h"

using namespace audiotest;
using namespace sim::usb;

namespace {

void Alt2(ConfigurationBuilder& c, uint8_t number, uint8_t alt, uint8_t link = 1) {
  c.Interface(number, alt, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20).Ac2AsGeneral(link, 2).Ac2FormatTypeI(3, 24);
}

void Alt1(ConfigurationBuilder& c, uint8_t alt) {
  c.Interface(1, alt, kClassAudio, kSubclassAudioStreaming, 0).Ac1AsGeneral(1, 1, 0x0001).Ac1FormatTypeI(2, 2, 16, {48000});
}

// Selects alternate `alt` of the stream and refreshes its pipes.
NTSTATUS Select(CUSBAudioCL& audio, StreamInterface* s, ULONG alt) {
  NTSTATUS status = audio.SelectAlternate(s->InterfaceNumber, static_cast<UCHAR>(alt));
  if (!NT_SUCCESS(status)) return status;
  s->CurrentAlternate = alt;
  return audio.UpdatePipes();
}

UCHAR Address(const USB_ENDPOINT_DESCRIPTOR* e) { return e != nullptr ? e->bEndpointAddress : 0; }

}  // namespace

TEST(AudioStreams, AlternatesAreCountedUpToTheFirstGapInAnyDescriptorOrder) {
  ConfigurationBuilder gap = Uac2Control();
  gap.Interface(1, 0, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20);
  Alt2(gap, 1, 1);
  gap.Endpoint(0x01, kXferIsochronous | kSyncAdaptive, 78, 1);
  Alt2(gap, 1, 3);
  gap.Endpoint(0x01, kXferIsochronous | kSyncAdaptive, 156, 1);
  {
    AudioHarness h(Device(gap));
    ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
    EXPECT_EQ(h.Audio().PlaybackStream()->AlternateCount, 2u);
  }

  // Alternates written 0, 2, 1: found by number.
  ConfigurationBuilder order = Uac2Control();
  order.Interface(1, 0, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20);
  Alt2(order, 1, 2);
  order.Endpoint(0x02, kXferIsochronous | kSyncAdaptive, 156, 1);
  Alt2(order, 1, 1);
  order.Endpoint(0x01, kXferIsochronous | kSyncAdaptive, 78, 1);
  AudioHarness o(Device(order));
  ASSERT_EQ(o.AttachStatus(), STATUS_SUCCESS);
  const StreamInterface* s = o.Audio().PlaybackStream();
  ASSERT_EQ(s->AlternateCount, 3u);
  for (ULONG i = 0; i < 3; ++i) EXPECT_EQ(s->Alternate(i)->Interface->bAlternateSetting, i);
  EXPECT_EQ(Address(s->Alternate(1)->DataEndpoint), 0x01);
  EXPECT_EQ(Address(s->Alternate(2)->DataEndpoint), 0x02);
  EXPECT_EQ(s->Alternate(3), nullptr);
}

TEST(AudioStreams, AlternateOneMustExistWithAnEndpoint) {
  ConfigurationBuilder missing = Uac2Control();
  missing.Interface(1, 0, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20);
  Alt2(missing, 1, 2);
  missing.Endpoint(0x01, kXferIsochronous | kSyncAdaptive, 78, 1);
  EXPECT_EQ(AudioHarness(Device(missing)).AttachStatus(), STATUS_NOT_SUPPORTED);

  ConfigurationBuilder empty = Uac2Control();
  empty.Interface(1, 0, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20);
  Alt2(empty, 1, 1);
  EXPECT_EQ(AudioHarness(Device(empty)).AttachStatus(), STATUS_NOT_SUPPORTED);

  // AS_GENERAL of alternate 1 too short to hold its fields.
  ConfigurationBuilder shortGeneral = Uac2Control();
  shortGeneral.Interface(1, 0, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20)
      .Interface(1, 1, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20)
      .Raw({6, 0x24, 0x01, 1, 0, 1})
      .Ac2FormatTypeI(3, 24)
      .Endpoint(0x01, kXferIsochronous | kSyncAdaptive, 78, 1);
  EXPECT_EQ(AudioHarness(Device(shortGeneral)).AttachStatus(), STATUS_NOT_SUPPORTED);
}

TEST(AudioStreams, AlternatesByBitDepthAndChannelCount) {
  const struct {
    uint8_t channels, subslot, bits;
  } alts[] = {{2, 2, 16}, {2, 3, 24}, {2, 4, 32}, {8, 3, 24}};
  ConfigurationBuilder d = Uac2Control();
  d.Interface(1, 0, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20);
  Alt2(d, 1, 1);
  d.Endpoint(0x01, kXferIsochronous | kSyncAdaptive, 78, 1);
  d.Interface(2, 0, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20);
  for (uint8_t i = 0; i < 4; ++i) {
    d.Interface(2, static_cast<uint8_t>(i + 1), kClassAudio, kSubclassAudioStreaming, kProtocolAudio20)
        .Ac2AsGeneral(6, alts[i].channels)
        .Ac2FormatTypeI(alts[i].subslot, alts[i].bits)
        .Endpoint(0x82, kXferIsochronous | kSyncAsync, static_cast<uint16_t>(7 * alts[i].channels * alts[i].subslot), 1)
        .Ac2EndpointGeneral();
  }
  AudioHarness h(Device(d), true);
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  StreamInterface* rec = h.Audio().CaptureStream();
  ASSERT_NE(rec, nullptr);
  ASSERT_EQ(rec->AlternateCount, 5u);
  for (ULONG i = 0; i < 4; ++i) {
    const AltSetting* a = rec->Alternate(i + 1);
    ASSERT_NE(a->AsGeneral, nullptr);
    ASSERT_NE(a->FormatType, nullptr);
    EXPECT_EQ(a->AsGeneral[10], alts[i].channels);  // bNrChannels
    EXPECT_EQ(a->FormatType[4], alts[i].subslot);
    EXPECT_EQ(a->FormatType[5], alts[i].bits);
    EXPECT_EQ(Address(a->DataEndpoint), 0x82);
  }
  EXPECT_TRUE(h.Audio().HasSharedClock());  // one clock for both terminals
  ASSERT_EQ(Select(h.Audio(), rec, 4), STATUS_SUCCESS);
  ASSERT_NE(rec->DataPipe, nullptr);
  EXPECT_EQ(rec->DataPipe->EndpointAddress, 0x82);
  EXPECT_EQ(rec->DataPipe->MaximumPacketSize, 7u * 8 * 3);
  EXPECT_EQ(h.Device().CurrentAlternate(2), 4);
}

TEST(AudioStreams, Class2EndpointsWithIntervalsTheBusCannotServeAreNeverUsed) {
  for (auto [speed, interval, usable] :
       {std::tuple<Speed, uint8_t, bool>{Speed::Full, 16, false}, {Speed::Full, 1, true}, {Speed::High, 4, true},
        {Speed::High, 5, false}}) {
    SCOPED_TRACE(interval);
    ConfigurationBuilder c = Uac2Control();
    c.Interface(1, 0, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20);
    Alt2(c, 1, 1);
    c.Endpoint(0x01, kXferIsochronous | kSyncAsync, 196, 1).Ac2EndpointGeneral().Endpoint(
        0x81, kXferIsochronous | kUsageFeedback, 4, interval);
    Alt2(c, 1, 2);
    c.Endpoint(0x01, kXferIsochronous | kSyncAsync, 196, interval);
    AudioHarness h(Device(c, speed));
    ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
    const StreamInterface* s = h.Audio().PlaybackStream();
    EXPECT_EQ(s->Alternate(1)->FeedbackEndpoint != nullptr, usable);
    EXPECT_EQ(s->Alternate(2)->DataEndpoint != nullptr, usable);
    EXPECT_EQ(s->Alternate(2)->EpGeneral, nullptr);
  }
}

TEST(AudioStreams, Class2TakesImplicitFeedbackDataAndTheExplicitFeedbackBesideASynchronousEndpoint) {
  {
    AudioHarness implicit(CreateModel("uac2-implicit"));
    ASSERT_EQ(implicit.AttachStatus(), STATUS_SUCCESS);
    const AltSetting* rec = implicit.Audio().CaptureStream()->Alternate(1);
    ASSERT_NE(rec->DataEndpoint, nullptr);
    EXPECT_EQ(rec->DataEndpoint->bmAttributes & 0x30, kUsageImplicitFeedback);
    EXPECT_EQ(rec->FeedbackEndpoint, nullptr);
    EXPECT_EQ(implicit.Audio().PlaybackStream()->Alternate(1)->FeedbackEndpoint, nullptr);
  }

  // A feedback endpoint written before the data endpoint, which claims to
  // be synchronous: both are found by their usage.
  ConfigurationBuilder c = Uac2Control();
  c.Interface(1, 0, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20);
  Alt2(c, 1, 1);
  c.Endpoint(0x81, kXferIsochronous | kUsageFeedback, 4, 4).Endpoint(0x01, kXferIsochronous | kSyncSync, 200, 1).Ac2EndpointGeneral();
  AudioHarness h(Device(c));
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  const AltSetting* a = h.Audio().PlaybackStream()->Alternate(1);
  EXPECT_EQ(Address(a->DataEndpoint), 0x01);
  EXPECT_EQ(Address(a->FeedbackEndpoint), 0x81);
  EXPECT_NE(a->EpGeneral, nullptr);
  // The feedback endpoint written first does not make it a capture stream.
  EXPECT_EQ(h.Audio().CaptureStream(), nullptr);
}

TEST(AudioStreams, Class1DataIsTheFirstEndpointAndFeedbackTheOneItsSynchAddressNames) {
  ConfigurationBuilder c = Uac1Control();
  c.Interface(1, 0, kClassAudio, kSubclassAudioStreaming, 0);
  // 1: the first endpoint is data whatever its interval; feedback named.
  Alt1(c, 1);
  c.AudioEndpoint(0x01, kXferIsochronous | kSyncAsync, 196, 32, 0, 0x81).Ac1EndpointGeneral(1).AudioEndpoint(
      0x81, kXferIsochronous | kSyncNone, 3, 1, 2, 0);
  // 2: a synchronous data endpoint with bSynchAddress 0 has no feedback.
  Alt1(c, 2);
  c.AudioEndpoint(0x01, kXferIsochronous | kSyncSync, 196, 1, 0, 0).AudioEndpoint(0x81, kXferIsochronous, 3, 1, 2, 0);
  // 3: a 7-byte data endpoint carries no bSynchAddress.
  Alt1(c, 3);
  c.Endpoint(0x01, kXferIsochronous | kSyncAsync, 196, 1).AudioEndpoint(0x81, kXferIsochronous, 3, 1, 2, 0);
  // 4: the first endpoint is a feedback endpoint: no data endpoint.
  Alt1(c, 4);
  c.AudioEndpoint(0x81, kXferIsochronous | 0x10, 3, 1, 2, 0).AudioEndpoint(0x01, kXferIsochronous | kSyncAsync, 196, 1, 0, 0x81);
  // 5: a data endpoint naming itself is not its own feedback endpoint.
  Alt1(c, 5);
  c.AudioEndpoint(0x01, kXferIsochronous | kSyncNone, 196, 1, 0, 0x01);
  // 6: the named endpoint is not of synchronisation type none.
  Alt1(c, 6);
  c.AudioEndpoint(0x01, kXferIsochronous | kSyncAsync, 196, 1, 0, 0x81).AudioEndpoint(0x81, kXferIsochronous | kSyncAsync, 3, 1, 2, 0);
  AudioHarness h(Device(c, Speed::Full));
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  const StreamInterface* s = h.Audio().PlaybackStream();
  ASSERT_EQ(s->AlternateCount, 7u);
  EXPECT_EQ(Address(s->Alternate(1)->DataEndpoint), 0x01);
  EXPECT_EQ(Address(s->Alternate(1)->FeedbackEndpoint), 0x81);
  EXPECT_NE(s->Alternate(1)->EpGeneral, nullptr);
  EXPECT_EQ(Address(s->Alternate(2)->DataEndpoint), 0x01);
  EXPECT_EQ(s->Alternate(2)->FeedbackEndpoint, nullptr);
  EXPECT_EQ(Address(s->Alternate(3)->DataEndpoint), 0x01);
  EXPECT_EQ(s->Alternate(3)->FeedbackEndpoint, nullptr);
  EXPECT_EQ(s->Alternate(4)->DataEndpoint, nullptr);
  EXPECT_EQ(s->Alternate(4)->FeedbackEndpoint, nullptr);
  EXPECT_EQ(s->Alternate(4)->EpGeneral, nullptr);
  EXPECT_EQ(Address(s->Alternate(5)->DataEndpoint), 0x01);
  EXPECT_EQ(s->Alternate(5)->FeedbackEndpoint, nullptr);
  EXPECT_EQ(s->Alternate(6)->FeedbackEndpoint, nullptr);
}

TEST(AudioStreams, Class1FormatTypeThatClaimsMoreRatesThanItHoldsIsIgnored) {
  ConfigurationBuilder c = Uac1Control();
  c.Interface(1, 0, kClassAudio, kSubclassAudioStreaming, 0)
      .Interface(1, 1, kClassAudio, kSubclassAudioStreaming, 0)
      .Ac1AsGeneral(1, 1, 0x0001)
      .Raw({11, 0x24, 0x02, 0x01, 2, 2, 16, 3, 0x80, 0xBB, 0x00})  // three rates, room for one
      .AudioEndpoint(0x01, kXferIsochronous | kSyncAdaptive, 196, 1, 0, 0);
  Alt1(c, 2);
  c.AudioEndpoint(0x01, kXferIsochronous | kSyncAdaptive, 196, 1, 0, 0);
  c.Interface(1, 3, kClassAudio, kSubclassAudioStreaming, 0)
      .Ac1AsGeneral(1, 1, 0x0001)
      .Ac1FormatTypeIContinuous(2, 2, 16, 8000, 48000)
      .AudioEndpoint(0x01, kXferIsochronous | kSyncAdaptive, 196, 1, 0, 0);
  AudioHarness h(Device(c, Speed::Full));
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  const StreamInterface* s = h.Audio().PlaybackStream();
  EXPECT_EQ(s->Alternate(1)->FormatType, nullptr);
  EXPECT_NE(s->Alternate(1)->AsGeneral, nullptr);
  EXPECT_NE(s->Alternate(2)->FormatType, nullptr);
  ASSERT_NE(s->Alternate(3)->FormatType, nullptr);
  EXPECT_EQ(ReadLe24(s->Alternate(3)->FormatType + 11), 48000u);
}

TEST(AudioStreams, ConfigureSelectsAlternateZeroAndPipesFollowTheSelection) {
  AudioHarness h(CreateModel("oxley-2x2"), true);
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  CUSBAudioCL& audio = h.Audio();
  StreamInterface* play = audio.PlaybackStream();
  EXPECT_EQ(play->DataPipe, nullptr);
  EXPECT_EQ(play->FeedbackPipe, nullptr);
  ASSERT_EQ(Select(audio, play, 2), STATUS_SUCCESS);
  ASSERT_NE(play->DataPipe, nullptr);
  ASSERT_NE(play->FeedbackPipe, nullptr);
  EXPECT_EQ(play->DataPipe->EndpointAddress, 0x01);
  EXPECT_EQ(play->FeedbackPipe->EndpointAddress, 0x81);
  EXPECT_EQ(play->FeedbackPipe->Interval, 4);
  // 2^(4-1) microframes is one millisecond, below the shortest period.
  EXPECT_EQ(play->FeedbackPeriod, 4u);
  // A current alternate that the device does not have selected has no
  // pipes: reported, and the other streams are still refreshed.
  StreamInterface* rec = audio.CaptureStream();
  rec->CurrentAlternate = 1;
  EXPECT_EQ(audio.UpdatePipes(), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(rec->DataPipe, nullptr);
  EXPECT_NE(play->DataPipe, nullptr);
  ASSERT_EQ(Select(audio, play, 0), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(play->DataPipe, nullptr);
  rec->CurrentAlternate = 0;
  EXPECT_EQ(audio.UpdatePipes(), STATUS_SUCCESS);
}

TEST(AudioStreams, PipeIntervalsAreClampedToWhatStreamingHandles) {
  // A 1.0 device at high speed with a full-speed-style interval of 8 and
  // one at full speed with 4: the first endpoint is taken, its pipe fixed.
  for (auto [speed, interval, expected] :
       {std::tuple<Speed, uint8_t, UCHAR>{Speed::High, 8, 4}, {Speed::Full, 4, 1}, {Speed::High, 2, 2}}) {
    SCOPED_TRACE(interval);
    ConfigurationBuilder c = Uac1Control();
    c.Interface(1, 0, kClassAudio, kSubclassAudioStreaming, 0);
    Alt1(c, 1);
    c.AudioEndpoint(0x01, kXferIsochronous | kSyncAdaptive, 196, interval, 0, 0);
    AudioHarness h(Device(c, speed), true);
    ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
    StreamInterface* s = h.Audio().PlaybackStream();
    ASSERT_EQ(Select(h.Audio(), s, 1), STATUS_SUCCESS);
    ASSERT_NE(s->DataPipe, nullptr);
    EXPECT_EQ(s->DataPipe->Interval, expected);
  }
}

TEST(AudioStreams, Class1FeedbackPeriodComesFromBRefresh) {
  for (auto [refresh, period] : {std::pair<uint8_t, ULONG>{5, 32}, {1, 4}, {2, 4}, {10, 1024}, {200, 1024}}) {
    SCOPED_TRACE(refresh);
    AudioHarness h(Device(Uac1Stereo(refresh), Speed::Full), true);
    ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
    StreamInterface* s = h.Audio().PlaybackStream();
    ASSERT_EQ(Select(h.Audio(), s, 1), STATUS_SUCCESS);
    ASSERT_NE(s->FeedbackPipe, nullptr);
    EXPECT_EQ(s->FeedbackPeriod, period);
  }
}
