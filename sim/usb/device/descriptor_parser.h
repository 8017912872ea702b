// Reads a configuration descriptor set into the structure the simulated device
// works from: interfaces, alternate settings, endpoints, stream formats and
// audio-control entities. Never reads out of bounds; malformed parts are noted
// in `problems` and skipped.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace sim::usb {

struct EndpointInfo {
  uint8_t length = 0;
  uint8_t address = 0;
  uint8_t attributes = 0;
  uint16_t wMaxPacketSize = 0;
  uint8_t interval = 0;
  uint8_t refresh = 0;       // 9-byte endpoint descriptors only
  uint8_t synchAddress = 0;  // 9-byte endpoint descriptors only
  bool hasCsGeneral = false;
  uint8_t csAttributes = 0;  // bmAttributes of the class-specific EP_GENERAL

  bool IsIn() const { return (address & 0x80) != 0; }
  uint8_t TransferType() const { return attributes & 0x03; }
  uint8_t SyncType() const { return attributes & 0x0C; }
  uint8_t Usage() const { return attributes & 0x30; }
  // Bytes the endpoint may carry in one service interval.
  uint32_t MaxPacketBytes() const { return (wMaxPacketSize & 0x7FF) * (((wMaxPacketSize >> 11) & 3) + 1); }
};

struct StreamFormat {
  bool hasGeneral = false;     // AS_GENERAL present
  bool hasFormatType = false;  // FORMAT_TYPE present
  uint8_t terminalLink = 0;
  uint8_t formatType = 0;
  uint16_t formatTag = 0;  // 1.0
  uint32_t bmFormats = 0;  // 2.0
  uint8_t channels = 0;
  uint8_t subslotBytes = 0;
  uint8_t bitResolution = 0;
  bool continuousRates = false;  // 1.0: rates holds lower and upper
  std::vector<uint32_t> rates;   // 1.0 rates offered by this alternate
};

struct AltSettingInfo {
  uint8_t interfaceNumber = 0;
  uint8_t alternate = 0;
  uint8_t interfaceClass = 0;
  uint8_t subClass = 0;
  uint8_t protocol = 0;
  std::vector<EndpointInfo> endpoints;
  StreamFormat format;
  int dataEndpoint = -1;      // index into endpoints
  int feedbackEndpoint = -1;  // index into endpoints

  const EndpointInfo* Data() const { return dataEndpoint >= 0 ? &endpoints[dataEndpoint] : nullptr; }
  const EndpointInfo* Feedback() const { return feedbackEndpoint >= 0 ? &endpoints[feedbackEndpoint] : nullptr; }
};

struct InterfaceInfo {
  uint8_t number = 0;
  std::vector<AltSettingInfo> alternates;  // in descriptor order
  const AltSettingInfo* Find(uint8_t alternate) const;
};

struct EntityInfo {
  uint8_t id = 0;
  uint8_t subtype = 0;
  std::vector<uint8_t> bytes;  // the whole descriptor
};

struct AudioFunctionInfo {
  std::vector<std::string> problems;
  uint8_t configurationValue = 0;
  uint8_t configAttributes = 0;
  std::vector<InterfaceInfo> interfaces;  // in order of first appearance
  int acInterfaceNumber = -1;
  uint16_t bcdADC = 0;
  std::map<uint8_t, EntityInfo> entities;  // by entity ID
  std::set<uint8_t> stringIndices;         // every string index referenced

  bool IsAudio20() const { return bcdADC >= 0x0200; }
  const InterfaceInfo* FindInterface(uint8_t number) const;
  const EntityInfo* FindEntity(uint8_t id) const;
  // The first alternate setting holding an endpoint address.
  const AltSettingInfo* FindEndpointOwner(uint8_t address) const;
};

AudioFunctionInfo ParseAudioFunction(const std::vector<uint8_t>& deviceDescriptor,
                                     const std::vector<uint8_t>& configuration);

}  // namespace sim::usb
