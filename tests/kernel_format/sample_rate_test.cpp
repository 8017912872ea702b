// The device's sample rate, the rates and capabilities the streams offer,
// and the vendor stream mode.
#include <gtest/gtest.h>

#include "audio_harness.h"
#include "format_devices.h"
#include "sim/usb/device/fault_injector.h"

using namespace audiotest;
using namespace formattest;
using namespace sim::usb;

namespace {

constexpr UCHAR kOut = 0;
constexpr UCHAR kIn = 1;

struct Caps {
  ULONG channels, minBits, maxBits, minRate, maxRate;
  bool operator==(const Caps&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Caps& c) {
  return os << c.channels << " ch " << c.minBits << ".." << c.maxBits << " bits " << c.minRate << ".." << c.maxRate;
}

Caps StreamCaps(CUSBAudioCL& a, UCHAR direction, NTSTATUS* status) {
  Caps c{};
  *status = a.GetStreamCaps(direction, &c.channels, &c.minBits, &c.maxBits, &c.minRate, &c.maxRate);
  return c;
}

TEST(SampleRate, Class2RatesComeFromTheTerminalClock) {
  AudioHarness h(usbtest::Model("oxley-10x6"), true);
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  CUSBAudioCL& a = h.Audio();
  EXPECT_EQ(a.IsSampleRateSupported(88200), STATUS_SUCCESS);
  EXPECT_EQ(a.IsSampleRateSupported(192000), STATUS_INVALID_PARAMETER);
  ULONG lower = 0, upper = 0xFFFFFFFF;
  ASSERT_EQ(a.GetSampleRateRange(kOut, &lower, &upper), STATUS_SUCCESS);
  EXPECT_EQ(lower, 44100u);
  EXPECT_EQ(upper, 96000u);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  EXPECT_EQ(StreamCaps(a, kIn, &status), (Caps{10, 24, 32, 44100, 96000}));
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(StreamCaps(a, kOut, &status), (Caps{6, 24, 32, 44100, 96000}));

  ASSERT_EQ(a.SetDeviceSampleRate(88200), STATUS_SUCCESS);
  EXPECT_EQ(h.Device().ClockRate(10), 88200u);
  EXPECT_EQ(a.DeviceSampleRate(), 88200u);
  // A rate the clock does not run at fails, and is remembered all the same.
  EXPECT_EQ(a.SetDeviceSampleRate(12345), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(a.DeviceSampleRate(), 12345u);
  EXPECT_EQ(h.Device().ClockRate(10), 88200u);

  EXPECT_TRUE(a.IsClockStable(kOut));
  h.Device().SetClockValid(10, false);
  EXPECT_FALSE(a.IsClockStable(kIn));
  h.Device().SetClockValid(10, true);
  EXPECT_TRUE(a.IsClockStable(kIn));

  // A clock range that cannot be read leaves the capabilities empty.
  ControlFilter range;
  range.bmRequestType = 0xA1;
  range.bRequest = 2;
  h.Device().StallControl(range);
  status = STATUS_SUCCESS;
  EXPECT_EQ(StreamCaps(a, kOut, &status), (Caps{}));
  EXPECT_FALSE(NT_SUCCESS(status));
}

TEST(SampleRate, Class1RatesComeFromTheFormatTables) {
  AudioHarness h(usbtest::Model("uac1-feedback"), true);
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  CUSBAudioCL& a = h.Audio();
  EXPECT_EQ(a.IsSampleRateSupported(44100), STATUS_SUCCESS);
  EXPECT_EQ(a.IsSampleRateSupported(32000), STATUS_INVALID_PARAMETER);
  const struct {
    ULONG lower, upper, expectLower, expectUpper;
  } kRanges[] = {{0, 0xFFFFFFFF, 44100, 48000}, {45000, 50000, 48000, 48000}, {1, 2, 2, 1}};
  for (const auto& r : kRanges) {
    ULONG lower = r.lower, upper = r.upper;
    EXPECT_EQ(a.GetSampleRateRange(kIn, &lower, &upper), STATUS_SUCCESS);
    EXPECT_EQ(lower, r.expectLower) << r.lower;
    EXPECT_EQ(upper, r.expectUpper) << r.lower;
  }
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  EXPECT_EQ(StreamCaps(a, kIn, &status), (Caps{2, 16, 24, 44100, 48000}));
  EXPECT_EQ(status, STATUS_SUCCESS);
  // Class 1.0 has no device clock to set; the rate goes with each stream.
  EXPECT_EQ(a.SetDeviceSampleRate(44100), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(a.DeviceSampleRate(), 44100u);
  EXPECT_TRUE(a.IsClockStable(kOut));

  // A continuous range offers its two ends.
  AudioHarness adaptive(usbtest::Model("uac1-adaptive"), true);
  ASSERT_EQ(adaptive.AttachStatus(), STATUS_SUCCESS);
  EXPECT_EQ(adaptive.Audio().IsSampleRateSupported(11025), STATUS_SUCCESS);
  EXPECT_EQ(adaptive.Audio().IsSampleRateSupported(96000), STATUS_INVALID_PARAMETER);
  ULONG lower = 8000, upper = 44100;
  EXPECT_EQ(adaptive.Audio().GetSampleRateRange(kOut, &lower, &upper), STATUS_SUCCESS);
  EXPECT_EQ(lower, 8000u);
  EXPECT_EQ(upper, 8000u);
}

TEST(SampleRate, MissingStreamsAndForeignFormatTypes) {
  const std::vector<Uac1Alt> playback = {{2, 2, 16, {48000}}};
  AudioHarness h(Device(Uac1Device(playback, {}), Speed::Full), true);
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  CUSBAudioCL& a = h.Audio();
  // Without capture the playback stream answers.
  EXPECT_EQ(a.IsSampleRateSupported(48000), STATUS_SUCCESS);
  ULONG lower = 0, upper = 0;
  EXPECT_EQ(a.GetSampleRateRange(kIn, &lower, &upper), STATUS_INVALID_PARAMETER);
  NTSTATUS status = STATUS_SUCCESS;
  EXPECT_EQ(StreamCaps(a, kIn, &status), (Caps{}));
  EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(a.GetCurrentAlternate(kIn), 0u);
  EXPECT_EQ(a.NominalFeedback(kIn), 0u);
  ULONG channels = 0, bits = 0;
  EXPECT_EQ(a.GetBestFormat(kIn, 1, 48000, &channels, &bits), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(a.SelectStreamingFormat(kIn, 1, 2, 16, 48000, 8, nullptr, nullptr, nullptr), STATUS_INVALID_PARAMETER);

  // An alternate whose FORMAT_TYPE is not type I spoils the range but not the walk.
  ConfigurationBuilder c = Uac1Device({{2, 2, 16, {48000}}, {2, 2, 16, {44100}}}, {});
  AudioHarness p(Device(c, Speed::Full), false);
  ASSERT_EQ(p.AttachStatus(), STATUS_SUCCESS);
  AltSetting& second = p.Audio().PlaybackStream()->Alternates[2];
  ASSERT_NE(second.FormatType, nullptr);
  // The descriptor copy is the model's own; retype it to type II.
  const_cast<UCHAR*>(second.FormatType)[3] = 2;
  lower = 0;
  upper = 0xFFFFFFFF;
  EXPECT_EQ(p.Audio().GetSampleRateRange(kOut, &lower, &upper), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(lower, 48000u);
  EXPECT_EQ(upper, 48000u);
  EXPECT_EQ(p.Audio().IsSampleRateSupported(44100), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(p.Audio().CheckFormat(kOut, 1, 2, 16, 44100), STATUS_NOT_SUPPORTED);
}

TEST(StreamMode, SentToEveryStreamingInterfaceAndResent) {
  AudioHarness h(usbtest::Model("oxley-10x6"), true);
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  CUSBAudioCL& a = h.Audio();
  EXPECT_EQ(a.GetStreamMode(), 0);
  ASSERT_EQ(a.SetStreamMode(0x0102), STATUS_SUCCESS);
  EXPECT_EQ(h.Device().StreamMode(1), 0x0102);
  EXPECT_EQ(h.Device().StreamMode(2), 0x0102);
  EXPECT_EQ(a.GetStreamMode(), 0x0102);
  h.Spy().Clear();
  ASSERT_EQ(a.ResendStreamMode(), STATUS_SUCCESS);
  EXPECT_EQ(h.Spy().Count(URB_FUNCTION_VENDOR_INTERFACE), 2u);

  // The first refusal ends the walk; what was refused is not remembered.
  ControlFilter vendor;
  vendor.bmRequestType = 0x41;
  vendor.bRequest = 0;
  h.Device().StallControl(vendor);
  EXPECT_FALSE(NT_SUCCESS(a.SetStreamMode(0x0003)));
  EXPECT_EQ(h.Device().StreamMode(1), 0x0102);
  EXPECT_EQ(h.Device().StreamMode(2), 0x0102);
  EXPECT_EQ(a.GetStreamMode(), 0x0102);

  // Another maker's device does not know the request.
  AudioHarness other(usbtest::Model("uac2-implicit"), true);
  ASSERT_EQ(other.AttachStatus(), STATUS_SUCCESS);
  EXPECT_FALSE(NT_SUCCESS(other.Audio().SetStreamMode(1)));
  EXPECT_EQ(other.Audio().GetStreamMode(), 0);
}

}  // namespace
