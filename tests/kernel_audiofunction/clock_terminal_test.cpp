// Clock sources, clock selectors and terminals: the class requests behind
// them and how they judge the device's answers.
#include <gtest/gtest.h>

#include "audio_harness.h"
#include "audiofunction/audio_clock.h"
#include "audiofunction/audio_terminal.h"
#include "sim/usb/device/usb_constants.h"

using namespace audiotest;
using namespace sim::usb;

namespace {

// Sources 10 and 12, selector 11 over `inputs`, terminal 1 on clock `clock`.
ConfigurationBuilder Clocks(const std::vector<uint8_t>& inputs, uint8_t clock = 11, bool second = false) {
  ConfigurationBuilder c;
  c.Interface(0, 0, kClassAudio, kSubclassAudioControl, kProtocolAudio20)
      .Ac2Header(0x08)
      .Ac2ClockSource(10, 0x03, 0x07)
      .Ac2ClockSource(12, 0x01, 0x07)
      .Ac2ClockSelector(11, inputs, 0x03);
  if (second) c.Ac2ClockSelector(13, {11, 10}, 0x03);
  c.Ac2InputTerminal(1, 0x0101, clock, 2).Ac2OutputTerminal(3, 0x0301, 1, clock);
  c.Interface(1, 0, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20)
      .Interface(1, 1, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20)
      .Ac2AsGeneral(1, 2)
      .Ac2FormatTypeI(3, 24)
      .Endpoint(0x01, kXferIsochronous | kSyncAdaptive, 78, 1);
  return c;
}

CUSBAudioClock* ClockOf(CUSBAudioCL& audio, ULONG id) {
  CUSBAudioEntity* e = audio.FindEntity(id);
  return (e != nullptr && e->IsClock()) ? static_cast<CUSBAudioClock*>(e) : nullptr;
}

CUSBAudioTerminal* TerminalOf(CUSBAudioCL& audio, ULONG id) {
  CUSBAudioEntity* e = audio.FindEntity(id);
  return (e != nullptr && e->IsTerminal()) ? static_cast<CUSBAudioTerminal*>(e) : nullptr;
}

// Stalls the next GET CUR of control selector `value` >> 8.
ControlFilter StallGet(uint16_t value) {
  ControlFilter f;
  f.bmRequestType = 0xA1;
  f.bRequest = 1;
  f.wValue = value;
  return f;
}

const std::vector<RateRange> kOxleyRates = {{44100, 44100, 0}, {48000, 48000, 0}, {96000, 96000, 0}};

}  // namespace

TEST(AudioClocks, ValidityIsReadOnlyWhenTheControlIsReadable) {
  {
    AudioHarness h(Device(Uac2Stereo(0x07)), true);
    ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
    CUSBAudioClock* clock = ClockOf(h.Audio(), 10);
    ASSERT_NE(clock, nullptr);
    h.Device().SetClockValid(10, true);
    EXPECT_TRUE(clock->IsValid());
    h.Device().SetClockValid(10, false);
    EXPECT_FALSE(clock->IsValid());
    // A failed read is not valid either.
    h.Device().SetClockValid(10, true);
    h.Device().StallControl(StallGet(0x0200));
    EXPECT_FALSE(clock->IsValid());
  }
  AudioHarness h(Device(Uac2Stereo(0x03)), true);
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  h.Device().SetClockValid(10, false);
  const size_t before = h.ClassRequests();
  EXPECT_TRUE(ClockOf(h.Audio(), 10)->IsValid());
  EXPECT_EQ(h.ClassRequests(), before);
}

TEST(AudioClocks, RateSupportFollowsSubrangesAndTheirResolution) {
  const struct {
    RateRange range;
    NTSTATUS expected;
  } cases[] = {{{44100, 96000, 0}, STATUS_NOT_SUPPORTED},
               {{44100, 96000, 3900}, STATUS_SUCCESS},
               {{48000, 48000, 0}, STATUS_SUCCESS},
               {{44100, 96000, 1000}, STATUS_NOT_SUPPORTED},
               {{8000, 44100, 100}, STATUS_NOT_SUPPORTED}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.range.res);
    AudioHarness h(Device(Uac2Stereo(), Speed::High, 0x1234, 0x5678, {c.range}), true);
    ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
    EXPECT_EQ(ClockOf(h.Audio(), 10)->IsRateSupported(48000), c.expected);
  }
}

