// Building the model: the built-in models, descriptor sets of the kinds real
// devices ship, and the faults they are known to carry.
#include <gtest/gtest.h>

#include "audio_harness.h"
#include "audiofunction/audio_clock.h"
#include "audiofunction/audio_terminal.h"
#include "audiofunction/audio_units.h"
#include "sim/usb/device/device_models.h"
#include "sim/usb/device/usb_constants.h"

using namespace audiotest;
using namespace sim::usb;

namespace {

NTSTATUS AttachStatusOf(const ConfigurationBuilder& c, Speed speed = Speed::High, uint16_t vendor = 0x1234,
                        uint16_t product = 0x5678) {
  AudioHarness h(Device(c, speed, vendor, product));
  return h.AttachStatus();
}

ULONG EntityCount(CUSBAudioCL& audio) {
  ULONG n = 0;
  for (CUSBAudioEntity* e = audio.Entities(); e != nullptr; e = e->Next()) ++n;
  return n;
}

// A class 1.0 playback-only function whose audio-control part is written by `entities`.
template <typename F>
ConfigurationBuilder Uac1With(F entities) {
  ConfigurationBuilder c;
  c.Interface(0, 0, kClassAudio, kSubclassAudioControl, 0).Ac1Header({1});
  entities(c);
  c.Interface(1, 0, kClassAudio, kSubclassAudioStreaming, 0)
      .Interface(1, 1, kClassAudio, kSubclassAudioStreaming, 0)
      .Ac1AsGeneral(1, 1, 0x0001)
      .Ac1FormatTypeI(2, 2, 16, {48000})
      .AudioEndpoint(0x01, kXferIsochronous | kSyncAdaptive, 196, 1, 0, 0)
      .Ac1EndpointGeneral(0x01);
  return c;
}

// Counts the interfaces of the next select-configuration request.
void CountConfiguredInterfaces(usbtest::Spy& spy, ULONG* listed) {
  spy.SetAnswer([listed](PIRP, PURB urb) {
    if (urb->UrbHeader.Function != URB_FUNCTION_SELECT_CONFIGURATION) return false;
    const UCHAR* end = reinterpret_cast<const UCHAR*>(urb) + urb->UrbHeader.Length;
    const UCHAR* at = reinterpret_cast<const UCHAR*>(&urb->UrbSelectConfiguration.Interface);
    while (at + sizeof(USHORT) <= end && reinterpret_cast<const USBD_INTERFACE_INFORMATION*>(at)->Length != 0) {
      ++*listed;
      at += reinterpret_cast<const USBD_INTERFACE_INFORMATION*>(at)->Length;
    }
    return false;
  });
}

}  // namespace

TEST(AudioModel, EveryBuiltInModelAttachesAndConfigures) {
  for (const ModelInfo& model : ListModels()) {
    SCOPED_TRACE(model.name);
    AudioHarness h(CreateModel(model.name), true);
    ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
    CUSBAudioCL& audio = h.Audio();
    EXPECT_EQ(audio.IsClass2() != 0, model.audioClass == 0x0200);
    EXPECT_EQ(audio.PlaybackStream() != nullptr, model.channelsOut > 0);
    EXPECT_EQ(audio.CaptureStream() != nullptr, model.channelsIn > 0);
    for (StreamInterface* s = audio.Streams(); s != nullptr; s = s->Next) {
      EXPECT_GE(s->AlternateCount, 2u);
      ASSERT_NE(s->Terminal, nullptr);
      EXPECT_TRUE(s->Terminal->IsTerminal());
      EXPECT_EQ(s->CurrentAlternate, 0u);
      EXPECT_EQ(h.Device().CurrentAlternate(s->InterfaceNumber), 0);
      EXPECT_EQ(s->DataPipe, nullptr);  // alternate 0 has no endpoints
    }
  }
}

