// The audio function's controls as the device firmware keeps them: clock
// sources and selectors, feature unit mute and volume, terminal connectors,
// Audio Class 1.0 endpoint sampling frequencies and the vendor stream mode;
// answers the class and vendor requests for them and stalls everything the
// descriptors do not offer.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "sim/usb/device/descriptor_parser.h"
#include "sim/usb/device/device_definition.h"
#include "sim/usb/device/usb_device.h"

namespace sim::usb {

// Volume range of every feature unit, in 1/256 dB.
inline constexpr int16_t kVolumeMin = -96 * 256;
inline constexpr int16_t kVolumeMax = 0;
inline constexpr int16_t kVolumeRes = 128;

class AudioControls {
 public:
  AudioControls(const AudioFunctionInfo& info, const DeviceDefinition& def, uint16_t vendorId);

  // A class or vendor request (bmRequestType type bits 01 or 10).
  XferResult Handle(const SetupPacket& s, uint8_t* data, uint32_t* actual);

  // The sample rate a stream runs at with this alternate setting selected.
  uint32_t StreamRate(const AltSettingInfo& alt) const;
  const std::vector<RateRange>& ClockRanges() const { return ranges_; }

  // State, readable and settable by tests.
  uint32_t ClockRate(uint8_t clockId) const;  // follows selectors to a source
  void SetClockValid(uint8_t clockId, bool valid) { valid_[clockId] = valid; }
  bool ClockValid(uint8_t clockId) const;
  uint8_t SelectorInput(uint8_t selectorId) const;
  void SetConnected(uint8_t terminalId, bool connected) { connected_[terminalId] = connected; }
  bool Connected(uint8_t terminalId) const;
  bool Mute(uint8_t unitId, uint8_t channel) const;
  int16_t Volume(uint8_t unitId, uint8_t channel) const;
  uint16_t StreamMode(uint8_t interfaceNumber) const;
  uint32_t EndpointRate(uint8_t address) const;

 private:
  XferResult Ac2Entity(const SetupPacket& s, const EntityInfo& e, uint8_t* data, uint32_t* actual);
  XferResult Ac1Entity(const SetupPacket& s, const EntityInfo& e, uint8_t* data, uint32_t* actual);
  XferResult FeatureVolume(const SetupPacket& s, uint8_t request, uint8_t unit, uint8_t channel, bool writable,
                           uint8_t* data, uint32_t* actual);
  XferResult Ac1Endpoint(const SetupPacket& s, uint8_t* data, uint32_t* actual);
  XferResult Vendor(const SetupPacket& s, uint32_t* actual);
  bool RateInRanges(uint32_t rate) const;
  uint32_t ClockRateAt(uint8_t clockId, int depth) const;
  uint32_t Channels(uint8_t entityId, int depth) const;

  const AudioFunctionInfo& info_;
  const uint16_t vendorId_;
  std::vector<RateRange> ranges_;
  std::map<uint8_t, uint32_t> clockRates_;
  std::map<uint8_t, bool> valid_;
  std::map<uint8_t, uint8_t> selectors_;
  std::map<uint8_t, bool> connected_;
  std::map<uint16_t, bool> mute_;       // unit << 8 | channel
  std::map<uint16_t, int16_t> volume_;  // unit << 8 | channel
  std::map<uint8_t, uint16_t> streamModes_;
  std::map<uint8_t, uint32_t> endpointRates_;
};

// The rates a 1.0 alternate setting offers contain `rate`.
bool FormatOffersRate(const StreamFormat& f, uint32_t rate);
// Frames per second rounded up to frames per bus interval.
uint32_t FramesPerInterval(uint32_t rate, uint32_t packetInterval, Speed speed);

}  // namespace sim::usb
