// The vendor's own devices: the Oxley family (Audio Class 2.0, asynchronous
// with explicit feedback) and the 0x00C7 device with vendor-class interfaces.
#include "sim/usb/device/descriptor_builder.h"
#include "sim/usb/device/model_factories.h"
#include "sim/usb/device/usb_constants.h"

namespace sim::usb::models {

namespace {

constexpr uint16_t kVendor = 0x7F3A;
constexpr uint16_t kUsbStreaming = 0x0101;
constexpr uint16_t kLineConnector = 0x0603;
constexpr uint8_t kClockSourceId = 10;
constexpr uint8_t kClockSelectorId = 11;
// Internal clock whose frequency is programmable; validity read-only.
constexpr uint8_t kInternalProgrammable = 0x03;
constexpr uint8_t kFreqRwValidRo = 0x07;
constexpr uint32_t kMuteVolumeRw = 0x0F;
constexpr uint16_t kConnectorRo = 0x0004;

// wMaxPacketSize for the highest rate at high speed, one packet per
// microframe, plus one frame of slack.
uint16_t HsPacket(uint32_t maxRate, uint32_t bytesPerFrame) {
  return static_cast<uint16_t>((maxRate / 8000 + 1) * bytesPerFrame);
}

std::vector<uint32_t> FeatureControls(uint32_t channels) { return std::vector<uint32_t>(channels + 1, kMuteVolumeRw); }

std::vector<RateRange> OxleyRates() {
  return {{44100, 44100, 0}, {48000, 48000, 0}, {88200, 88200, 0}, {96000, 96000, 0}};
}

DeviceDefinition Oxley(const char* name, uint16_t product, uint8_t in, uint8_t out, const char* productName,
                       const char* serial) {
  DeviceDescriptorFields dev;
  dev.idVendor = kVendor;
  dev.idProduct = product;
  dev.bcdDevice = 0x0112;
  ConfigurationBuilder c(1, 0x80, 250);
  c.InterfaceAssociation(0, 3, kClassAudio, 0x00, kProtocolAudio20)
      .Interface(0, 0, kClassAudio, kSubclassAudioControl, kProtocolAudio20)
      .Ac2Header(0x08 /* I/O box */)
      .Ac2ClockSource(kClockSourceId, kInternalProgrammable, kFreqRwValidRo, 0, 4)
      .Ac2ClockSelector(kClockSelectorId, {kClockSourceId}, 0x03, 5)
      // Playback: USB streaming -> feature unit -> line outputs.
      .Ac2InputTerminal(1, kUsbStreaming, kClockSelectorId, out)
      .Ac2FeatureUnit(2, 1, FeatureControls(out))
      .Ac2OutputTerminal(3, kLineConnector, 2, kClockSelectorId, kConnectorRo)
      // Capture: line inputs -> feature unit -> USB streaming.
      .Ac2InputTerminal(4, kLineConnector, kClockSelectorId, in, kConnectorRo)
      .Ac2FeatureUnit(5, 4, FeatureControls(in))
      .Ac2OutputTerminal(6, kUsbStreaming, 5, kClockSelectorId);
  // Playback interface: 24-bit in 3-byte subslots, or 32-bit in 4.
  c.Interface(1, 0, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20);
  for (uint8_t alt = 1; alt <= 2; ++alt) {
    const uint8_t subslot = alt == 1 ? 3 : 4;
    c.Interface(1, alt, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20)
        .Ac2AsGeneral(1, out)
        .Ac2FormatTypeI(subslot, static_cast<uint8_t>(subslot * 8))
        .Endpoint(0x01, kXferIsochronous | kSyncAsync | kUsageData, HsPacket(96000, out * subslot), 1)
        .Ac2EndpointGeneral()
        .Endpoint(0x81, kXferIsochronous | kSyncNone | kUsageFeedback, 4, 4);
  }
  c.Interface(2, 0, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20);
  for (uint8_t alt = 1; alt <= 2; ++alt) {
    const uint8_t subslot = alt == 1 ? 3 : 4;
    c.Interface(2, alt, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20)
        .Ac2AsGeneral(6, in)
        .Ac2FormatTypeI(subslot, static_cast<uint8_t>(subslot * 8))
        .Endpoint(0x82, kXferIsochronous | kSyncAsync | kUsageData, HsPacket(96000, in * subslot), 1)
        .Ac2EndpointGeneral();
  }
  DeviceDefinition d;
  d.name = name;
  d.speed = Speed::High;
  d.deviceDescriptor = BuildDeviceDescriptor(dev);
  d.configurationDescriptor = c.Build();
  d.strings = {{1, "TRELLAN"}, {2, productName}, {3, serial}, {4, "Internal Clock"}, {5, "Clock Selector"}};
  d.clockRanges = OxleyRates();
  d.initialRate = 48000;
  return d;
}

}  // namespace

DeviceDefinition Oxley10x6() { return Oxley("oxley-10x6", 0x0C62, 10, 6, "Oxley 10x6", "OX10-20260001"); }

DeviceDefinition Oxley2x2() { return Oxley("oxley-2x2", 0x0C61, 2, 2, "Oxley 2x2", "OX02-20260001"); }

DeviceDefinition Vendor00C7() {
  DeviceDescriptorFields dev;
  dev.bDeviceClass = 0;
  dev.bDeviceSubClass = 0;
  dev.bDeviceProtocol = 0;
  dev.idVendor = kVendor;
  dev.idProduct = 0x00C7;
  dev.bcdDevice = 0x0100;
  // The firmware's own clocks for each direction, both programmable.
  constexpr uint8_t kPlayClock = 10;
  constexpr uint8_t kRecClock = 12;
  ConfigurationBuilder c(1, 0x80, 250);
  c.Interface(0, 0, kClassVendor, kSubclassAudioControl, kProtocolAudio20)
      .Ac2Header(0x08)
      .Ac2ClockSource(kPlayClock, kInternalProgrammable, kFreqRwValidRo)
      .Ac2ClockSource(kRecClock, kInternalProgrammable, kFreqRwValidRo)
      .Ac2InputTerminal(1, kUsbStreaming, kPlayClock, 2)
      .Ac2FeatureUnit(2, 1, FeatureControls(2))
      .Ac2OutputTerminal(3, 0x0301 /* speaker */, 2, kPlayClock)
      .Ac2InputTerminal(4, 0x0201 /* microphone */, kRecClock, 2)
      .Ac2OutputTerminal(6, kUsbStreaming, 4, kRecClock);
  // Each playback packet carries a 4-byte length header before the audio.
  c.Interface(1, 0, kClassVendor, kSubclassAudioStreaming, kProtocolAudio20)
      .Interface(1, 1, kClassVendor, kSubclassAudioStreaming, kProtocolAudio20)
      .Ac2AsGeneral(1, 2)
      .Ac2FormatTypeI(3, 24)
      .Endpoint(0x01, kXferIsochronous | kSyncAdaptive | kUsageData, HsPacket(96000, 6) + 4, 1)
      .Ac2EndpointGeneral();
  c.Interface(2, 0, kClassVendor, kSubclassAudioStreaming, kProtocolAudio20)
      .Interface(2, 1, kClassVendor, kSubclassAudioStreaming, kProtocolAudio20)
      .Ac2AsGeneral(6, 2)
      .Ac2FormatTypeI(3, 24)
      .Endpoint(0x82, kXferIsochronous | kSyncAsync | kUsageData, HsPacket(96000, 6), 1)
      .Ac2EndpointGeneral();
  DeviceDefinition d;
  d.name = "vendor-00c7";
  d.speed = Speed::High;
  d.deviceDescriptor = BuildDeviceDescriptor(dev);
  d.configurationDescriptor = c.Build();
  d.strings = {{1, "TRELLAN"}, {2, "USB Audio 00C7"}, {3, "C7-0000451"}};
  d.clockRanges = OxleyRates();
  d.initialRate = 48000;
  d.playbackLengthHeader = true;
  return d;
}

}  // namespace sim::usb::models