TEST(AudioModel, Oxley10x6ModelsClockSelectorPathsAndFeedback) {
  AudioHarness h(CreateModel("oxley-10x6"), true);
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  CUSBAudioCL& audio = h.Audio();
  EXPECT_EQ(EntityCount(audio), 8u);
  EXPECT_EQ(audio.CountTerminals(), 4u);
  EXPECT_EQ(audio.StreamCount(), 2);
  StreamInterface* play = audio.PlaybackStream();
  StreamInterface* rec = audio.CaptureStream();
  ASSERT_NE(play, nullptr);
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(play->InterfaceNumber, 1);
  EXPECT_EQ(play->Direction, kDirectionRender);
  EXPECT_EQ(rec->InterfaceNumber, 2);
  EXPECT_EQ(rec->Direction, kDirectionCapture);
  EXPECT_EQ(play->AlternateCount, 3u);
  EXPECT_EQ(play->Terminal->GetId(), 1u);
  EXPECT_EQ(rec->Terminal->GetId(), 6u);
  EXPECT_TRUE(audio.HasSharedClock());
  // Terminal clock: the selector, whose only input is the clock source.
  CUSBAudioClock* clock = play->Terminal->ClockEntity();
  ASSERT_NE(clock, nullptr);
  EXPECT_TRUE(clock->IsClockSelector());
  EXPECT_EQ(clock->GetId(), 11u);
  for (ULONG alt = 1; alt < play->AlternateCount; ++alt) {
    const AltSetting* a = play->Alternate(alt);
    ASSERT_NE(a->DataEndpoint, nullptr);
    EXPECT_EQ(a->DataEndpoint->bEndpointAddress, 0x01);
    ASSERT_NE(a->FeedbackEndpoint, nullptr);
    EXPECT_EQ(a->FeedbackEndpoint->bEndpointAddress, 0x81);
    EXPECT_NE(a->AsGeneral, nullptr);
    EXPECT_NE(a->FormatType, nullptr);
    EXPECT_NE(a->EpGeneral, nullptr);
    EXPECT_EQ(a->FormatType[4], alt == 1 ? 3 : 4);  // bSubslotSize
  }
  // Source chain OT 3 -> FU 2 -> IT 1.
  auto* ot = static_cast<CUSBAudioOutputTerminal*>(audio.FindEntity(3));
  ASSERT_NE(ot, nullptr);
  ASSERT_NE(ot->SourceEntity(), nullptr);
  EXPECT_EQ(ot->SourceEntity()->GetId(), 2u);
  EXPECT_EQ(static_cast<CUSBAudioFeatureUnit*>(ot->SourceEntity())->SourceEntity(), audio.FindEntity(1));
  EXPECT_EQ(audio.FindEntity(77), nullptr);
  EXPECT_FALSE(audio.HasPlaybackLengthHeader());
}

TEST(AudioModel, DeviceQuirksFollowVendorAndProduct) {
  {
    AudioHarness h(CreateModel("vendor-00c7"), true);
    ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
    EXPECT_EQ(h.Audio().AudioInterfaceClass(), 0xFF);
    EXPECT_TRUE(h.Audio().HasPlaybackLengthHeader());
    // Separate clocks for the two directions.
    EXPECT_FALSE(h.Audio().HasSharedClock());
  }
  // The same vendor-class descriptors on any other device are not audio.
  DeviceDefinition d = *ModelDefinition("vendor-00c7");
  d.deviceDescriptor = AudioDeviceDescriptor(0x1234, 0x00C7);
  {
    AudioHarness h(std::make_unique<UsbAudioDevice>(d));
    EXPECT_EQ(h.AttachStatus(), STATUS_NOT_SUPPORTED);
  }
  {
    AudioHarness quirk(Device(Uac2Stereo(), Speed::High, 0x0944, 0x020A));
    ASSERT_EQ(quirk.AttachStatus(), STATUS_SUCCESS);
    EXPECT_TRUE(quirk.Audio().HasShortPacketQuirk());
  }
  AudioHarness plain(Device(Uac2Stereo()));
  EXPECT_FALSE(plain.Audio().HasShortPacketQuirk());
}

TEST(AudioModel, Uac1FunctionsShareTheirClockAndReportNoClockIds) {
  AudioHarness h(CreateModel("uac1-feedback"), true);
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  CUSBAudioCL& audio = h.Audio();
  EXPECT_FALSE(audio.IsClass2());
  EXPECT_TRUE(audio.HasSharedClock());
  EXPECT_EQ(audio.PlaybackStream()->Terminal->GetClockId(), 0xFFFFFFFFu);
  EXPECT_EQ(audio.PlaybackStream()->Terminal->GetControls(), 0u);
  EXPECT_EQ(audio.PlaybackStream()->Terminal->ClockEntity(), nullptr);
  EXPECT_EQ(audio.PlaybackStream()->Terminal->IsConnected(), 0xFFFFFFFFu);
}

