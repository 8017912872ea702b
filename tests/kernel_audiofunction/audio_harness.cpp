#include "audio_harness.h"

#include <gtest/gtest.h>

#include <cstring>

#include "sim/usb/device/usb_constants.h"

namespace audiotest {

using namespace sim::usb;

namespace {

usbtest::Options NoAttach() {
  usbtest::Options options;
  options.attach = false;
  return options;
}

}  // namespace

AudioHarness::AudioHarness(std::unique_ptr<UsbAudioDevice> device, bool configure)
    : usb_(std::move(device), NoAttach()) {
  audio_ = new (NonPagedPoolNx, kPoolTagDriver) RecordingAudioCL();
  if (audio_ == nullptr || usb_.Lower() == nullptr) {
    ADD_FAILURE() << "no audio function";
    return;
  }
  attachStatus_ = audio_->Attach(usb_.Lower(), 24);
  if (configure && NT_SUCCESS(attachStatus_)) {
    EXPECT_EQ(audio_->Configure(), STATUS_SUCCESS);
  }
}

AudioHarness::~AudioHarness() {
  usb_.SpyFilter().SetAnswer(nullptr);
  delete audio_;
}

NTSTATUS RecordingAudioCL::CheckCompletedTransfer(NTSTATUS Status, PURB Urb, TransferContext* Context) {
  const NTSTATUS status = CUSBAudioCL::CheckCompletedTransfer(Status, Urb, Context);
  if (Urb != nullptr && Urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER &&
      (Urb->UrbIsochronousTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0) {
    CheckedTransfer t;
    t.status = status;
    t.transferLength = Urb->UrbIsochronousTransfer.TransferBufferLength;
    for (ULONG i = 0; i < Urb->UrbIsochronousTransfer.NumberOfPackets; ++i) {
      t.packetLengths.push_back(Urb->UrbIsochronousTransfer.IsoPacket[i].Length);
    }
    last_ = t;
  }
  return status;
}

std::vector<uint8_t> AudioDeviceDescriptor(uint16_t vendor, uint16_t product, uint16_t bcdUSB) {
  DeviceDescriptorFields f;
  f.bcdUSB = bcdUSB;
  f.idVendor = vendor;
  f.idProduct = product;
  return BuildDeviceDescriptor(f);
}

std::unique_ptr<UsbAudioDevice> Device(const ConfigurationBuilder& config, Speed speed, uint16_t vendor,
                                       uint16_t product, std::vector<RateRange> ranges) {
  DeviceDefinition d;
  d.name = "test";
  d.speed = speed;
  d.deviceDescriptor = AudioDeviceDescriptor(vendor, product, speed == Speed::High ? 0x0200 : 0x0110);
  d.configurationDescriptor = config.Build();
  d.strings = {{1, "Maker"}, {2, "Product"}, {3, "SN-8"}};
  d.clockRanges = std::move(ranges);
  return std::make_unique<UsbAudioDevice>(std::move(d));
}

ConfigurationBuilder Uac2Stereo(uint8_t clockControls, bool feedback, uint8_t dataInterval) {
  ConfigurationBuilder c(1, 0x80, 100);
  c.InterfaceAssociation(0, 3, kClassAudio, 0, kProtocolAudio20)
      .Interface(0, 0, kClassAudio, kSubclassAudioControl, kProtocolAudio20)
      .Ac2Header(0x08)
      .Ac2ClockSource(10, 0x03, clockControls)
      .Ac2InputTerminal(1, 0x0101, 10, 2)
      .Ac2FeatureUnit(2, 1, {0x0F, 0x0F, 0x0F})
      .Ac2OutputTerminal(3, 0x0301, 2, 10, 0x0004)
      .Ac2InputTerminal(4, 0x0201, 10, 2, 0x0004)
      .Ac2OutputTerminal(6, 0x0101, 4, 10);
  c.Interface(1, 0, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20);
  for (uint8_t alt = 1; alt <= 2; ++alt) {
    const uint8_t subslot = alt == 1 ? 3 : 2;
    c.Interface(1, alt, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20)
        .Ac2AsGeneral(1, 2)
        .Ac2FormatTypeI(subslot, static_cast<uint8_t>(subslot * 8))
        .Endpoint(0x01, kXferIsochronous | (feedback ? kSyncAsync : kSyncAdaptive) | kUsageData,
                  static_cast<uint16_t>(13 * 2 * subslot), dataInterval)
        .Ac2EndpointGeneral();
    if (feedback) {
      c.Endpoint(0x81, kXferIsochronous | kUsageFeedback, 4, 4);
    }
  }
  c.Interface(2, 0, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20);
  for (uint8_t alt = 1; alt <= 2; ++alt) {
    const uint8_t subslot = alt == 1 ? 3 : 2;
    c.Interface(2, alt, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20)
        .Ac2AsGeneral(6, 2)
        .Ac2FormatTypeI(subslot, static_cast<uint8_t>(subslot * 8))
        .Endpoint(0x82, kXferIsochronous | kSyncAsync | kUsageData, static_cast<uint16_t>(13 * 2 * subslot),
                  dataInterval)
        .Ac2EndpointGeneral();
  }
  return c;
}

ConfigurationBuilder Uac2Control() {
  ConfigurationBuilder c;
  c.Interface(0, 0, kClassAudio, kSubclassAudioControl, kProtocolAudio20)
      .Ac2Header(0x08)
      .Ac2ClockSource(10, 0x03, 0x07)
      .Ac2InputTerminal(1, 0x0101, 10, 2)
      .Ac2OutputTerminal(3, 0x0301, 1, 10)
      .Ac2InputTerminal(4, 0x0201, 10, 2)
      .Ac2OutputTerminal(6, 0x0101, 4, 10);
  return c;
}

ConfigurationBuilder Uac1Control() {
  ConfigurationBuilder c;
  c.Interface(0, 0, kClassAudio, kSubclassAudioControl, 0)
      .Ac1Header({1})
      .Ac1InputTerminal(1, 0x0101, 2)
      .Ac1OutputTerminal(3, 0x0301, 1);
  return c;
}

void Uac2Playback(ConfigurationBuilder& c, uint8_t number, uint8_t endpoint, uint8_t link) {
  c.Interface(number, 0, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20)
      .Interface(number, 1, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20)
      .Ac2AsGeneral(link, 2)
      .Ac2FormatTypeI(3, 24)
      .Endpoint(endpoint, kXferIsochronous | kSyncAdaptive, 78, 1)
      .Ac2EndpointGeneral();
}

ConfigurationBuilder Uac1Stereo(uint8_t refresh, bool capture) {
  ConfigurationBuilder c(1, 0x80, 100);
  c.Interface(0, 0, kClassAudio, kSubclassAudioControl, 0);
  if (capture) {
    c.Ac1Header({1, 2});
  } else {
    c.Ac1Header({1});
  }
  c.Ac1InputTerminal(1, 0x0101, 2).Ac1FeatureUnit(2, 1, 1, {0x03, 0x00, 0x00}).Ac1OutputTerminal(3, 0x0301, 2);
  if (capture) {
    c.Ac1InputTerminal(4, 0x0201, 2).Ac1OutputTerminal(5, 0x0101, 4);
  }
  c.Interface(1, 0, kClassAudio, kSubclassAudioStreaming, 0)
      .Interface(1, 1, kClassAudio, kSubclassAudioStreaming, 0)
      .Ac1AsGeneral(1, 1, 0x0001)
      .Ac1FormatTypeI(2, 2, 16, {44100, 48000})
      .AudioEndpoint(0x01, kXferIsochronous | kSyncAsync, 196, 1, 0, 0x81)
      .Ac1EndpointGeneral(0x01)
      .AudioEndpoint(0x81, kXferIsochronous | kSyncNone, 3, 1, refresh, 0);
  if (capture) {
    c.Interface(2, 0, kClassAudio, kSubclassAudioStreaming, 0)
        .Interface(2, 1, kClassAudio, kSubclassAudioStreaming, 0)
        .Ac1AsGeneral(5, 1, 0x0001)
        .Ac1FormatTypeI(2, 2, 16, {44100, 48000})
        .AudioEndpoint(0x82, kXferIsochronous | kSyncAsync, 196, 1, 0, 0)
        .Ac1EndpointGeneral(0x01);
  }
  return c;
}

void AnswerClassRequests(usbtest::Spy& spy, uint8_t request, uint8_t selector, std::vector<uint8_t> answer) {
  spy.SetAnswer([request, selector, answer](PIRP irp, PURB urb) {
    if (urb->UrbHeader.Function != URB_FUNCTION_CLASS_INTERFACE) return false;
    auto& r = urb->UrbControlVendorClassRequest;
    if (r.Request != request || (r.Value >> 8) != selector || (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) == 0) {
      return false;
    }
    const ULONG n = std::min<ULONG>(r.TransferBufferLength, static_cast<ULONG>(answer.size()));
    memcpy(r.TransferBuffer, answer.data(), n);
    r.TransferBufferLength = n;
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    usbtest::CompleteIrp(irp, STATUS_SUCCESS);
    return true;
  });
}

std::vector<uint8_t> RangeAnswer(const std::vector<RateRange>& ranges, int count) {
  const uint16_t n = static_cast<uint16_t>(count < 0 ? ranges.size() : count);
  std::vector<uint8_t> out{static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8)};
  for (const RateRange& r : ranges) {
    for (uint32_t v : {r.min, r.max, r.res}) {
      for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
  }
  return out;
}

}  // namespace audiotest
