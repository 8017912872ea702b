// Test helper: plays the host side of endpoint 0 and the bus tick for a
// simulated device, without a bus.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/usb/device/byte_util.h"
#include "sim/usb/device/usb_audio_device.h"

namespace sim::usb::testing {

struct ControlReply {
  XferResult result;
  std::vector<uint8_t> data;
};

class DeviceHost {
 public:
  explicit DeviceHost(UsbDevice& device) : device_(device) {}

  ControlReply In(uint8_t bmRequestType, uint8_t bRequest, uint16_t wValue, uint16_t wIndex, uint16_t wLength) {
    std::vector<uint8_t> buf(wLength + 16u, 0xCC);
    uint32_t actual = 0;
    SetupPacket s{bmRequestType, bRequest, wValue, wIndex, wLength};
    XferResult r = device_.Control(s, buf.data(), &actual);
    buf.resize(actual);
    return {r, buf};
  }
  XferResult Out(uint8_t bmRequestType, uint8_t bRequest, uint16_t wValue, uint16_t wIndex,
                 std::vector<uint8_t> data = {}) {
    uint32_t actual = 0;
    SetupPacket s{bmRequestType, bRequest, wValue, wIndex, static_cast<uint16_t>(data.size())};
    return device_.Control(s, data.data(), &actual);
  }
  XferResult SetConfiguration(uint8_t value) { return Out(0x00, 0x09, value, 0); }
  XferResult SetInterface(uint8_t interfaceNumber, uint8_t alternate) {
    return Out(0x01, 0x0B, alternate, interfaceNumber);
  }
  // Audio Class 2.0 requests to an entity of audio-control interface 0.
  ControlReply Ac2Get(uint8_t request, uint8_t selector, uint8_t channel, uint8_t entity, uint16_t length) {
    return In(0xA1, request, static_cast<uint16_t>(selector << 8 | channel), static_cast<uint16_t>(entity << 8),
              length);
  }
  XferResult Ac2Set(uint8_t selector, uint8_t channel, uint8_t entity, std::vector<uint8_t> data) {
    return Out(0x21, 0x01, static_cast<uint16_t>(selector << 8 | channel), static_cast<uint16_t>(entity << 8),
               std::move(data));
  }
  XferResult SetRate2(uint8_t clockId, uint32_t rate) {
    std::vector<uint8_t> d(4);
    PutLe32(d.data(), rate);
    return Ac2Set(0x01, 0, clockId, d);
  }

  // Next bus interval (numbered from 0).
  void Tick() { device_.OnBusInterval(interval_++); }
  uint64_t Interval() const { return interval_; }

  std::vector<uint8_t> In(uint8_t endpoint, uint32_t maxLength, XferResult* result = nullptr) {
    std::vector<uint8_t> buf(maxLength + 16u, 0xCC);
    uint32_t actual = 0;
    XferResult r = device_.PacketIn(endpoint, buf.data(), maxLength, &actual);
    if (result) *result = r;
    buf.resize(actual);
    return buf;
  }
  XferResult Out(uint8_t endpoint, const std::vector<uint8_t>& data) {
    return device_.PacketOut(endpoint, data.data(), static_cast<uint32_t>(data.size()));
  }

 private:
  UsbDevice& device_;
  uint64_t interval_ = 0;
};

}  // namespace sim::usb::testing