TEST(AudioModel, ControlHeaderFaultsFailTheAttach) {
  // Total length reaching into the streaming interfaces.
  ConfigurationBuilder tooLong = Uac2Stereo();
  tooLong.Auto().acHeaderLength = false;
  tooLong.Patch16(9 + 8 + 9 + 6, 400);  // IAD, configuration, interface, then header byte 6
  EXPECT_EQ(AttachStatusOf(tooLong), STATUS_NOT_SUPPORTED);
  // Total length that cuts the entities off: the stream terminals are missing.
  ConfigurationBuilder tooShort = Uac2Stereo();
  tooShort.Auto().acHeaderLength = false;
  tooShort.Patch16(9 + 8 + 9 + 6, 9);
  EXPECT_EQ(AttachStatusOf(tooShort), STATUS_NOT_SUPPORTED);
  // The header not right after the interface.
  ConfigurationBuilder noHeader;
  noHeader.Interface(0, 0, kClassAudio, kSubclassAudioControl, kProtocolAudio20)
      .Ac2ClockSource(10, 0x03, 0x07)
      .Ac2Header(0x08);
  EXPECT_EQ(AttachStatusOf(noHeader), STATUS_NOT_SUPPORTED);
  // A header too short to hold its total length.
  ConfigurationBuilder shortHeader;
  shortHeader.Interface(0, 0, kClassAudio, kSubclassAudioControl, 0).Raw({5, 0x24, 0x01, 0x00, 0x01});
  EXPECT_EQ(AttachStatusOf(shortHeader), STATUS_NOT_SUPPORTED);
  // A descriptor of length 0 inside the audio-control part, and one that
  // runs past the end of the configuration.
  ConfigurationBuilder zero = Uac2Stereo();
  zero.Patch8(9 + 8 + 9 + 9, 0);
  EXPECT_EQ(AttachStatusOf(zero), STATUS_NOT_SUPPORTED);
  ConfigurationBuilder past = Uac2Stereo();
  past.Raw({40, 0x24, 0x06, 9});
  EXPECT_EQ(AttachStatusOf(past), STATUS_NOT_SUPPORTED);
  // No audio-control interface at all.
  ConfigurationBuilder none;
  none.Interface(0, 0, 0xFF, 0, 0);
  EXPECT_EQ(AttachStatusOf(none), STATUS_NOT_SUPPORTED);
}

