// Standard requests, the Audio Class 1.0 and 2.0 class requests and the vendor
// stream-mode request, answered as a real device would (stalls included).
#include <gtest/gtest.h>

#include "device_host.h"
#include "sim/usb/device/device_models.h"

namespace sim::usb {
namespace {

using testing::DeviceHost;

constexpr uint8_t kCur = 0x01;
constexpr uint8_t kRange = 0x02;
// Entity IDs of the Oxley models.
constexpr uint8_t kClock = 10;
constexpr uint8_t kSelector = 11;
constexpr uint8_t kPlayFeature = 2;
constexpr uint8_t kLineOut = 3;
constexpr uint8_t kLineIn = 4;

struct Configured {
  explicit Configured(const char* model) : dev(CreateModel(model)), host(*dev) {
    EXPECT_EQ(host.SetConfiguration(1), XferResult::Ok);
  }
  std::unique_ptr<UsbAudioDevice> dev;
  DeviceHost host;
};

TEST(StandardRequests, ConfigurationAndInterfaces) {
  auto dev = CreateModel("oxley-10x6");
  DeviceHost host(*dev);
  auto d = host.In(0x80, 0x06, 0x0100, 0, 8);
  EXPECT_EQ(d.data.size(), 8u);  // a short first read, as hosts do
  EXPECT_EQ(host.In(0x80, 0x06, 0x0200, 0, 9).data[2] | host.In(0x80, 0x06, 0x0200, 0, 9).data[3] << 8,
            static_cast<int>(dev->ConfigurationDescriptor().size()));
  EXPECT_EQ(host.In(0x80, 0x06, 0x0201, 0, 9).result, XferResult::Stall);  // one configuration only
  // Not configured yet: interfaces and class requests are refused.
  EXPECT_EQ(host.SetInterface(1, 1), XferResult::Stall);
  EXPECT_EQ(host.Ac2Get(kCur, 0x01, 0, kClock, 4).result, XferResult::Stall);
  EXPECT_EQ(host.SetConfiguration(2), XferResult::Stall);
  ASSERT_EQ(host.SetConfiguration(1), XferResult::Ok);
  EXPECT_EQ(host.In(0x80, 0x08, 0, 0, 1).data, std::vector<uint8_t>{1});
  EXPECT_EQ(host.SetInterface(1, 2), XferResult::Ok);
  EXPECT_EQ(host.In(0x81, 0x0A, 0, 1, 1).data, std::vector<uint8_t>{2});
  EXPECT_EQ(dev->CurrentAlternate(1), 2);
  EXPECT_EQ(host.SetInterface(1, 3), XferResult::Stall);
  EXPECT_EQ(host.SetInterface(9, 0), XferResult::Stall);
  // SET_CONFIGURATION again puts every interface back to alternate 0.
  ASSERT_EQ(host.SetConfiguration(1), XferResult::Ok);
  EXPECT_EQ(dev->CurrentAlternate(1), 0);
  EXPECT_EQ(host.SetConfiguration(0), XferResult::Ok);
  EXPECT_EQ(dev->CurrentConfiguration(), 0);
}

TEST(StandardRequests, StatusHaltAndQualifier) {
  Configured c("oxley-2x2");
  DeviceHost& host = c.host;
  EXPECT_EQ(host.In(0x80, 0x00, 0, 0, 2).data, (std::vector<uint8_t>{0, 0}));  // bus powered
  // Endpoint 0x82 exists only in alternate settings 1 and 2.
  EXPECT_EQ(host.Out(0x02, 0x03, 0, 0x82), XferResult::Stall);
  ASSERT_EQ(host.SetInterface(2, 1), XferResult::Ok);
  ASSERT_EQ(host.Out(0x02, 0x03, 0, 0x82), XferResult::Ok);  // SET_FEATURE(ENDPOINT_HALT)
  EXPECT_EQ(host.In(0x82, 0x00, 0, 0x82, 2).data, (std::vector<uint8_t>{1, 0}));
  host.Tick();
  XferResult r;
  host.In(0x82, 512, &r);
  EXPECT_EQ(r, XferResult::Stall);
  ASSERT_EQ(host.Out(0x02, 0x01, 0, 0x82), XferResult::Ok);  // CLEAR_FEATURE(ENDPOINT_HALT)
  host.Tick();
  host.In(0x82, 512, &r);
  EXPECT_EQ(r, XferResult::Ok);
  EXPECT_EQ(host.In(0x80, 0x06, 0x0600, 0, 10).data.size(), 10u);  // high speed: qualifier
  Configured fs("uac1-feedback");
  EXPECT_EQ(fs.host.In(0x80, 0x06, 0x0600, 0, 10).result, XferResult::Stall);
}

TEST(Audio20Requests, ClockSourceFrequency) {
  Configured c("oxley-10x6");
  DeviceHost& host = c.host;
  auto cur = host.Ac2Get(kCur, 0x01, 0, kClock, 4);
  ASSERT_EQ(cur.result, XferResult::Ok);
  EXPECT_EQ(Le32(cur.data.data()), 48000u);
  // RANGE: a 2-byte read gives the count, then the whole list.
  auto count = host.Ac2Get(kRange, 0x01, 0, kClock, 2);
  ASSERT_EQ(count.data.size(), 2u);
  EXPECT_EQ(Le16(count.data.data()), 4);
  auto range = host.Ac2Get(kRange, 0x01, 0, kClock, 2 + 12 * 4);
  ASSERT_EQ(range.data.size(), 50u);
  const uint32_t expected[] = {44100, 48000, 88200, 96000};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(Le32(&range.data[2 + 12 * i]), expected[i]);
    EXPECT_EQ(Le32(&range.data[6 + 12 * i]), expected[i]);
    EXPECT_EQ(Le32(&range.data[10 + 12 * i]), 0u);
  }
  EXPECT_EQ(host.Ac2Get(kRange, 0x01, 0, kClock, 16).data.size(), 16u);
  ASSERT_EQ(host.SetRate2(kClock, 96000), XferResult::Ok);
  EXPECT_EQ(c.dev->ClockRate(kClock), 96000u);
  EXPECT_EQ(c.dev->ClockRate(kSelector), 96000u);  // the selector follows its input
  EXPECT_EQ(host.SetRate2(kClock, 32000), XferResult::Stall);
  EXPECT_EQ(host.SetRate2(kClock, 96001), XferResult::Stall);
  EXPECT_EQ(c.dev->ClockRate(kClock), 96000u);
  // Wrong lengths, channels and requests are stalled.
  EXPECT_EQ(host.Ac2Get(kCur, 0x01, 0, kClock, 3).result, XferResult::Stall);
  EXPECT_EQ(host.Ac2Get(kCur, 0x01, 1, kClock, 4).result, XferResult::Stall);
  EXPECT_EQ(host.Ac2Get(0x03, 0x01, 0, kClock, 4).result, XferResult::Stall);
  EXPECT_EQ(host.Ac2Get(kCur, 0x01, 0, 99, 4).result, XferResult::Stall);
  // The request must name the audio-control interface.
  EXPECT_EQ(host.In(0xA1, kCur, 0x0100, kClock << 8 | 1, 4).result, XferResult::Stall);
}

TEST(Audio20Requests, ClockValiditySelectorAndRates) {
  Configured c("oxley-10x6");
  DeviceHost& host = c.host;
  EXPECT_EQ(host.Ac2Get(kCur, 0x02, 0, kClock, 1).data, std::vector<uint8_t>{1});
  c.dev->SetClockValid(kClock, false);
  EXPECT_EQ(host.Ac2Get(kCur, 0x02, 0, kClock, 1).data, std::vector<uint8_t>{0});
  EXPECT_EQ(host.Ac2Set(0x02, 0, kClock, {1}), XferResult::Stall);  // validity is read-only
  EXPECT_EQ(host.Ac2Get(kCur, 0x01, 0, kSelector, 1).data, std::vector<uint8_t>{1});
  EXPECT_EQ(host.Ac2Set(0x01, 0, kSelector, {1}), XferResult::Ok);
  EXPECT_EQ(host.Ac2Set(0x01, 0, kSelector, {2}), XferResult::Stall);  // one input only
  EXPECT_EQ(host.Ac2Get(kRange, 0x01, 0, kSelector, 2).result, XferResult::Stall);
  // A clock whose frequency control is read-only refuses a new rate.
  DeviceDefinition def = *ModelDefinition("uac2-implicit");
  auto& cfg = def.configurationDescriptor;
  for (size_t i = 0; i + 8 <= cfg.size(); i += cfg[i]) {
    if (cfg[i + 1] == 0x24 && cfg[i + 2] == 0x0A) cfg[i + 5] = 0x05;
  }
  UsbAudioDevice fixed(def);
  DeviceHost fh(fixed);
  fh.SetConfiguration(1);
  EXPECT_EQ(fh.SetRate2(8, 96000), XferResult::Stall);
  EXPECT_EQ(Le32(fh.Ac2Get(kCur, 0x01, 0, 8, 4).data.data()), 48000u);
  Configured imp("uac2-implicit");
  EXPECT_EQ(imp.host.SetRate2(8, 96000), XferResult::Ok);
}

TEST(Audio20Requests, FeatureUnitMuteAndVolume) {
  Configured c("oxley-10x6");
  DeviceHost& host = c.host;
  EXPECT_EQ(host.Ac2Get(kCur, 0x01, 3, kPlayFeature, 1).data, std::vector<uint8_t>{0});
  ASSERT_EQ(host.Ac2Set(0x01, 3, kPlayFeature, {1}), XferResult::Ok);
  EXPECT_TRUE(c.dev->Mute(kPlayFeature, 3));
  EXPECT_EQ(host.Ac2Get(kCur, 0x01, 3, kPlayFeature, 1).data, std::vector<uint8_t>{1});
  auto range = host.Ac2Get(kRange, 0x02, 0, kPlayFeature, 8);
  ASSERT_EQ(range.data.size(), 8u);
  EXPECT_EQ(Le16(&range.data[0]), 1);
  EXPECT_EQ(static_cast<int16_t>(Le16(&range.data[2])), kVolumeMin);
  EXPECT_EQ(static_cast<int16_t>(Le16(&range.data[4])), kVolumeMax);
  EXPECT_EQ(static_cast<int16_t>(Le16(&range.data[6])), kVolumeRes);
  ASSERT_EQ(host.Ac2Set(0x02, 1, kPlayFeature, {0x00, 0xF6}), XferResult::Ok);  // -10 dB
  EXPECT_EQ(c.dev->Volume(kPlayFeature, 1), -10 * 256);
  EXPECT_EQ(host.Ac2Get(kCur, 0x02, 1, kPlayFeature, 2).data, (std::vector<uint8_t>{0x00, 0xF6}));
  EXPECT_EQ(host.Ac2Get(kRange, 0x01, 0, kPlayFeature, 8).result, XferResult::Stall);  // mute has no RANGE
  EXPECT_EQ(host.Ac2Get(kCur, 0x02, 7, kPlayFeature, 2).result, XferResult::Stall);    // 6 channels
  EXPECT_EQ(host.Ac2Set(0x02, 1, kPlayFeature, {0x00}), XferResult::Stall);
  // The implicit model's channels have volume only, the master mute only.
  Configured imp("uac2-implicit");
  EXPECT_EQ(imp.host.Ac2Get(kCur, 0x01, 1, 2, 1).result, XferResult::Stall);
  EXPECT_EQ(imp.host.Ac2Get(kCur, 0x01, 0, 2, 1).result, XferResult::Ok);
}

TEST(Audio20Requests, TerminalConnector) {
  Configured c("oxley-10x6");
  DeviceHost& host = c.host;
  auto in = host.Ac2Get(kCur, 0x02, 0, kLineIn, 6);
  ASSERT_EQ(in.result, XferResult::Ok);
  EXPECT_EQ(in.data[0], 10);
  auto out = host.Ac2Get(kCur, 0x02, 0, kLineOut, 6);
  EXPECT_EQ(out.data[0], 6);  // the channels that reach the output terminal
  c.dev->SetConnectorConnected(kLineOut, false);
  EXPECT_EQ(host.Ac2Get(kCur, 0x02, 0, kLineOut, 6).data[0], 0);
  EXPECT_EQ(host.Ac2Get(kCur, 0x02, 0, 1, 6).result, XferResult::Stall);  // streaming terminal: no connector
  EXPECT_EQ(host.Ac2Get(kCur, 0x02, 0, kLineIn, 1).result, XferResult::Stall);
}

TEST(Audio10Requests, EndpointSamplingFrequency) {
  Configured c("uac1-feedback");
  DeviceHost& host = c.host;
  ASSERT_EQ(host.SetInterface(1, 1), XferResult::Ok);
  ASSERT_EQ(host.Out(0x22, 0x01, 0x0100, 0x01, {0x44, 0xAC, 0x00}), XferResult::Ok);  // 44100
  EXPECT_EQ(c.dev->EndpointRate(0x01), 44100u);
  EXPECT_EQ(host.In(0xA2, 0x81, 0x0100, 0x01, 3).data, (std::vector<uint8_t>{0x44, 0xAC, 0x00}));
  EXPECT_EQ(c.dev->Streams()[0].rate, 44100u);
  EXPECT_EQ(host.Out(0x22, 0x01, 0x0100, 0x01, {0x00, 0x7D, 0x00}), XferResult::Stall);  // 32000
  EXPECT_EQ(host.Out(0x22, 0x01, 0x0200, 0x01, {0x44, 0xAC, 0x00}), XferResult::Stall);  // pitch
  EXPECT_EQ(host.Out(0x22, 0x01, 0x0100, 0x01, {0x44, 0xAC}), XferResult::Stall);
  EXPECT_EQ(host.Out(0x22, 0x01, 0x0100, 0x05, {0x44, 0xAC, 0x00}), XferResult::Stall);  // no such endpoint
  EXPECT_EQ(Le24(host.In(0xA2, 0x82, 0x0100, 0x82, 3).data.data()), 44100u);
  EXPECT_EQ(Le24(host.In(0xA2, 0x83, 0x0100, 0x82, 3).data.data()), 48000u);
  // A continuous range takes any rate inside it.
  Configured a("uac1-adaptive");
  EXPECT_EQ(a.host.Out(0x22, 0x01, 0x0100, 0x01, {0x39, 0x30, 0x00}), XferResult::Ok);  // 12345
  EXPECT_EQ(a.host.Out(0x22, 0x01, 0x0100, 0x01, {0x50, 0xC3, 0x00}), XferResult::Stall);  // 50000
  // 2.0 devices have no such endpoint control.
  Configured ox("oxley-2x2");
  EXPECT_EQ(ox.host.In(0xA2, 0x81, 0x0100, 0x82, 3).result, XferResult::Stall);
}

TEST(Audio10Requests, FeatureUnit) {
  Configured c("uac1-feedback");
  DeviceHost& host = c.host;
  const uint16_t fu = 2 << 8;
  EXPECT_EQ(host.In(0xA1, 0x81, 0x0100, fu, 1).data, std::vector<uint8_t>{0});
  ASSERT_EQ(host.Out(0x21, 0x01, 0x0100, fu, {1}), XferResult::Ok);
  EXPECT_TRUE(c.dev->Mute(2, 0));
  EXPECT_EQ(host.In(0xA1, 0x81, 0x0101, fu, 1).result, XferResult::Stall);  // channel 1 has no mute
  EXPECT_EQ(host.In(0xA1, 0x82, 0x0100, fu, 1).result, XferResult::Stall);  // mute has no MIN
  EXPECT_EQ(static_cast<int16_t>(Le16(host.In(0xA1, 0x82, 0x0201, fu, 2).data.data())), kVolumeMin);
  EXPECT_EQ(static_cast<int16_t>(Le16(host.In(0xA1, 0x83, 0x0201, fu, 2).data.data())), kVolumeMax);
  EXPECT_EQ(static_cast<int16_t>(Le16(host.In(0xA1, 0x84, 0x0201, fu, 2).data.data())), kVolumeRes);
  // Out-of-range volumes are clamped, like most devices do.
  ASSERT_EQ(host.Out(0x21, 0x01, 0x0201, fu, {0x00, 0x10}), XferResult::Ok);
  EXPECT_EQ(c.dev->Volume(2, 1), kVolumeMax);
  ASSERT_EQ(host.Out(0x21, 0x01, 0x0202, fu, {0x00, 0x80}), XferResult::Ok);
  EXPECT_EQ(c.dev->Volume(2, 2), kVolumeMin);
  EXPECT_EQ(host.Out(0x21, 0x02, 0x0201, fu, {0, 0}), XferResult::Stall);  // SET_MIN
  EXPECT_EQ(host.In(0xA1, 0x81, 0x0100, 3 << 8, 1).result, XferResult::Stall);  // a terminal
}

TEST(VendorRequests, StreamModeOnlyOnTheVendorsDevices) {
  Configured ox("oxley-10x6");
  EXPECT_EQ(ox.host.Out(0x41, 0, 3, 1), XferResult::Ok);
  EXPECT_EQ(ox.host.Out(0x41, 0, 5, 2), XferResult::Ok);
  EXPECT_EQ(ox.dev->StreamMode(1), 3);
  EXPECT_EQ(ox.dev->StreamMode(2), 5);
  EXPECT_EQ(ox.host.Out(0x41, 0, 3, 7), XferResult::Stall);       // no interface 7
  EXPECT_EQ(ox.host.Out(0x41, 0, 3, 1, {0}), XferResult::Stall);  // carries no data
  EXPECT_EQ(ox.host.Out(0x41, 1, 3, 1), XferResult::Stall);
  Configured vc("vendor-00c7");
  EXPECT_EQ(vc.host.Out(0x41, 0, 1, 1), XferResult::Ok);
  Configured other("uac2-implicit");
  EXPECT_EQ(other.host.Out(0x41, 0, 3, 1), XferResult::Stall);
}

}  // namespace
}  // namespace sim::usb
