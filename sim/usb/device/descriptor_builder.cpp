// Descriptor set builder: each call appends one descriptor; Build() fills in
// counts and lengths, then applies the requested patches.
#include "sim/usb/device/descriptor_builder.h"

#include <set>

#include "sim/usb/device/byte_util.h"
#include "sim/usb/device/usb_constants.h"

namespace sim::usb {

std::vector<uint8_t> BuildDeviceDescriptor(const DeviceDescriptorFields& f) {
  std::vector<uint8_t> d{18, kDescDevice};
  AppendLe16(d, f.bcdUSB);
  d.push_back(f.bDeviceClass);
  d.push_back(f.bDeviceSubClass);
  d.push_back(f.bDeviceProtocol);
  d.push_back(f.bMaxPacketSize0);
  AppendLe16(d, f.idVendor);
  AppendLe16(d, f.idProduct);
  AppendLe16(d, f.bcdDevice);
  d.push_back(f.iManufacturer);
  d.push_back(f.iProduct);
  d.push_back(f.iSerialNumber);
  d.push_back(f.bNumConfigurations);
  return d;
}

ConfigurationBuilder::ConfigurationBuilder(uint8_t configurationValue, uint8_t bmAttributes,
                                           uint8_t bMaxPower, uint8_t iConfiguration) {
  Add(Kind::Config, {9, kDescConfiguration, 0, 0, 0, configurationValue, iConfiguration,
                     bmAttributes, bMaxPower});
}

ConfigurationBuilder& ConfigurationBuilder::Add(Kind kind, const std::vector<uint8_t>& bytes) {
  lastOffset_ = bytes_.size();
  entries_.push_back({lastOffset_, kind});
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return *this;
}

ConfigurationBuilder& ConfigurationBuilder::InterfaceAssociation(uint8_t firstInterface, uint8_t interfaceCount,
                                                                 uint8_t functionClass, uint8_t functionSubClass,
                                                                 uint8_t functionProtocol, uint8_t iFunction) {
  return Add(Kind::Other, {8, kDescInterfaceAssociation, firstInterface, interfaceCount, functionClass,
                           functionSubClass, functionProtocol, iFunction});
}

ConfigurationBuilder& ConfigurationBuilder::Interface(uint8_t number, uint8_t alternate, uint8_t interfaceClass,
                                                      uint8_t subClass, uint8_t protocol, uint8_t iInterface) {
  return Add(Kind::Interface, {9, kDescInterface, number, alternate, 0, interfaceClass, subClass, protocol,
                               iInterface});
}

ConfigurationBuilder& ConfigurationBuilder::Endpoint(uint8_t address, uint8_t bmAttributes, uint16_t wMaxPacketSize,
                                                     uint8_t bInterval) {
  std::vector<uint8_t> d{7, kDescEndpoint, address, bmAttributes};
  AppendLe16(d, wMaxPacketSize);
  d.push_back(bInterval);
  return Add(Kind::Endpoint, d);
}

ConfigurationBuilder& ConfigurationBuilder::AudioEndpoint(uint8_t address, uint8_t bmAttributes,
                                                          uint16_t wMaxPacketSize, uint8_t bInterval,
                                                          uint8_t bRefresh, uint8_t bSynchAddress) {
  std::vector<uint8_t> d{9, kDescEndpoint, address, bmAttributes};
  AppendLe16(d, wMaxPacketSize);
  d.push_back(bInterval);
  d.push_back(bRefresh);
  d.push_back(bSynchAddress);
  return Add(Kind::Endpoint, d);
}

ConfigurationBuilder& ConfigurationBuilder::Ac2Header(uint8_t bCategory, uint8_t bmControls) {
  std::vector<uint8_t> d{9, kDescCsInterface, kAcHeader};
  AppendLe16(d, 0x0200);
  d.push_back(bCategory);
  AppendLe16(d, 0);  // total length, filled by Build()
  d.push_back(bmControls);
  return Add(Kind::Ac2Header, d);
}

ConfigurationBuilder& ConfigurationBuilder::Ac2ClockSource(uint8_t id, uint8_t bmAttributes, uint8_t bmControls,
                                                           uint8_t bAssocTerminal, uint8_t iClockSource) {
  return Add(Kind::Other, {8, kDescCsInterface, kAc2ClockSource, id, bmAttributes, bmControls, bAssocTerminal,
                           iClockSource});
}

ConfigurationBuilder& ConfigurationBuilder::Ac2ClockSelector(uint8_t id, const std::vector<uint8_t>& sources,
                                                             uint8_t bmControls, uint8_t iClockSelector) {
  std::vector<uint8_t> d{static_cast<uint8_t>(7 + sources.size()), kDescCsInterface, kAc2ClockSelector, id,
                         static_cast<uint8_t>(sources.size())};
  d.insert(d.end(), sources.begin(), sources.end());
  d.push_back(bmControls);
  d.push_back(iClockSelector);
  return Add(Kind::Other, d);
}

ConfigurationBuilder& ConfigurationBuilder::Ac2InputTerminal(uint8_t id, uint16_t terminalType, uint8_t clockId,
                                                             uint8_t channels, uint16_t bmControls,
                                                             uint8_t assocTerminal, uint32_t channelConfig,
                                                             uint8_t iTerminal) {
  std::vector<uint8_t> d{17, kDescCsInterface, kAcInputTerminal, id};
  AppendLe16(d, terminalType);
  d.push_back(assocTerminal);
  d.push_back(clockId);
  d.push_back(channels);
  AppendLe32(d, channelConfig);
  d.push_back(0);  // iChannelNames
  AppendLe16(d, bmControls);
  d.push_back(iTerminal);
  return Add(Kind::Other, d);
}

ConfigurationBuilder& ConfigurationBuilder::Ac2OutputTerminal(uint8_t id, uint16_t terminalType, uint8_t sourceId,
                                                              uint8_t clockId, uint16_t bmControls,
                                                              uint8_t assocTerminal, uint8_t iTerminal) {
  std::vector<uint8_t> d{12, kDescCsInterface, kAcOutputTerminal, id};
  AppendLe16(d, terminalType);
  d.push_back(assocTerminal);
  d.push_back(sourceId);
  d.push_back(clockId);
  AppendLe16(d, bmControls);
  d.push_back(iTerminal);
  return Add(Kind::Other, d);
}

ConfigurationBuilder& ConfigurationBuilder::Ac2FeatureUnit(uint8_t id, uint8_t sourceId,
                                                           const std::vector<uint32_t>& controls, uint8_t iFeature) {
  std::vector<uint8_t> d{static_cast<uint8_t>(6 + 4 * controls.size()), kDescCsInterface, kAcFeatureUnit, id,
                         sourceId};
  for (uint32_t c : controls) AppendLe32(d, c);
  d.push_back(iFeature);
  return Add(Kind::Other, d);
}

ConfigurationBuilder& ConfigurationBuilder::Ac2AsGeneral(uint8_t terminalLink, uint8_t channels, uint32_t bmFormats,
                                                         uint8_t formatType, uint8_t bmControls,
                                                         uint32_t channelConfig) {
  std::vector<uint8_t> d{16, kDescCsInterface, kAsGeneral, terminalLink, bmControls, formatType};
  AppendLe32(d, bmFormats);
  d.push_back(channels);
  AppendLe32(d, channelConfig);
  d.push_back(0);  // iChannelNames
  return Add(Kind::Other, d);
}

ConfigurationBuilder& ConfigurationBuilder::Ac2FormatTypeI(uint8_t subslotSize, uint8_t bitResolution) {
  return Add(Kind::Other, {6, kDescCsInterface, kAsFormatType, kFormatTypeI, subslotSize, bitResolution});
}

ConfigurationBuilder& ConfigurationBuilder::Ac2EndpointGeneral(uint8_t bmAttributes, uint8_t bmControls,
                                                               uint8_t lockDelayUnits, uint16_t lockDelay) {
  std::vector<uint8_t> d{8, kDescCsEndpoint, kEpGeneral, bmAttributes, bmControls, lockDelayUnits};
  AppendLe16(d, lockDelay);
  return Add(Kind::Other, d);
}

ConfigurationBuilder& ConfigurationBuilder::Ac1Header(const std::vector<uint8_t>& streamingInterfaces) {
  std::vector<uint8_t> d{static_cast<uint8_t>(8 + streamingInterfaces.size()), kDescCsInterface, kAcHeader};
  AppendLe16(d, 0x0100);
  AppendLe16(d, 0);  // total length, filled by Build()
  d.push_back(static_cast<uint8_t>(streamingInterfaces.size()));
  d.insert(d.end(), streamingInterfaces.begin(), streamingInterfaces.end());
  return Add(Kind::Ac1Header, d);
}

ConfigurationBuilder& ConfigurationBuilder::Ac1InputTerminal(uint8_t id, uint16_t terminalType, uint8_t channels,
                                                             uint16_t channelConfig, uint8_t assocTerminal,
                                                             uint8_t iTerminal) {
  std::vector<uint8_t> d{12, kDescCsInterface, kAcInputTerminal, id};
  AppendLe16(d, terminalType);
  d.push_back(assocTerminal);
  d.push_back(channels);
  AppendLe16(d, channelConfig);
  d.push_back(0);  // iChannelNames
  d.push_back(iTerminal);
  return Add(Kind::Other, d);
}

ConfigurationBuilder& ConfigurationBuilder::Ac1OutputTerminal(uint8_t id, uint16_t terminalType, uint8_t sourceId,
                                                              uint8_t assocTerminal, uint8_t iTerminal) {
  std::vector<uint8_t> d{9, kDescCsInterface, kAcOutputTerminal, id};
  AppendLe16(d, terminalType);
  d.push_back(assocTerminal);
  d.push_back(sourceId);
  d.push_back(iTerminal);
  return Add(Kind::Other, d);
}

ConfigurationBuilder& ConfigurationBuilder::Ac1FeatureUnit(uint8_t id, uint8_t sourceId, uint8_t controlSize,
                                                           const std::vector<uint32_t>& controls, uint8_t iFeature) {
  std::vector<uint8_t> d{static_cast<uint8_t>(7 + controlSize * controls.size()), kDescCsInterface,
                         kAcFeatureUnit, id, sourceId, controlSize};
  for (uint32_t c : controls) {
    for (uint8_t i = 0; i < controlSize; ++i) d.push_back(static_cast<uint8_t>(c >> (8 * i)));
  }
  d.push_back(iFeature);
  return Add(Kind::Other, d);
}

ConfigurationBuilder& ConfigurationBuilder::Ac1AsGeneral(uint8_t terminalLink, uint8_t delay, uint16_t formatTag) {
  std::vector<uint8_t> d{7, kDescCsInterface, kAsGeneral, terminalLink, delay};
  AppendLe16(d, formatTag);
  return Add(Kind::Other, d);
}

ConfigurationBuilder& ConfigurationBuilder::Ac1FormatTypeI(uint8_t channels, uint8_t subframeSize,
                                                           uint8_t bitResolution, const std::vector<uint32_t>& rates) {
  std::vector<uint8_t> d{static_cast<uint8_t>(8 + 3 * rates.size()), kDescCsInterface, kAsFormatType,
                         kFormatTypeI, channels, subframeSize, bitResolution,
                         static_cast<uint8_t>(rates.size())};
  for (uint32_t r : rates) AppendLe24(d, r);
  return Add(Kind::Other, d);
}

ConfigurationBuilder& ConfigurationBuilder::Ac1FormatTypeIContinuous(uint8_t channels, uint8_t subframeSize,
                                                                     uint8_t bitResolution, uint32_t lower,
                                                                     uint32_t upper) {
  std::vector<uint8_t> d{14, kDescCsInterface, kAsFormatType, kFormatTypeI, channels, subframeSize, bitResolution, 0};
  AppendLe24(d, lower);
  AppendLe24(d, upper);
  return Add(Kind::Other, d);
}

ConfigurationBuilder& ConfigurationBuilder::Ac1EndpointGeneral(uint8_t bmAttributes, uint8_t lockDelayUnits,
                                                               uint16_t lockDelay) {
  std::vector<uint8_t> d{7, kDescCsEndpoint, kEpGeneral, bmAttributes, lockDelayUnits};
  AppendLe16(d, lockDelay);
  return Add(Kind::Other, d);
}

ConfigurationBuilder& ConfigurationBuilder::Raw(const std::vector<uint8_t>& bytes) { return Add(Kind::Other, bytes); }

ConfigurationBuilder& ConfigurationBuilder::OverrideTotalLength(uint16_t value) {
  auto_.totalLength = false;
  patches_.push_back({2, value, true});
  return *this;
}

ConfigurationBuilder& ConfigurationBuilder::Patch8(size_t offset, uint8_t value) {
  patches_.push_back({offset, value, false});
  return *this;
}

ConfigurationBuilder& ConfigurationBuilder::Patch16(size_t offset, uint16_t value) {
  patches_.push_back({offset, value, true});
  return *this;
}

std::vector<uint8_t> ConfigurationBuilder::Build() const {
  std::vector<uint8_t> out = bytes_;
  if (auto_.totalLength) PutLe16(&out[2], static_cast<uint16_t>(out.size()));
  std::set<uint8_t> interfaceNumbers;
  for (size_t i = 0; i < entries_.size(); ++i) {
    const Entry& e = entries_[i];
    // Class-specific audio-control descriptors run up to the next standard
    // interface or endpoint descriptor.
    size_t next = out.size();
    for (size_t j = i + 1; j < entries_.size(); ++j) {
      if (entries_[j].kind == Kind::Interface || entries_[j].kind == Kind::Endpoint) {
        next = entries_[j].offset;
        break;
      }
    }
    if (e.kind == Kind::Interface) {
      interfaceNumbers.insert(out[e.offset + 2]);
      if (auto_.numEndpoints) {
        uint8_t count = 0;
        for (size_t j = i + 1; j < entries_.size() && entries_[j].kind != Kind::Interface; ++j) {
          if (entries_[j].kind == Kind::Endpoint) ++count;
        }
        out[e.offset + 4] = count;
      }
    } else if (e.kind == Kind::Ac2Header && auto_.acHeaderLength) {
      PutLe16(&out[e.offset + 6], static_cast<uint16_t>(next - e.offset));
    } else if (e.kind == Kind::Ac1Header && auto_.acHeaderLength) {
      PutLe16(&out[e.offset + 5], static_cast<uint16_t>(next - e.offset));
    }
  }
  if (auto_.numInterfaces) out[4] = static_cast<uint8_t>(interfaceNumbers.size());
  for (const PatchOp& p : patches_) {
    if (p.offset + (p.wide ? 2 : 1) > out.size()) continue;
    if (p.wide) {
      PutLe16(&out[p.offset], p.value);
    } else {
      out[p.offset] = static_cast<uint8_t>(p.value);
    }
  }
  return out;
}

}  // namespace sim::usb
