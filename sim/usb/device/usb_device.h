// The contract between the simulated bus and a simulated USB device: endpoint 0
// control transfers, the bus interval tick and the data packets of one interval.
#pragma once

#include <cstdint>
#include <vector>

namespace sim::usb {

enum class Speed { Full, High };

struct SetupPacket {
  uint8_t bmRequestType;
  uint8_t bRequest;
  uint16_t wValue;
  uint16_t wIndex;
  uint16_t wLength;
};

enum class XferResult { Ok, Stall, NotResponding /*device gone or not answering*/, PacketError /*CRC-like*/ };

class UsbDevice {
 public:
  virtual ~UsbDevice() = default;
  virtual Speed GetSpeed() const = 0;
  virtual bool IsAttached() const = 0;  // false once unplugged (fault injection)
  // Endpoint 0 control transfer, including the standard requests. IN: write at
  // most setup.wLength bytes to data, set *actual. OUT: data holds setup.wLength
  // bytes; *actual = bytes accepted.
  virtual XferResult Control(const SetupPacket& setup, uint8_t* data, uint32_t* actual) = 0;
  // Called once per bus interval (1 ms frame at full speed, 125 us microframe at
  // high speed), in order, before the packets of that interval.
  virtual void OnBusInterval(uint64_t interval) = 0;
  // False while nothing happens in the device's intervals (no stream runs):
  // an idle bus may then skip them.
  virtual bool WantsBusIntervals() const { return true; }
  // Isochronous (and interrupt/bulk) data packets within the current interval.
  virtual XferResult PacketOut(uint8_t endpointAddress, const uint8_t* data, uint32_t length) = 0;
  virtual XferResult PacketIn(uint8_t endpointAddress, uint8_t* data, uint32_t maxLength, uint32_t* actual) = 0;
  // Raw descriptors as the device returns them: the 18-byte device descriptor and
  // the whole configuration descriptor set of configuration index 0.
  virtual const std::vector<uint8_t>& DeviceDescriptor() const = 0;
  virtual const std::vector<uint8_t>& ConfigurationDescriptor() const = 0;
};

}  // namespace sim::usb