TEST(AudioClocks, RangeSpansAllSubrangesWithinTheBounds) {
  AudioHarness h(Device(Uac2Stereo(), Speed::High, 0x1234, 0x5678,
                        {{48000, 48000, 0}, {8000, 16000, 8000}, {44100, 44100, 0}, {96000, 192000, 96000}}),
                 true);
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  CUSBAudioClock* clock = ClockOf(h.Audio(), 10);
  ULONG low = 0;
  ULONG high = 0;
  ASSERT_EQ(clock->GetRange(&low, &high, 0, 0xFFFFFFFF), STATUS_SUCCESS);
  EXPECT_EQ(low, 8000u);
  EXPECT_EQ(high, 192000u);
  // Further subranges only count within the bounds; the first always does.
  ASSERT_EQ(clock->GetRange(&low, &high, 44100, 96000), STATUS_SUCCESS);
  EXPECT_EQ(low, 44100u);
  EXPECT_EQ(high, 48000u);
  // Each query reads twice: the count, then every subrange.
  const size_t before = h.ClassRequests();
  EXPECT_EQ(clock->IsRateSupported(176400), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(clock->IsRateSupported(192000), STATUS_SUCCESS);
  EXPECT_EQ(h.ClassRequests() - before, 4u);
}

TEST(AudioClocks, RangeAnswersThatLieAreRejected) {
  AudioHarness h(Device(Uac2Stereo()), true);
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  CUSBAudioClock* clock = ClockOf(h.Audio(), 10);
  ULONG low = 0;
  ULONG high = 0;
  // More subranges than a 16-bit length can carry: no second read.
  AnswerClassRequests(h.Spy(), 2, 1, RangeAnswer({{48000, 48000, 0}}, 5462));
  size_t before = h.ClassRequests();
  EXPECT_EQ(clock->GetRange(&low, &high, 0, 0xFFFFFFFF), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(h.ClassRequests() - before, 1u);
  EXPECT_EQ(clock->IsRateSupported(48000), STATUS_UNSUCCESSFUL);
  // 5461 is the most that fits; the answer that follows is too short.
  AnswerClassRequests(h.Spy(), 2, 1, RangeAnswer({{44100, 44100, 0}, {48000, 48000, 0}}, 5461));
  before = h.ClassRequests();
  EXPECT_EQ(clock->GetRange(&low, &high, 0, 0xFFFFFFFF), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(h.ClassRequests() - before, 2u);
  // A count that does not match the answer's length.
  AnswerClassRequests(h.Spy(), 2, 1, RangeAnswer({{44100, 44100, 0}, {48000, 48000, 0}}, 3));
  EXPECT_EQ(clock->IsRateSupported(48000), STATUS_UNSUCCESSFUL);
  // No subranges at all, and an answer too short to hold the count.
  AnswerClassRequests(h.Spy(), 2, 1, RangeAnswer({}, 0));
  EXPECT_EQ(clock->GetRange(&low, &high, 0, 0xFFFFFFFF), STATUS_UNSUCCESSFUL);
  AnswerClassRequests(h.Spy(), 2, 1, {1});
  EXPECT_EQ(clock->IsRateSupported(48000), STATUS_UNSUCCESSFUL);
  // The count changes between the two reads.
  int calls = 0;
  h.Spy().SetAnswer([&calls](PIRP irp, PURB urb) {
    auto& r = urb->UrbControlVendorClassRequest;
    if (urb->UrbHeader.Function != URB_FUNCTION_CLASS_INTERFACE || r.Request != 2) return false;
    std::vector<uint8_t> answer = RangeAnswer({{48000, 48000, 0}}, ++calls == 1 ? 1 : 2);
    memcpy(r.TransferBuffer, answer.data(), std::min<size_t>(answer.size(), r.TransferBufferLength));
    r.TransferBufferLength = static_cast<ULONG>(std::min<size_t>(answer.size(), r.TransferBufferLength));
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    usbtest::CompleteIrp(irp, STATUS_SUCCESS);
    return true;
  });
  EXPECT_EQ(clock->IsRateSupported(48000), STATUS_UNSUCCESSFUL);
  // A short rate answer.
  AnswerClassRequests(h.Spy(), 1, 1, {0x80, 0xBB});
  ULONG rate = 0;
  EXPECT_EQ(clock->GetCurrentRate(&rate), STATUS_UNSUCCESSFUL);
  h.Spy().SetAnswer(nullptr);
  EXPECT_EQ(clock->GetCurrentRate(&rate), STATUS_SUCCESS);
  EXPECT_EQ(rate, 48000u);
}

TEST(AudioClocks, SelectorFollowsTheInputTheDeviceReports) {
  AudioHarness h(Device(Clocks({10, 12}), Speed::High, 0x1234, 0x5678, kOxleyRates), true);
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  CUSBAudioCL& audio = h.Audio();
  auto* selector = static_cast<CUSBAudioClockSelector*>(ClockOf(audio, 11));
  ASSERT_NE(selector, nullptr);
  ASSERT_TRUE(selector->IsClockSelector());
  EXPECT_EQ(TerminalOf(audio, 1)->ClockEntity(), selector);
  EXPECT_EQ(selector->GetSourceId(0), 10u);
  EXPECT_EQ(selector->GetSourceId(1), 12u);
  EXPECT_EQ(selector->GetSourceId(2), 0xFFFFFFFFu);
  ASSERT_EQ(ClockOf(audio, 12)->SetRate(96000), STATUS_SUCCESS);
  ASSERT_EQ(ClockOf(audio, 10)->SetRate(44100), STATUS_SUCCESS);
  UCHAR input = 2;
  ASSERT_EQ(audio.AudioRequest(0x21, 1, 1, 0, 11, 1, &input), STATUS_SUCCESS);
  ASSERT_EQ(h.Device().SelectorInput(11), 2);
  ULONG rate = 0;
  ASSERT_EQ(selector->GetCurrentRate(&rate), STATUS_SUCCESS);
  EXPECT_EQ(rate, 96000u);
  h.Device().SetClockValid(12, false);
  EXPECT_FALSE(selector->IsValid());
  h.Device().SetClockValid(12, true);
  EXPECT_TRUE(selector->IsValid());
  // Answers naming no input.
  for (UCHAR bad : {UCHAR{0}, UCHAR{3}}) {
    AnswerClassRequests(h.Spy(), 1, 1, {bad});
    EXPECT_EQ(selector->GetCurrentRate(&rate), STATUS_NOT_SUPPORTED);
    EXPECT_FALSE(selector->IsValid());
  }
  h.Spy().SetAnswer(nullptr);
  // Setting a rate selects the first input that takes it.
  ASSERT_EQ(selector->SetRate(48000), STATUS_SUCCESS);
  EXPECT_EQ(h.Device().SelectorInput(11), 1);
  EXPECT_EQ(h.Device().ClockRate(10), 48000u);
  EXPECT_EQ(selector->SetRate(12345), STATUS_NOT_SUPPORTED);
  ULONG low = 0;
  ULONG high = 0;
  ASSERT_EQ(selector->GetRange(&low, &high, 0, 0xFFFFFFFF), STATUS_SUCCESS);
  EXPECT_EQ(low, 44100u);
  EXPECT_EQ(high, 96000u);
  EXPECT_EQ(selector->IsRateSupported(96000), STATUS_SUCCESS);
  EXPECT_EQ(selector->IsRateSupported(88200), STATUS_NOT_SUPPORTED);
}

TEST(AudioClocks, SelectorWithOneInputReadsNothingAndSkipsMissingInputs) {
  {
    AudioHarness h(Device(Clocks({12}), Speed::High, 0x1234, 0x5678, kOxleyRates), true);
    ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
    auto* selector = static_cast<CUSBAudioClockSelector*>(ClockOf(h.Audio(), 11));
    ULONG input = 0;
    const size_t before = h.ClassRequests();
    ASSERT_EQ(selector->GetSelectedInput(&input), STATUS_SUCCESS);
    EXPECT_EQ(input, 1u);
    EXPECT_EQ(h.ClassRequests(), before);
  }
  // Input 1 names nothing: the rate goes to input 2.
  AudioHarness h(Device(Clocks({99, 12}), Speed::High, 0x1234, 0x5678, kOxleyRates), true);
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  auto* selector = static_cast<CUSBAudioClockSelector*>(ClockOf(h.Audio(), 11));
  EXPECT_EQ(selector->InputClock(1), nullptr);
  ASSERT_EQ(selector->SetRate(96000), STATUS_SUCCESS);
  EXPECT_EQ(h.Device().SelectorInput(11), 2);
  EXPECT_EQ(h.Device().ClockRate(12), 96000u);
  ULONG low = 0;
  ULONG high = 0;
  EXPECT_EQ(selector->GetRange(&low, &high, 0, 0xFFFFFFFF), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(selector->IsRateSupported(96000), STATUS_NOT_SUPPORTED);
}

TEST(AudioClocks, SelectorsThatLoopAreCutOff) {
  // A selector among its own inputs.
  {
    AudioHarness h(Device(Clocks({11, 10}), Speed::High, 0x1234, 0x5678, kOxleyRates), true);
    ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
    auto* selector = static_cast<CUSBAudioClockSelector*>(ClockOf(h.Audio(), 11));
    EXPECT_EQ(selector->InputClock(1), nullptr);
    ULONG low = 0;
    ULONG high = 0;
    EXPECT_EQ(selector->GetRange(&low, &high, 0, 0xFFFFFFFF), STATUS_NOT_SUPPORTED);
    ASSERT_EQ(selector->SetRate(48000), STATUS_SUCCESS);
    EXPECT_EQ(h.Device().SelectorInput(11), 2);
  }
  // Selector 13 over selector 11 over the sources works; 11 over 13 over
  // 11 does not.
  {
    AudioHarness h(Device(Clocks({10, 12}, 13, true), Speed::High, 0x1234, 0x5678, kOxleyRates), true);
    ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
    auto* outer = static_cast<CUSBAudioClockSelector*>(ClockOf(h.Audio(), 13));
    EXPECT_EQ(outer->InputClock(1), ClockOf(h.Audio(), 11));
    ULONG rate = 0;
    ASSERT_EQ(outer->GetCurrentRate(&rate), STATUS_SUCCESS);
    EXPECT_EQ(rate, 48000u);
  }
  AudioHarness h(Device(Clocks({13, 10}, 13, true), Speed::High, 0x1234, 0x5678, kOxleyRates), true);
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  auto* outer = static_cast<CUSBAudioClockSelector*>(ClockOf(h.Audio(), 13));
  EXPECT_EQ(outer->InputClock(1), nullptr);
  ULONG low = 0;
  ULONG high = 0;
  EXPECT_EQ(outer->GetRange(&low, &high, 0, 0xFFFFFFFF), STATUS_NOT_SUPPORTED);
}

TEST(AudioTerminals, ClockIdsControlsAndConnectors) {
  AudioHarness h(Device(Uac2Stereo()), true);
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  CUSBAudioCL& audio = h.Audio();
  CUSBAudioTerminal* speaker = TerminalOf(audio, 3);
  CUSBAudioTerminal* mic = TerminalOf(audio, 4);
  CUSBAudioTerminal* usbIn = TerminalOf(audio, 1);
  ASSERT_NE(speaker, nullptr);
  ASSERT_NE(mic, nullptr);
  EXPECT_EQ(speaker->GetClockId(), 10u);
  EXPECT_EQ(mic->GetClockId(), 10u);
  EXPECT_EQ(speaker->GetControls(), 0x0004u);
  EXPECT_EQ(speaker->GetSourceId(0), 2u);
  EXPECT_EQ(mic->GetSourceId(0), 0xFFFFFFFFu);
  EXPECT_TRUE(speaker->HasControl(1));
  EXPECT_FALSE(speaker->HasControl(0));
  EXPECT_FALSE(usbIn->HasControl(1));
  h.Device().SetConnectorConnected(3, true);
  EXPECT_EQ(speaker->IsConnected(), 1u);
  h.Device().SetConnectorConnected(3, false);
  EXPECT_EQ(speaker->IsConnected(), 0u);
  h.Device().StallControl(StallGet(0x0200));
  EXPECT_EQ(speaker->IsConnected(), 0xFFFFFFFFu);
  EXPECT_EQ(usbIn->IsConnected(), 0xFFFFFFFFu);
  char name[32];
  ASSERT_EQ(speaker->GetName(name, sizeof(name)), STATUS_SUCCESS);
  EXPECT_STREQ(name, "OT(3)");
  ASSERT_EQ(usbIn->GetName(name, sizeof(name)), STATUS_SUCCESS);
  EXPECT_STREQ(name, "IT(1)");
  ASSERT_EQ(audio.FindEntity(2)->GetName(name, sizeof(name)), STATUS_SUCCESS);
  EXPECT_STREQ(name, "Feature(2)");
  ASSERT_EQ(audio.FindEntity(10)->GetName(name, sizeof(name)), STATUS_SUCCESS);
  EXPECT_STREQ(name, "ClockSource(10)");
  EXPECT_EQ(audio.FindEntity(10)->GetName(name, 5), STATUS_BUFFER_OVERFLOW);
  EXPECT_STREQ(name, "Cloc");
}

TEST(AudioTerminals, ConnectorBitPairTenCountsAsAbsent) {
  ConfigurationBuilder c;
  c.Interface(0, 0, kClassAudio, kSubclassAudioControl, kProtocolAudio20)
      .Ac2Header(0x08)
      .Ac2ClockSource(10, 0x03, 0x07)
      .Ac2InputTerminal(1, 0x0101, 10, 2)
      .Ac2OutputTerminal(3, 0x0301, 1, 10, 0x0008)
      .Ac2OutputTerminal(5, 0x0302, 1, 10, 0x000C);
  c.Interface(1, 0, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20)
      .Interface(1, 1, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20)
      .Ac2AsGeneral(1, 2)
      .Ac2FormatTypeI(3, 24)
      .Endpoint(0x01, kXferIsochronous | kSyncAdaptive, 78, 1);
  AudioHarness h(Device(c), true);
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  EXPECT_FALSE(TerminalOf(h.Audio(), 3)->HasControl(1));
  EXPECT_EQ(TerminalOf(h.Audio(), 3)->IsConnected(), 0xFFFFFFFFu);
  EXPECT_TRUE(TerminalOf(h.Audio(), 5)->HasControl(1));
}
