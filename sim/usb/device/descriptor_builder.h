// Builds device and configuration descriptor sets from readable calls. Counts
// and lengths are filled in automatically; every automatic field can be turned
// off or patched afterwards, so deliberately faulty sets can be written too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim::usb {

struct DeviceDescriptorFields {
  uint16_t bcdUSB = 0x0200;
  uint8_t bDeviceClass = 0xEF;  // miscellaneous / interface association
  uint8_t bDeviceSubClass = 0x02;
  uint8_t bDeviceProtocol = 0x01;
  uint8_t bMaxPacketSize0 = 64;
  uint16_t idVendor = 0;
  uint16_t idProduct = 0;
  uint16_t bcdDevice = 0x0100;
  uint8_t iManufacturer = 1;
  uint8_t iProduct = 2;
  uint8_t iSerialNumber = 3;
  uint8_t bNumConfigurations = 1;
};

std::vector<uint8_t> BuildDeviceDescriptor(const DeviceDescriptorFields& fields);

class ConfigurationBuilder {
 public:
  // Which fields Build() computes; switch one off to keep the value written.
  struct AutoFields {
    bool totalLength = true;     // wTotalLength of the configuration descriptor
    bool numInterfaces = true;   // bNumInterfaces (distinct interface numbers)
    bool numEndpoints = true;    // bNumEndpoints of every interface descriptor
    bool acHeaderLength = true;  // total length in the audio-control header
  };

  explicit ConfigurationBuilder(uint8_t configurationValue = 1, uint8_t bmAttributes = 0x80,
                                uint8_t bMaxPower = 50, uint8_t iConfiguration = 0);

  // Standard descriptors.
  ConfigurationBuilder& InterfaceAssociation(uint8_t firstInterface, uint8_t interfaceCount,
                                             uint8_t functionClass, uint8_t functionSubClass,
                                             uint8_t functionProtocol, uint8_t iFunction = 0);
  ConfigurationBuilder& Interface(uint8_t number, uint8_t alternate, uint8_t interfaceClass,
                                  uint8_t subClass, uint8_t protocol, uint8_t iInterface = 0);
  ConfigurationBuilder& Endpoint(uint8_t address, uint8_t bmAttributes, uint16_t wMaxPacketSize,
                                 uint8_t bInterval);
  // The 9-byte endpoint descriptor of Audio Class 1.0 (bRefresh, bSynchAddress).
  ConfigurationBuilder& AudioEndpoint(uint8_t address, uint8_t bmAttributes, uint16_t wMaxPacketSize,
                                      uint8_t bInterval, uint8_t bRefresh, uint8_t bSynchAddress);

  // Audio Class 2.0 audio-control descriptors.
  ConfigurationBuilder& Ac2Header(uint8_t bCategory, uint8_t bmControls = 0);
  ConfigurationBuilder& Ac2ClockSource(uint8_t id, uint8_t bmAttributes, uint8_t bmControls,
                                       uint8_t bAssocTerminal = 0, uint8_t iClockSource = 0);
  ConfigurationBuilder& Ac2ClockSelector(uint8_t id, const std::vector<uint8_t>& sources,
                                         uint8_t bmControls, uint8_t iClockSelector = 0);
  ConfigurationBuilder& Ac2InputTerminal(uint8_t id, uint16_t terminalType, uint8_t clockId,
                                         uint8_t channels, uint16_t bmControls = 0,
                                         uint8_t assocTerminal = 0, uint32_t channelConfig = 0,
                                         uint8_t iTerminal = 0);
  ConfigurationBuilder& Ac2OutputTerminal(uint8_t id, uint16_t terminalType, uint8_t sourceId,
                                          uint8_t clockId, uint16_t bmControls = 0,
                                          uint8_t assocTerminal = 0, uint8_t iTerminal = 0);
  // controls: master first, then one 32-bit bmaControls per channel.
  ConfigurationBuilder& Ac2FeatureUnit(uint8_t id, uint8_t sourceId, const std::vector<uint32_t>& controls,
                                       uint8_t iFeature = 0);
  // Audio Class 2.0 audio-streaming descriptors.
  ConfigurationBuilder& Ac2AsGeneral(uint8_t terminalLink, uint8_t channels, uint32_t bmFormats = 1,
                                     uint8_t formatType = 1, uint8_t bmControls = 0,
                                     uint32_t channelConfig = 0);
  ConfigurationBuilder& Ac2FormatTypeI(uint8_t subslotSize, uint8_t bitResolution);
  ConfigurationBuilder& Ac2EndpointGeneral(uint8_t bmAttributes = 0, uint8_t bmControls = 0,
                                           uint8_t lockDelayUnits = 0, uint16_t lockDelay = 0);

  // Audio Class 1.0 audio-control descriptors.
  ConfigurationBuilder& Ac1Header(const std::vector<uint8_t>& streamingInterfaces);
  ConfigurationBuilder& Ac1InputTerminal(uint8_t id, uint16_t terminalType, uint8_t channels,
                                         uint16_t channelConfig = 0, uint8_t assocTerminal = 0,
                                         uint8_t iTerminal = 0);
  ConfigurationBuilder& Ac1OutputTerminal(uint8_t id, uint16_t terminalType, uint8_t sourceId,
                                          uint8_t assocTerminal = 0, uint8_t iTerminal = 0);
  // controls: master first, then one bmaControls (controlSize bytes) per channel.
  ConfigurationBuilder& Ac1FeatureUnit(uint8_t id, uint8_t sourceId, uint8_t controlSize,
                                       const std::vector<uint32_t>& controls, uint8_t iFeature = 0);
  // Audio Class 1.0 audio-streaming descriptors.
  ConfigurationBuilder& Ac1AsGeneral(uint8_t terminalLink, uint8_t delay, uint16_t formatTag);
  ConfigurationBuilder& Ac1FormatTypeI(uint8_t channels, uint8_t subframeSize, uint8_t bitResolution,
                                       const std::vector<uint32_t>& rates);
  ConfigurationBuilder& Ac1FormatTypeIContinuous(uint8_t channels, uint8_t subframeSize,
                                                 uint8_t bitResolution, uint32_t lower, uint32_t upper);
  ConfigurationBuilder& Ac1EndpointGeneral(uint8_t bmAttributes, uint8_t lockDelayUnits = 0,
                                           uint16_t lockDelay = 0);

  // Any bytes, taken as they are (bLength 0, truncated or unknown descriptors).
  ConfigurationBuilder& Raw(const std::vector<uint8_t>& bytes);

  // Deliberate faults: fixed values and byte patches applied after the
  // automatic fields.
  ConfigurationBuilder& OverrideTotalLength(uint16_t value);
  ConfigurationBuilder& Patch8(size_t offset, uint8_t value);
  ConfigurationBuilder& Patch16(size_t offset, uint16_t value);
  AutoFields& Auto() { return auto_; }

  size_t Size() const { return bytes_.size(); }     // where the next descriptor goes
  size_t LastOffset() const { return lastOffset_; }  // start of the last descriptor added

  std::vector<uint8_t> Build() const;

 private:
  enum class Kind { Config, Interface, Endpoint, Ac1Header, Ac2Header, Other };
  struct Entry {
    size_t offset;
    Kind kind;
  };
  ConfigurationBuilder& Add(Kind kind, const std::vector<uint8_t>& bytes);

  std::vector<uint8_t> bytes_;
  std::vector<Entry> entries_;
  size_t lastOffset_ = 0;
  AutoFields auto_;
  struct PatchOp {
    size_t offset;
    uint16_t value;
    bool wide;
  };
  std::vector<PatchOp> patches_;
};

}  // namespace sim::usb
