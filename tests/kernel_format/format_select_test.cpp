// Choosing the alternate setting for a stream format, the packet sizes that
// follow from it, and what the device is told.
#include <gtest/gtest.h>

#include <cstring>

#include "audio_harness.h"
#include "audiofunction/rate_pattern.h"
#include "format_devices.h"
#include "sim/usb/device/usb_constants.h"

using namespace audiotest;
using namespace formattest;
using namespace sim::usb;

namespace {

constexpr UCHAR kOut = 0;
constexpr UCHAR kIn = 1;

struct Sizes {
  ULONG frame;
  LONG nominal;
  LONG minimum;
  LONG maximum;
  UCHAR shortPacket;
  bool operator==(const Sizes&) const = default;
};

Sizes Of(const StreamInterface* s) {
  return {s->BytesPerFrame, s->NominalPacketBytes, s->MinimumPacketBytes, s->MaximumPacketBytes, s->ShortPacket};
}

std::ostream& operator<<(std::ostream& os, const Sizes& s) {
  return os << "F " << s.frame << " E " << s.nominal << " min " << s.minimum << " max " << s.maximum << " short "
            << int(s.shortPacket);
}

// Answers GET CUR of a class 1.0 endpoint's sampling frequency with `rate`.
void AnswerEndpointRate(usbtest::Spy& spy, uint32_t rate) {
  spy.SetAnswer([rate](PIRP irp, PURB urb) {
    if (urb->UrbHeader.Function != URB_FUNCTION_CLASS_ENDPOINT) return false;
    auto& r = urb->UrbControlVendorClassRequest;
    if (r.Request != 0x81 || r.Value != 0x0100 || (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) == 0) return false;
    const uint8_t answer[3] = {uint8_t(rate), uint8_t(rate >> 8), uint8_t(rate >> 16)};
    const ULONG n = std::min<ULONG>(r.TransferBufferLength, 3);
    memcpy(r.TransferBuffer, answer, n);
    r.TransferBufferLength = n;
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    usbtest::CompleteIrp(irp, STATUS_SUCCESS);
    return true;
  });
}

TEST(FormatSelect, FullSpeedStereo24FollowsTheRateOnTheEndpoint) {
  AudioHarness h(usbtest::Model("uac1-feedback"), true);
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  CUSBAudioCL& a = h.Audio();
  ULONG channels = 0, bits = 0, maxBytes = 0;
  ASSERT_EQ(a.SelectStreamingFormat(kOut, 1, 2, 24, 44100, 10, &channels, &bits, &maxBytes), STATUS_SUCCESS);
  EXPECT_EQ(channels, 2u);
  EXPECT_EQ(bits, 24u);
  EXPECT_EQ(maxBytes, 10u * 294);  // wMaxPacketSize 294 per 1 ms frame
  EXPECT_EQ(Of(a.PlaybackStream()), (Sizes{6, 264, 264, 270, 0}));
  EXPECT_EQ(a.PlaybackStream()->SampleRate, 44100u);
  ASSERT_NE(a.PlaybackRateRow(), nullptr);
  EXPECT_EQ(a.PlaybackRateRow()->Rate, 44100u);
  EXPECT_EQ(a.PlaybackPacketInterval(), 1u);
  EXPECT_EQ(h.Device().CurrentAlternate(1), 2);
  EXPECT_EQ(a.GetCurrentAlternate(kOut), 2u);
  EXPECT_EQ(h.Device().EndpointRate(0x01), 44100u);
  // The playback stream has its feedback pipe: the nominal value to accept.
  ASSERT_NE(a.PlaybackStream()->FeedbackPipe, nullptr);
  EXPECT_EQ(a.PlaybackStream()->AcceptedFeedbackRate, 44100u * 65536 / 1000);
  EXPECT_EQ(a.NominalFeedback(kOut), 44100u * 65536 / 1000);

  ASSERT_EQ(a.SelectStreamingFormat(kOut, 1, 2, 24, 48000, 10, nullptr, nullptr, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(Of(a.PlaybackStream()), (Sizes{6, 288, 282, 294, 1}));
  EXPECT_EQ(a.PlaybackRateRow()->Rate, 48000u);
  EXPECT_EQ(h.Device().EndpointRate(0x01), 48000u);
  // 16-bit takes the other alternate.
  ASSERT_EQ(a.SelectStreamingFormat(kOut, 1, 2, 16, 48000, 10, &channels, &bits, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(bits, 16u);
  EXPECT_EQ(h.Device().CurrentAlternate(1), 1);
  EXPECT_EQ(Of(a.PlaybackStream()), (Sizes{4, 192, 188, 196, 1}));
}

// The sampling frequency request fails after the alternate was selected:
// the selection goes on, and the stream's sizes are those of the alternate
// that is selected.
TEST(FormatSelect, AFailedEndpointRateRequestKeepsTheSelectionWhole) {
  AudioHarness h(usbtest::Model("uac1-feedback"), true);
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  CUSBAudioCL& a = h.Audio();
  ControlFilter setRate;
  setRate.bmRequestType = 0x22;
  setRate.bRequest = 0x01;
  h.Device().StallControl(setRate);
  ULONG channels = 0, bits = 0, maxBytes = 0;
  ASSERT_EQ(a.SelectStreamingFormat(kOut, 1, 2, 16, 48000, 10, &channels, &bits, &maxBytes), STATUS_SUCCESS);
  EXPECT_EQ(h.Device().GetDeviceCounters().injectedStalls, 1u);
  EXPECT_EQ(h.Device().CurrentAlternate(1), 1);
  EXPECT_EQ(a.GetCurrentAlternate(kOut), 1u);
  EXPECT_EQ(Of(a.PlaybackStream()), (Sizes{4, 192, 188, 196, 1}));
  EXPECT_NE(a.PlaybackStream()->DataPipe, nullptr);
  EXPECT_EQ(maxBytes, 10u * 196);
  // Back to zero bandwidth and to a good request: nothing stale is left.
  ASSERT_EQ(a.SelectStreamingFormat(kOut, 0, 0, 0, 0, 10, nullptr, nullptr, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(h.Device().CurrentAlternate(1), 0);
  EXPECT_EQ(a.PlaybackStream()->DataPipe, nullptr);
  ASSERT_EQ(a.SelectStreamingFormat(kOut, 1, 2, 24, 44100, 10, nullptr, nullptr, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(h.Device().EndpointRate(0x01), 44100u);
}

TEST(FormatSelect, HighSpeedEightChannels32BitAndWhatTheEndpointCarries) {
  const std::vector<Uac2Alt> alts = {{8, 4, 32, 1, 0x0400, 1}, {8, 4, 32, 1, 0x0C00 | 0x0200, 2}};
  AudioHarness h(Device(Uac2Device(alts, {}), Speed::High, 0x1234, 0x5678, {{48000, 48000, 0}, {96000, 96000, 0}}),
                 true);
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  CUSBAudioCL& a = h.Audio();
  ULONG maxBytes = 0;
  ASSERT_EQ(a.SelectStreamingFormat(kOut, 1, 8, 32, 48000, 1, nullptr, nullptr, &maxBytes), STATUS_SUCCESS);
  EXPECT_EQ(Of(a.PlaybackStream()), (Sizes{32, 192, 160, 224, 1}));
  EXPECT_EQ(maxBytes, 8192u);  // one 1024-byte transaction per microframe
  EXPECT_EQ(h.Device().ClockRate(10), 48000u);
  EXPECT_EQ(a.NominalFeedback(kOut), 48000u * 65536 / 1000 / 8);
}

TEST(FormatSelect, Oxley10x6PlaybackAndCaptureOnTheSharedClock) {
  AudioHarness h(usbtest::Model("oxley-10x6"), true);
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  CUSBAudioCL& a = h.Audio();
  ULONG channels = 0, bits = 0;
  ASSERT_EQ(a.GetBestFormat(kOut, 1, 96000, &channels, &bits), STATUS_SUCCESS);
  EXPECT_EQ(channels, 6u);
  EXPECT_EQ(bits, 32u);
  ASSERT_EQ(a.SelectStreamingFormat(kOut, 1, channels, bits, 96000, 2, &channels, &bits, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(Of(a.PlaybackStream()), (Sizes{24, 288, 264, 312, 1}));
  EXPECT_EQ(h.Device().CurrentAlternate(1), 2);
  EXPECT_EQ(h.Device().ClockRate(10), 96000u);
  // Explicit feedback: the nominal 16.16 value per microframe is accepted.
  EXPECT_EQ(a.PlaybackStream()->AcceptedFeedbackRate, 96000ull * 65536 / 1000 / 8);
  EXPECT_EQ(a.PlaybackStream()->FeedbackRateInUse, 0u);
  ASSERT_EQ(a.SelectStreamingFormat(kIn, 1, 10, 24, 96000, 2, &channels, &bits, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(h.Device().CurrentAlternate(2), 1);
  EXPECT_EQ(Of(a.CaptureStream()), (Sizes{30, 360, 330, 390, 1}));
}

TEST(FormatSelect, RateOutsideThePatternTableOnlyThroughTheImplicitForm) {
  AudioHarness h(usbtest::Model("uac1-adaptive"), true);
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  CUSBAudioCL& a = h.Audio();
  const size_t before = h.Spy().Seen().size();
  EXPECT_EQ(a.SelectStreamingFormat(kOut, 1, 2, 16, 12000, 8, nullptr, nullptr, nullptr), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(h.Spy().Seen().size(), before);
  EXPECT_EQ(a.GetCurrentAlternate(kOut), 0u);
  EXPECT_EQ(a.PlaybackRateRow(), nullptr);

  ULONG nominal = 0, maxBytes = 0;
  LONG below = 0, above = 0;
  ASSERT_EQ(a.SelectStreamingFormat(kOut, 1, 2, 16, 12000, 8, nullptr, nullptr, &nominal, &below, &above, &maxBytes),
            STATUS_SUCCESS);
  EXPECT_EQ(Of(a.PlaybackStream()), (Sizes{4, 48, 44, 52, 1}));
  EXPECT_EQ(h.Device().EndpointRate(0x01), 12000u);
  EXPECT_EQ(h.Device().CurrentAlternate(1), 1);
  EXPECT_EQ(nominal, 48u * 8);
  EXPECT_EQ(below, -8);
  EXPECT_EQ(above, 8);
  EXPECT_EQ(maxBytes, 8u * 196);
  // The implicit form leaves the pattern state alone.
  EXPECT_EQ(a.PlaybackRateRow(), nullptr);
  // A rate the continuous range does not reach has no alternate.
  EXPECT_EQ(a.SelectStreamingFormat(kOut, 1, 2, 16, 96000, 8, nullptr, nullptr, &nominal, &below, &above, &maxBytes),
            STATUS_NOT_SUPPORTED);
  EXPECT_EQ(h.Device().CurrentAlternate(1), 1);
}

TEST(FormatSelect, DiscreteCaptureRatesAreConfirmedByTheDevice) {
  const std::vector<Uac1Alt> playback = {{2, 2, 16, {48000}}};
  const std::vector<Uac1Alt> capture = {{2, 2, 16, {44100, 48000}, false, 0x00}, {2, 3, 24, {48000}, false, 0x00}};
  AudioHarness h(Device(Uac1Device(playback, capture), Speed::Full), true);
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  CUSBAudioCL& a = h.Audio();
  usbtest::Spy& spy = h.Spy();

  AnswerEndpointRate(spy, 48000);
  spy.Clear();
  EXPECT_EQ(a.CheckFormat(kIn, 1, 2, 16, 48000), STATUS_SUCCESS);
  EXPECT_EQ(spy.Count(URB_FUNCTION_CLASS_ENDPOINT), 1u);
  // Selected for the read and put back.
  EXPECT_EQ(spy.Count(URB_FUNCTION_SELECT_INTERFACE), 2u);
  EXPECT_EQ(h.Device().CurrentAlternate(2), 0);
  EXPECT_EQ(a.GetCurrentAlternate(kIn), 0u);

  // The device runs at 44100: the two-rate alternate is out, 16-bit falls
  // back to the 24-bit one that lists 48000 alone, without a read.
  AnswerEndpointRate(spy, 44100);
  spy.Clear();
  ULONG channels = 0, bits = 0, alternate = 0;
  EXPECT_EQ(a.ChooseAlternate(a.CaptureStream(), 1, 2, 16, 48000, &channels, &bits, &alternate), STATUS_SUCCESS);
  EXPECT_EQ(alternate, 2u);
  EXPECT_EQ(bits, 24u);
  EXPECT_EQ(spy.Count(URB_FUNCTION_CLASS_ENDPOINT), 1u);
  spy.Clear();
  EXPECT_EQ(a.CheckFormat(kIn, 1, 2, 24, 48000), STATUS_SUCCESS);
  EXPECT_EQ(spy.Count(URB_FUNCTION_CLASS_ENDPOINT), 1u);  // alternate 1 was asked first, not alternate 2

  // A read the device refuses does not confirm anything.
  spy.SetAnswer(nullptr);
  EXPECT_EQ(a.CheckFormat(kIn, 1, 2, 16, 44100), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(h.Device().CurrentAlternate(2), 0);

  // With the capture stream running, the read happens on its alternate and
  // nothing is switched.
  AnswerEndpointRate(spy, 48000);
  ASSERT_EQ(a.SelectStreamingFormat(kIn, 1, 2, 16, 48000, 8, nullptr, nullptr, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(a.GetCurrentAlternate(kIn), 1u);
  spy.Clear();
  EXPECT_EQ(a.CheckFormat(kIn, 1, 2, 16, 48000), STATUS_SUCCESS);
  EXPECT_EQ(spy.Count(URB_FUNCTION_SELECT_INTERFACE), 0u);
  EXPECT_NE(a.CaptureStream()->DataPipe, nullptr);
}

TEST(FormatSelect, MissingChannelCountFallsBackToTheWidestAlternate) {
  for (bool eightFirst : {false, true}) {
    SCOPED_TRACE(eightFirst);
    std::vector<Uac2Alt> alts = {{2, 3, 24, 1, 0x0400, 1}, {8, 3, 24, 1, 0x0400, 1}};
    if (eightFirst) std::swap(alts[0], alts[1]);
    AudioHarness h(Device(Uac2Device(alts, {}), Speed::High, 0x1234, 0x5678, {{48000, 48000, 0}}), true);
    ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
    ULONG channels = 0, bits = 0, maxBytes = 0;
    ASSERT_EQ(h.Audio().SelectStreamingFormat(kOut, 1, 6, 24, 48000, 1, &channels, &bits, &maxBytes), STATUS_SUCCESS);
    EXPECT_EQ(channels, 8u);
    EXPECT_EQ(bits, 24u);
    EXPECT_EQ(h.Device().CurrentAlternate(1), eightFirst ? 1 : 2);
    EXPECT_EQ(h.Audio().PlaybackStream()->BytesPerFrame, 24u);
  }
}

TEST(FormatSelect, FormatTypesNoAlternateCarries) {
  AudioHarness h(usbtest::Model("oxley-10x6"), true);
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  CUSBAudioCL& a = h.Audio();
  ULONG channels = 7, bits = 7;
  EXPECT_EQ(a.GetBestFormat(kOut, 6, 48000, &channels, &bits), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(channels, 0u);
  EXPECT_EQ(a.GetBestFormat(kOut, 3, 48000, &channels, &bits), STATUS_NO_MATCH);  // PCM only
  EXPECT_EQ(a.GetBestFormat(kOut, 1, 32000, &channels, &bits), STATUS_NO_MATCH);  // below the clock's range
  EXPECT_EQ(a.CheckFormat(kOut, 3, 6, 32, 48000), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(a.CheckFormat(kOut, 7, 6, 8, 48000), STATUS_NOT_SUPPORTED);
  EXPECT_NE(a.CheckFormat(kOut, 1, 6, 24, 32000), STATUS_SUCCESS);  // the clock refuses the rate
  EXPECT_EQ(a.GetCurrentAlternate(kOut), 0u);
  // Class 1.0: an unknown type or a rate no alternate lists.
  AudioHarness one(usbtest::Model("uac1-feedback"), true);
  ASSERT_EQ(one.AttachStatus(), STATUS_SUCCESS);
  EXPECT_EQ(one.Audio().GetBestFormat(kIn, 6, 48000, nullptr, nullptr), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(one.Audio().GetBestFormat(kIn, 3, 48000, nullptr, nullptr), STATUS_NO_MATCH);
  EXPECT_EQ(one.Audio().GetBestFormat(kIn, 1, 48000, &channels, &bits), STATUS_SUCCESS);
  EXPECT_EQ(bits, 24u);
  EXPECT_EQ(one.Audio().CheckFormat(kIn, 1, 2, 16, 96000), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(one.Audio().CheckFormat(kIn, 6, 2, 16, 48000), STATUS_NOT_SUPPORTED);
  // A float alternate of class 1.0 takes only type 3.
  const std::vector<Uac1Alt> flt = {{2, 4, 32, {48000}, false, 0x01, 392, 3}};
  AudioHarness f(Device(Uac1Device(flt, {}), Speed::Full), true);
  ASSERT_EQ(f.AttachStatus(), STATUS_SUCCESS);
  EXPECT_EQ(f.Audio().CheckFormat(kOut, 1, 2, 32, 48000), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(f.Audio().CheckFormat(kOut, 3, 2, 32, 48000), STATUS_SUCCESS);
  EXPECT_EQ(f.Audio().GetBestFormat(kOut, 3, 44100, &channels, &bits), STATUS_SUCCESS);  // rate not filtered
  EXPECT_EQ(bits, 32u);
  EXPECT_EQ(f.Audio().CheckFormat(kIn, 1, 2, 16, 48000), STATUS_INVALID_PARAMETER);  // no capture stream
}

TEST(FormatSelect, EmptyFormatStopsTheStreamAndKeepsThePatternRow) {
  AudioHarness h(usbtest::Model("oxley-10x6"), true);
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  CUSBAudioCL& a = h.Audio();
  ASSERT_EQ(a.SelectStreamingFormat(kOut, 1, 6, 24, 48000, 2, nullptr, nullptr, nullptr), STATUS_SUCCESS);
  const RatePatternRow* row = a.PlaybackRateRow();
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(row->Rate, 48000u);
  ASSERT_EQ(a.SelectStreamingFormat(kIn, 1, 10, 24, 48000, 2, nullptr, nullptr, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(h.Device().CurrentAlternate(2), 1);
  const size_t classBefore = h.ClassRequests();
  ULONG channels = 9, bits = 9, maxBytes = 9;
  ASSERT_EQ(a.SelectStreamingFormat(kIn, 0, 0, 0, 0, 2, &channels, &bits, &maxBytes), STATUS_SUCCESS);
  EXPECT_EQ(h.ClassRequests(), classBefore);  // no clock request for a stop
  EXPECT_EQ(h.Device().CurrentAlternate(2), 0);
  EXPECT_EQ(a.GetCurrentAlternate(kIn), 0u);
  EXPECT_EQ(Of(a.CaptureStream()), (Sizes{0, 0, 0, 0, 0}));
  EXPECT_EQ(a.CaptureStream()->SampleRate, 0u);
  EXPECT_EQ(a.CaptureStream()->DataPipe, nullptr);
  EXPECT_EQ(bits, 0u);
  EXPECT_EQ(maxBytes, 0u);
  EXPECT_EQ(a.PlaybackRateRow(), row);
  // Stopping playback keeps the row too; its sizes go.
  ASSERT_EQ(a.SelectStreamingFormat(kOut, 0, 0, 0, 0, 2, nullptr, nullptr, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(a.PlaybackRateRow(), row);
  EXPECT_EQ(a.PlaybackPacketInterval(), 1u);
  EXPECT_EQ(Of(a.PlaybackStream()), (Sizes{0, 0, 0, 0, 0}));
  EXPECT_EQ(a.PlaybackStream()->AcceptedFeedbackRate, 0u);
}

TEST(FormatSelect, ShortPacketQuirkWidensTheBounds) {
  const std::vector<Uac1Alt> wide = {{2, 2, 16, {44100, 48000}, false, 0x01, 184}};
  const std::vector<Uac1Alt> narrow = {{2, 2, 16, {44100, 48000}, false, 0x01, 183}};
  {
    AudioHarness h(Device(Uac1Device(wide, {}), Speed::Full, 0x0944, 0x020A), true);
    ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
    ASSERT_TRUE(h.Audio().HasShortPacketQuirk());
    ULONG nominal = 0, maxBytes = 0;
    LONG below = 0, above = 0;
    ASSERT_EQ(h.Audio().SelectStreamingFormat(kOut, 1, 2, 16, 44100, 8, nullptr, nullptr, &nominal, &below, &above,
                                              &maxBytes),
              STATUS_SUCCESS);
    EXPECT_EQ(Of(h.Audio().PlaybackStream()), (Sizes{4, 176, 172, 184, 1}));
    EXPECT_EQ(nominal, 176u * 8);
    EXPECT_EQ(below, -8);
    EXPECT_EQ(above, 16);
    EXPECT_EQ(maxBytes, 8u * 184);
    // The plain form knows no quirk.
    ASSERT_EQ(h.Audio().SelectStreamingFormat(kOut, 1, 2, 16, 44100, 8, nullptr, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Of(h.Audio().PlaybackStream()), (Sizes{4, 176, 176, 180, 0}));
    // Stopping through the implicit form has no frame counts to give.
    EXPECT_EQ(
        h.Audio().SelectStreamingFormat(kOut, 0, 0, 0, 0, 8, nullptr, nullptr, &nominal, &below, &above, &maxBytes),
        STATUS_INVALID_PARAMETER);
    EXPECT_EQ(h.Device().CurrentAlternate(1), 0);
    EXPECT_EQ(
        h.Audio().SelectStreamingFormat(kOut, 0, 0, 0, 0, 8, nullptr, nullptr, &nominal, nullptr, nullptr, &maxBytes),
        STATUS_SUCCESS);
  }
  AudioHarness h(Device(Uac1Device(narrow, {}), Speed::Full, 0x0944, 0x020A), true);
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  ASSERT_EQ(
      h.Audio().SelectStreamingFormat(kOut, 1, 2, 16, 44100, 8, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
      STATUS_SUCCESS);
  EXPECT_EQ(Of(h.Audio().PlaybackStream()), (Sizes{4, 176, 172, 180, 1}));
  // At 48000 the nominal packet is whole: the minimum drops twice a frame.
  ASSERT_EQ(
      h.Audio().SelectStreamingFormat(kOut, 1, 2, 16, 48000, 8, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
      STATUS_SUCCESS);
  EXPECT_EQ(Of(h.Audio().PlaybackStream()), (Sizes{4, 192, 184, 196, 1}));
}

TEST(FormatSelect, ImplicitFeedbackAtHighSpeed) {
  AudioHarness h(usbtest::Model("uac2-implicit"), true);
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  CUSBAudioCL& a = h.Audio();
  EXPECT_TRUE(a.UsesImplicitFeedback());
  ULONG nominal = 0, maxBytes = 0;
  LONG below = 0, above = 0;
  ASSERT_EQ(a.SelectStreamingFormat(kOut, 1, 2, 24, 44100, 2, nullptr, nullptr, &nominal, &below, &above, &maxBytes),
            STATUS_SUCCESS);
  EXPECT_EQ(Of(a.PlaybackStream()), (Sizes{6, 30, 30, 36, 0}));
  EXPECT_EQ(nominal, 30u * 16);
  EXPECT_EQ(below, 0);
  EXPECT_EQ(above, 16);
  EXPECT_EQ(maxBytes, 2u * 8 * 150);
  EXPECT_EQ(h.Device().ClockRate(8), 44100u);
  EXPECT_EQ(a.PlaybackRateRow(), nullptr);
}

}  // namespace

namespace {

TEST(FormatSelect, AlternatesOfOtherFormatTypesAreSkipped) {
  // Alternate 1 carries a 4-byte type III FORMAT_TYPE: nothing past its
  // bFormatType may be read as subslot size or resolution.
  ConfigurationBuilder c = Uac2Device({}, {});
  c.Interface(1, 0, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20)
      .Interface(1, 1, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20)
      .Ac2AsGeneral(1, 8, 1, 3)
      .Raw({0x04, 0x24, 0x02, 0x03})
      .Endpoint(0x01, kXferIsochronous | kSyncAdaptive, 1024, 1)
      .Ac2EndpointGeneral()
      .Interface(1, 2, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20)
      .Ac2AsGeneral(1, 2)
      .Ac2FormatTypeI(2, 16)
      .Endpoint(0x01, kXferIsochronous | kSyncAdaptive, 1024, 1)
      .Ac2EndpointGeneral();
  AudioHarness h(Device(c, Speed::High, 0x1234, 0x5678, {{48000, 48000, 0}}), true);
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  CUSBAudioCL& a = h.Audio();
  ULONG channels = 0, bits = 0, alternate = 0;
  ASSERT_EQ(a.ChooseAlternate(a.PlaybackStream(), 1, 8, 16, 48000, &channels, &bits, &alternate), STATUS_SUCCESS);
  EXPECT_EQ(alternate, 2u);
  EXPECT_EQ(channels, 2u);
  EXPECT_EQ(a.GetBestFormat(0, 1, 48000, &channels, &bits), STATUS_SUCCESS);
  EXPECT_EQ(bits, 16u);
  ULONG maxChannels = 0, minBits = 0, maxBits = 0, minRate = 0, maxRate = 0;
  ASSERT_EQ(a.GetStreamCaps(0, &maxChannels, &minBits, &maxBits, &minRate, &maxRate), STATUS_SUCCESS);
  EXPECT_EQ(maxChannels, 2u);
  EXPECT_EQ(minBits, 16u);
}

}  // namespace
