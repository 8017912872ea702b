// Generic Audio Class devices of other makers: an implicit-feedback 2.0
// device, a 2.0 device with a clock per direction and explicit feedback, and
// two full-speed 1.0 devices (asynchronous with feedback, adaptive).
#include "sim/usb/device/descriptor_builder.h"
#include "sim/usb/device/model_factories.h"
#include "sim/usb/device/usb_constants.h"

namespace sim::usb::models {

namespace {

constexpr uint16_t kVendor = 0x7F3B;
constexpr uint16_t kUsbStreaming = 0x0101;
constexpr uint16_t kSpeaker = 0x0301;
constexpr uint16_t kMicrophone = 0x0201;

DeviceDescriptorFields FullSpeedDevice(uint16_t product) {
  DeviceDescriptorFields dev;
  dev.bcdUSB = 0x0110;
  dev.bDeviceClass = 0;
  dev.bDeviceSubClass = 0;
  dev.bDeviceProtocol = 0;
  dev.bMaxPacketSize0 = 16;
  dev.idVendor = kVendor;
  dev.idProduct = product;
  return dev;
}

// Audio-control part of the 1.0 devices: stereo playback and capture with a
// feature unit (mute on the master channel, volume everywhere) on each path.
void Ac1Function(ConfigurationBuilder& c) {
  c.Interface(0, 0, kClassAudio, kSubclassAudioControl, 0)
      .Ac1Header({1, 2})
      .Ac1InputTerminal(1, kUsbStreaming, 2, 0x0003)
      .Ac1FeatureUnit(2, 1, 1, {0x03, 0x02, 0x02})
      .Ac1OutputTerminal(3, kSpeaker, 2)
      .Ac1InputTerminal(4, kMicrophone, 2, 0x0003)
      .Ac1FeatureUnit(5, 4, 1, {0x03, 0x02, 0x02})
      .Ac1OutputTerminal(6, kUsbStreaming, 5);
}

}  // namespace

DeviceDefinition Uac2Implicit() {
  DeviceDescriptorFields dev;
  dev.idVendor = kVendor;
  dev.idProduct = 0x0201;
  constexpr uint8_t kClock = 8;
  ConfigurationBuilder c(1, 0x80, 100);
  c.InterfaceAssociation(0, 3, kClassAudio, 0x00, kProtocolAudio20)
      .Interface(0, 0, kClassAudio, kSubclassAudioControl, kProtocolAudio20)
      .Ac2Header(0x0A /* pro audio */)
      .Ac2ClockSource(kClock, 0x03 /* internal, programmable */, 0x07)
      .Ac2InputTerminal(1, kUsbStreaming, kClock, 2)
      .Ac2FeatureUnit(2, 1, {0x0F, 0x0C, 0x0C})
      .Ac2OutputTerminal(3, kSpeaker, 2, kClock)
      .Ac2InputTerminal(4, kMicrophone, kClock, 2)
      .Ac2OutputTerminal(5, kUsbStreaming, 4, kClock);
  // Playback runs synchronous to the capture endpoint, whose packet sizes
  // the host copies (implicit feedback).
  c.Interface(1, 0, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20);
  for (uint8_t alt = 1; alt <= 2; ++alt) {
    const uint8_t subslot = alt == 1 ? 3 : 2;
    c.Interface(1, alt, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20)
        .Ac2AsGeneral(1, 2)
        .Ac2FormatTypeI(subslot, static_cast<uint8_t>(subslot * 8))
        .Endpoint(0x01, kXferIsochronous | kSyncSync | kUsageData, static_cast<uint16_t>(25 * 2 * subslot), 1)
        .Ac2EndpointGeneral();
  }
  c.Interface(2, 0, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20);
  for (uint8_t alt = 1; alt <= 2; ++alt) {
    const uint8_t subslot = alt == 1 ? 3 : 2;
    c.Interface(2, alt, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20)
        .Ac2AsGeneral(5, 2)
        .Ac2FormatTypeI(subslot, static_cast<uint8_t>(subslot * 8))
        .Endpoint(0x82, kXferIsochronous | kSyncAsync | kUsageImplicitFeedback,
                  static_cast<uint16_t>(25 * 2 * subslot), 1)
        .Ac2EndpointGeneral();
  }
  DeviceDefinition d;
  d.name = "uac2-implicit";
  d.speed = Speed::High;
  d.deviceDescriptor = BuildDeviceDescriptor(dev);
  d.configurationDescriptor = c.Build();
  d.strings = {{1, "Simulated Audio"}, {2, "Implicit Feedback 2x2"}, {3, "IMP-000201"}};
  d.clockRanges = {{44100, 44100, 0}, {48000, 48000, 0}, {88200, 88200, 0}, {96000, 96000, 0},
                   {176400, 176400, 0}, {192000, 192000, 0}};
  d.initialRate = 48000;
  return d;
}

DeviceDefinition Uac2Feedback() {
  DeviceDescriptorFields dev;
  dev.idVendor = kVendor;
  dev.idProduct = 0x0202;
  // One clock per direction: playback cannot follow capture, so the host
  // sizes its packets from the feedback endpoint.
  constexpr uint8_t kPlayClock = 8;
  constexpr uint8_t kRecClock = 9;
  ConfigurationBuilder c(1, 0x80, 100);
  c.InterfaceAssociation(0, 3, kClassAudio, 0x00, kProtocolAudio20)
      .Interface(0, 0, kClassAudio, kSubclassAudioControl, kProtocolAudio20)
      .Ac2Header(0x0A /* pro audio */)
      .Ac2ClockSource(kPlayClock, 0x03 /* internal, programmable */, 0x07)
      .Ac2ClockSource(kRecClock, 0x03, 0x07)
      .Ac2InputTerminal(1, kUsbStreaming, kPlayClock, 2)
      .Ac2FeatureUnit(2, 1, {0x0F, 0x0C, 0x0C})
      .Ac2OutputTerminal(3, kSpeaker, 2, kPlayClock)
      .Ac2InputTerminal(4, kMicrophone, kRecClock, 2)
      .Ac2OutputTerminal(5, kUsbStreaming, 4, kRecClock);
  c.Interface(1, 0, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20);
  for (uint8_t alt = 1; alt <= 2; ++alt) {
    const uint8_t subslot = alt == 1 ? 4 : 2;
    c.Interface(1, alt, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20)
        .Ac2AsGeneral(1, 2)
        .Ac2FormatTypeI(subslot, static_cast<uint8_t>(subslot == 4 ? 24 : 16))
        .Endpoint(0x01, kXferIsochronous | kSyncAsync | kUsageData, static_cast<uint16_t>(25 * 2 * subslot), 1)
        .Ac2EndpointGeneral()
        .Endpoint(0x81, kXferIsochronous | kSyncNone | kUsageFeedback, 4, 4);
  }
  c.Interface(2, 0, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20);
  for (uint8_t alt = 1; alt <= 2; ++alt) {
    const uint8_t subslot = alt == 1 ? 4 : 2;
    c.Interface(2, alt, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20)
        .Ac2AsGeneral(5, 2)
        .Ac2FormatTypeI(subslot, static_cast<uint8_t>(subslot == 4 ? 24 : 16))
        .Endpoint(0x82, kXferIsochronous | kSyncAsync | kUsageData, static_cast<uint16_t>(25 * 2 * subslot), 1)
        .Ac2EndpointGeneral();
  }
  DeviceDefinition d;
  d.name = "uac2-feedback";
  d.speed = Speed::High;
  d.deviceDescriptor = BuildDeviceDescriptor(dev);
  d.configurationDescriptor = c.Build();
  d.strings = {{1, "Simulated Audio"}, {2, "Explicit Feedback 2x2"}, {3, "FB2-000202"}};
  d.clockRanges = {{44100, 44100, 0}, {48000, 48000, 0}, {88200, 88200, 0}, {96000, 96000, 0}};
  d.initialRate = 48000;
  return d;
}

DeviceDefinition Uac1Feedback() {
  ConfigurationBuilder c(1, 0x80, 50);
  Ac1Function(c);
  // Playback: asynchronous; its feedback endpoint 0x81 (10.14, refreshed every
  // 2^2 ms) is named by bSynchAddress.
  c.Interface(1, 0, kClassAudio, kSubclassAudioStreaming, 0);
  for (uint8_t alt = 1; alt <= 2; ++alt) {
    const uint8_t subframe = alt == 1 ? 2 : 3;
    c.Interface(1, alt, kClassAudio, kSubclassAudioStreaming, 0)
        .Ac1AsGeneral(1, 1, 0x0001)
        .Ac1FormatTypeI(2, subframe, static_cast<uint8_t>(subframe * 8), {44100, 48000})
        .AudioEndpoint(0x01, kXferIsochronous | kSyncAsync, static_cast<uint16_t>(49 * 2 * subframe), 1, 0, 0x81)
        .Ac1EndpointGeneral(0x01 /* sampling frequency control */)
        .AudioEndpoint(0x81, kXferIsochronous | kSyncNone, 3, 1, 2, 0);
  }
  c.Interface(2, 0, kClassAudio, kSubclassAudioStreaming, 0);
  for (uint8_t alt = 1; alt <= 2; ++alt) {
    const uint8_t subframe = alt == 1 ? 2 : 3;
    c.Interface(2, alt, kClassAudio, kSubclassAudioStreaming, 0)
        .Ac1AsGeneral(6, 1, 0x0001)
        .Ac1FormatTypeI(2, subframe, static_cast<uint8_t>(subframe * 8), {44100, 48000})
        .AudioEndpoint(0x82, kXferIsochronous | kSyncAsync, static_cast<uint16_t>(49 * 2 * subframe), 1, 0, 0)
        .Ac1EndpointGeneral(0x01);
  }
  DeviceDefinition d;
  d.name = "uac1-feedback";
  d.speed = Speed::Full;
  d.deviceDescriptor = BuildDeviceDescriptor(FullSpeedDevice(0x0101));
  d.configurationDescriptor = c.Build();
  d.strings = {{1, "Simulated Audio"}, {2, "USB Audio 1.0 Feedback"}, {3, "FB1-000101"}};
  d.initialRate = 48000;
  return d;
}

DeviceDefinition Uac1Adaptive() {
  ConfigurationBuilder c(1, 0x80, 50);
  Ac1Function(c);
  c.Interface(1, 0, kClassAudio, kSubclassAudioStreaming, 0)
      .Interface(1, 1, kClassAudio, kSubclassAudioStreaming, 0)
      .Ac1AsGeneral(1, 1, 0x0001)
      .Ac1FormatTypeIContinuous(2, 2, 16, 8000, 48000)
      .AudioEndpoint(0x01, kXferIsochronous | kSyncAdaptive, 49 * 4, 1, 0, 0)
      .Ac1EndpointGeneral(0x01);
  c.Interface(2, 0, kClassAudio, kSubclassAudioStreaming, 0)
      .Interface(2, 1, kClassAudio, kSubclassAudioStreaming, 0)
      .Ac1AsGeneral(6, 1, 0x0001)
      .Ac1FormatTypeIContinuous(2, 2, 16, 8000, 48000)
      .AudioEndpoint(0x82, kXferIsochronous | kSyncAsync, 49 * 4, 1, 0, 0)
      .Ac1EndpointGeneral(0x01);
  DeviceDefinition d;
  d.name = "uac1-adaptive";
  d.speed = Speed::Full;
  d.deviceDescriptor = BuildDeviceDescriptor(FullSpeedDevice(0x0102));
  d.configurationDescriptor = c.Build();
  d.strings = {{1, "Simulated Audio"}, {2, "USB Audio 1.0 Adaptive"}, {3, "AD1-000102"}};
  d.initialRate = 48000;
  return d;
}

}  // namespace sim::usb::models