TEST(AudioModel, EntityWalkStopsAtUnknownUnitsAndTheLastLinkDecides) {
  // A processing unit as the last entity fails; earlier it does not matter.
  EXPECT_EQ(AttachStatusOf(Uac1With([](ConfigurationBuilder& c) {
                             c.Ac1InputTerminal(1, 0x0101, 2)
                                 .Ac1OutputTerminal(3, 0x0301, 1)
                                 .Raw({13, 0x24, 0x07, 9, 0x01, 0x00, 1, 1, 2, 0, 0, 0, 0});
                           }),
                           Speed::Full),
            STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(AttachStatusOf(Uac1With([](ConfigurationBuilder& c) {
                             c.Raw({13, 0x24, 0x07, 9, 0x01, 0x00, 1, 1, 2, 0, 0, 0, 0})
                                 .Ac1InputTerminal(1, 0x0101, 2)
                                 .Ac1OutputTerminal(3, 0x0301, 1);
                           }),
                           Speed::Full),
            STATUS_SUCCESS);
  // Subtype 0x09 ends the walk of a 1.0 function: terminal 7 is not modelled.
  {
    AudioHarness h(Device(Uac1With([](ConfigurationBuilder& c) {
                            c.Ac1InputTerminal(1, 0x0101, 2)
                                .Ac1OutputTerminal(3, 0x0301, 1)
                                .Raw({8, 0x24, 0x09, 8, 1, 0, 1, 1})
                                .Ac1InputTerminal(7, 0x0201, 2);
                          }),
                          Speed::Full));
    ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
    EXPECT_NE(h.Audio().FindEntity(3), nullptr);
    EXPECT_EQ(h.Audio().FindEntity(8), nullptr);
    EXPECT_EQ(h.Audio().FindEntity(7), nullptr);
    EXPECT_EQ(h.Audio().CountTerminals(), 2u);
  }
  // The same unit in a 2.0 function is kept as a dummy and the walk goes on.
  ConfigurationBuilder c2 = Uac2Control();
  c2.Raw({8, 0x24, 0x09, 8, 1, 0, 1, 1}).Ac2InputTerminal(7, 0x0201, 10, 2);
  Uac2Playback(c2, 1);
  AudioHarness h2(Device(c2));
  ASSERT_EQ(h2.AttachStatus(), STATUS_SUCCESS);
  ASSERT_NE(h2.Audio().FindEntity(8), nullptr);
  char name[32];
  EXPECT_EQ(h2.Audio().FindEntity(8)->GetName(name, sizeof(name)), STATUS_SUCCESS);
  EXPECT_STREQ(name, "Dummy(8)");
  EXPECT_NE(h2.Audio().FindEntity(7), nullptr);
}

TEST(AudioModel, LinksToNothingOrToTheWrongKindOfEntity) {
  // The last entity's dangling source fails the attach ...
  ConfigurationBuilder last = Uac2Control();
  last.Ac2FeatureUnit(5, 99, {0x03, 0x03, 0x03});
  Uac2Playback(last, 1);
  EXPECT_EQ(AttachStatusOf(last), STATUS_NOT_SUPPORTED);
  // ... an earlier one only leaves its link empty.
  ConfigurationBuilder earlier;
  earlier.Interface(0, 0, kClassAudio, kSubclassAudioControl, kProtocolAudio20)
      .Ac2Header(0x08)
      .Ac2FeatureUnit(5, 99, {0x03, 0x03, 0x03})
      .Ac2ClockSource(10, 0x03, 0x07)
      .Ac2InputTerminal(1, 0x0101, 10, 2)
      .Ac2OutputTerminal(3, 0x0301, 1, 10);
  Uac2Playback(earlier, 1);
  {
    AudioHarness h(Device(earlier));
    ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
    auto* fu = static_cast<CUSBAudioFeatureUnit*>(h.Audio().FindEntity(5));
    ASSERT_NE(fu, nullptr);
    EXPECT_EQ(fu->SourceEntity(), nullptr);
    EXPECT_EQ(fu->GetSourceId(0), 99u);
  }
  // A stream terminal whose clock link names a feature unit has no clock.
  ConfigurationBuilder notClock;
  notClock.Interface(0, 0, kClassAudio, kSubclassAudioControl, kProtocolAudio20)
      .Ac2Header(0x08)
      .Ac2ClockSource(10, 0x03, 0x07)
      .Ac2InputTerminal(1, 0x0101, 2, 2)
      .Ac2FeatureUnit(2, 1, {0x03, 0x03, 0x03})
      .Ac2OutputTerminal(3, 0x0301, 2, 10);
  Uac2Playback(notClock, 1);
  EXPECT_EQ(AttachStatusOf(notClock), STATUS_NOT_SUPPORTED);
  // A stream whose terminal link names a unit, or nothing.
  ConfigurationBuilder toUnit = Uac2Control();
  toUnit.Ac2FeatureUnit(2, 1, {0x03, 0x03, 0x03});
  Uac2Playback(toUnit, 1, 0x01, 2);
  EXPECT_EQ(AttachStatusOf(toUnit), STATUS_NOT_SUPPORTED);
  ConfigurationBuilder toNothing = Uac2Control();
  Uac2Playback(toNothing, 1, 0x01, 42);
  EXPECT_EQ(AttachStatusOf(toNothing), STATUS_NOT_SUPPORTED);
  // Units feeding each other in a loop.
  ConfigurationBuilder loop;
  loop.Interface(0, 0, kClassAudio, kSubclassAudioControl, kProtocolAudio20)
      .Ac2Header(0x08)
      .Ac2ClockSource(10, 0x03, 0x07)
      .Ac2InputTerminal(1, 0x0101, 10, 2)
      .Ac2FeatureUnit(2, 5, {0x03, 0x03, 0x03})
      .Ac2FeatureUnit(5, 2, {0x03, 0x03, 0x03})
      .Ac2OutputTerminal(3, 0x0301, 2, 10);
  Uac2Playback(loop, 1);
  EXPECT_EQ(AttachStatusOf(loop), STATUS_NOT_SUPPORTED);
}

TEST(AudioModel, EntityDescriptorsTooShortForTheirFieldsFailTheAttach) {
  // A clock selector announcing five inputs with room for one.
  ConfigurationBuilder selector = Uac2Control();
  selector.Raw({8, 0x24, 0x0B, 11, 5, 10, 0x03, 0});
  Uac2Playback(selector, 1);
  EXPECT_EQ(AttachStatusOf(selector), STATUS_NOT_SUPPORTED);
  // A 2.0 input terminal cut before its bmControls.
  ConfigurationBuilder terminal;
  terminal.Interface(0, 0, kClassAudio, kSubclassAudioControl, kProtocolAudio20)
      .Ac2Header(0x08)
      .Ac2ClockSource(10, 0x03, 0x07)
      .Raw({12, 0x24, 0x02, 1, 0x01, 0x01, 0, 10, 2, 0, 0, 0})
      .Ac2OutputTerminal(3, 0x0301, 1, 10);
  Uac2Playback(terminal, 1);
  EXPECT_EQ(AttachStatusOf(terminal), STATUS_NOT_SUPPORTED);
  // A class-specific descriptor of three bytes has no entity ID.
  ConfigurationBuilder tiny = Uac2Control();
  tiny.Raw({3, 0x24, 0x06});
  Uac2Playback(tiny, 1);
  EXPECT_EQ(AttachStatusOf(tiny), STATUS_NOT_SUPPORTED);
}

TEST(AudioModel, StreamInterfacesEndAtTheFirstMissingNumber) {
  // Interface numbers with a gap: 0 control, 1 stream, 3 stream.
  ConfigurationBuilder gap = Uac2Control();
  Uac2Playback(gap, 1);
  Uac2Playback(gap, 3, 0x03);
  {
    AudioHarness h(Device(gap), true);
    ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
    EXPECT_EQ(h.Audio().StreamCount(), 1);
    EXPECT_EQ(h.Audio().Streams()->InterfaceNumber, 1);
  }
  // Two audio functions: only the first one's streams belong to the model,
  // and the configuration lists only its interfaces.
  ConfigurationBuilder two = Uac2Control();
  Uac2Playback(two, 1);
  Uac2Playback(two, 2, 0x02);
  two.Interface(3, 0, kClassAudio, kSubclassAudioControl, kProtocolAudio20)
      .Ac2Header(0x08)
      .Ac2ClockSource(20, 0x03, 0x07)
      .Ac2InputTerminal(21, 0x0101, 20, 2)
      .Ac2OutputTerminal(23, 0x0301, 21, 20);
  Uac2Playback(two, 4, 0x04, 21);
  AudioHarness h2(Device(two));
  ASSERT_EQ(h2.AttachStatus(), STATUS_SUCCESS);
  EXPECT_EQ(h2.Audio().StreamCount(), 2);
  EXPECT_EQ(h2.Audio().PlaybackStream()->InterfaceNumber, 1);
  EXPECT_EQ(h2.Audio().CaptureStream(), nullptr);
  ULONG listed = 0;
  CountConfiguredInterfaces(h2.Spy(), &listed);
  EXPECT_EQ(h2.Audio().Configure(), STATUS_SUCCESS);
  EXPECT_EQ(listed, 3u);
}

TEST(AudioModel, DevicesThatNeedEveryInterfaceConfigured) {
  // An audio function beside a vendor interface, on a device of the
  // all-interfaces list and on any other.
  ConfigurationBuilder c = Uac2Control();
  Uac2Playback(c, 1);
  c.Interface(2, 0, 0xFF, 0, 0).Endpoint(0x83, kXferInterrupt, 8, 4);
  for (auto [vendor, product, expected] :
       {std::tuple<uint16_t, uint16_t, ULONG>{0x20B1, 0x0002, 3}, {0x054C, 0x09D5, 3}, {0x1234, 0x5678, 2}}) {
    SCOPED_TRACE(vendor);
    AudioHarness h(Device(c, Speed::High, vendor, product));
    ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
    ULONG listed = 0;
    CountConfiguredInterfaces(h.Spy(), &listed);
    EXPECT_EQ(h.Audio().Configure(), STATUS_SUCCESS);
    EXPECT_EQ(listed, expected);
  }
}
