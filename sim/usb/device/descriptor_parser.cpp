// Configuration descriptor walker for the simulated audio devices.
#include "sim/usb/device/descriptor_parser.h"

#include <cstdio>

#include "sim/usb/device/byte_util.h"
#include "sim/usb/device/usb_constants.h"

namespace sim::usb {

const AltSettingInfo* InterfaceInfo::Find(uint8_t alternate) const {
  for (const AltSettingInfo& a : alternates) {
    if (a.alternate == alternate) return &a;
  }
  return nullptr;
}

const InterfaceInfo* AudioFunctionInfo::FindInterface(uint8_t number) const {
  for (const InterfaceInfo& i : interfaces) {
    if (i.number == number) return &i;
  }
  return nullptr;
}

const EntityInfo* AudioFunctionInfo::FindEntity(uint8_t id) const {
  auto it = entities.find(id);
  return it == entities.end() ? nullptr : &it->second;
}

const AltSettingInfo* AudioFunctionInfo::FindEndpointOwner(uint8_t address) const {
  for (const InterfaceInfo& i : interfaces) {
    for (const AltSettingInfo& a : i.alternates) {
      for (const EndpointInfo& e : a.endpoints) {
        if (e.address == address) return &a;
      }
    }
  }
  return nullptr;
}

namespace {

bool IsAudioClass(uint8_t c) { return c == kClassAudio || c == kClassVendor; }

// String index fields of the audio-control entities, by version.
void CollectEntityStrings(const std::vector<uint8_t>& d, bool v2, std::set<uint8_t>& out) {
  const size_t n = d.size();
  auto take = [&](size_t at) {
    if (at < n && d[at] != 0) out.insert(d[at]);
  };
  switch (d[2]) {
    case kAcInputTerminal:
      if (v2) {
        take(13);
        take(16);
      } else {
        take(10);
        take(11);
      }
      break;
    case kAcOutputTerminal:
      take(v2 ? 11 : 8);
      break;
    case kAcFeatureUnit:
    case kAc2ClockSource:
    case kAc2ClockSelector:
      if (d[2] == kAcFeatureUnit || v2) take(n - 1);
      break;
    default:
      break;
  }
}

void ParseStreamDescriptor(const uint8_t* d, uint8_t len, bool v2, StreamFormat& f) {
  if (d[2] == kAsGeneral && !f.hasGeneral) {
    if (v2 && len >= 16) {
      f.hasGeneral = true;
      f.terminalLink = d[3];
      f.formatType = d[5];
      f.bmFormats = Le32(d + 6);
      f.channels = d[10];
    } else if (!v2 && len >= 7) {
      f.hasGeneral = true;
      f.terminalLink = d[3];
      f.formatTag = Le16(d + 5);
    }
  } else if (d[2] == kAsFormatType && !f.hasFormatType) {
    if (v2 && len >= 6) {
      f.hasFormatType = true;
      if (!f.hasGeneral || f.formatType == 0) f.formatType = d[3];
      f.subslotBytes = d[4];
      f.bitResolution = d[5];
    } else if (!v2 && len >= 8) {
      f.hasFormatType = true;
      f.formatType = d[3];
      f.channels = d[4];
      f.subslotBytes = d[5];
      f.bitResolution = d[6];
      const uint8_t freqType = d[7];
      if (freqType == 0) {
        if (len >= 14) {
          f.continuousRates = true;
          f.rates = {Le24(d + 8), Le24(d + 11)};
        }
      } else {
        for (uint8_t i = 0; i < freqType && 8u + 3u * i + 3u <= len; ++i) f.rates.push_back(Le24(d + 8 + 3 * i));
      }
    }
  }
}

void ChooseEndpoints(AltSettingInfo& a, bool v2) {
  for (size_t i = 0; i < a.endpoints.size(); ++i) {
    const EndpointInfo& e = a.endpoints[i];
    if (v2) {
      if (a.dataEndpoint < 0 && (e.Usage() == kUsageData || e.Usage() == kUsageImplicitFeedback)) {
        a.dataEndpoint = static_cast<int>(i);
      } else if (a.feedbackEndpoint < 0 && e.Usage() == kUsageFeedback) {
        a.feedbackEndpoint = static_cast<int>(i);
      }
    }
  }
  if (!v2 && !a.endpoints.empty() && (a.endpoints[0].attributes & 0x10) == 0) {
    a.dataEndpoint = 0;
    const EndpointInfo& data = a.endpoints[0];
    if (data.length >= 9 && data.synchAddress != 0) {
      for (size_t i = 1; i < a.endpoints.size(); ++i) {
        if (a.endpoints[i].address == data.synchAddress) {
          a.feedbackEndpoint = static_cast<int>(i);
          break;
        }
      }
    }
  }
}

}  // namespace

AudioFunctionInfo ParseAudioFunction(const std::vector<uint8_t>& dev, const std::vector<uint8_t>& cfg) {
  AudioFunctionInfo info;
  if (dev.size() >= 18) {
    for (size_t at : {14, 15, 16}) {
      if (dev[at] != 0) info.stringIndices.insert(dev[at]);
    }
  }
  if (cfg.size() < 9 || cfg[1] != kDescConfiguration) {
    info.problems.push_back("no configuration descriptor");
    return info;
  }
  info.configurationValue = cfg[5];
  info.configAttributes = cfg[7];
  if (cfg[6] != 0) info.stringIndices.insert(cfg[6]);

  // First pass: find the audio-control header so the class version is known
  // before the streaming descriptors are read.
  for (size_t off = 0; off + 2 <= cfg.size() && cfg[off] >= 2 && off + cfg[off] <= cfg.size(); off += cfg[off]) {
    const uint8_t* d = &cfg[off];
    if (d[1] == kDescInterface && d[0] >= 9 && IsAudioClass(d[5]) && d[6] == kSubclassAudioControl) {
      const size_t h = off + d[0];
      if (h + 5 <= cfg.size() && cfg[h + 1] == kDescCsInterface && cfg[h + 2] == kAcHeader) {
        info.bcdADC = Le16(&cfg[h + 3]);
      } else if (d[7] == kProtocolAudio20) {
        info.bcdADC = 0x0200;
      }
      break;
    }
  }
  const bool v2 = info.IsAudio20();

  AltSettingInfo* alt = nullptr;
  EndpointInfo* lastEndpoint = nullptr;
  bool inAudioControl = false;
  size_t off = cfg[0] >= 2 ? cfg[0] : 9;
  while (off < cfg.size()) {
    if (off + 2 > cfg.size()) {
      info.problems.push_back("truncated descriptor at offset " + std::to_string(off));
      break;
    }
    const uint8_t len = cfg[off];
    if (len < 2) {
      info.problems.push_back("descriptor with bLength " + std::to_string(len) + " at offset " + std::to_string(off));
      break;
    }
    if (off + len > cfg.size()) {
      info.problems.push_back("descriptor at offset " + std::to_string(off) + " runs past the end");
      break;
    }
    const uint8_t* d = &cfg[off];
    const uint8_t type = d[1];
    if (type == kDescInterface && len >= 9) {
      InterfaceInfo* itf = nullptr;
      for (InterfaceInfo& i : info.interfaces) {
        if (i.number == d[2]) itf = &i;
      }
      if (itf == nullptr) {
        info.interfaces.push_back(InterfaceInfo{});
        itf = &info.interfaces.back();
        itf->number = d[2];
      }
      AltSettingInfo a;
      a.interfaceNumber = d[2];
      a.alternate = d[3];
      a.interfaceClass = d[5];
      a.subClass = d[6];
      a.protocol = d[7];
      if (d[8] != 0) info.stringIndices.insert(d[8]);
      itf->alternates.push_back(a);
      alt = &itf->alternates.back();
      lastEndpoint = nullptr;
      inAudioControl = IsAudioClass(a.interfaceClass) && a.subClass == kSubclassAudioControl;
      if (inAudioControl && info.acInterfaceNumber < 0) info.acInterfaceNumber = a.interfaceNumber;
    } else if (type == kDescInterfaceAssociation && len >= 8) {
      if (d[7] != 0) info.stringIndices.insert(d[7]);
    } else if (type == kDescEndpoint && len >= 7 && alt != nullptr) {
      EndpointInfo e;
      e.length = len;
      e.address = d[2];
      e.attributes = d[3];
      e.wMaxPacketSize = Le16(d + 4);
      e.interval = d[6];
      if (len >= 9) {
        e.refresh = d[7];
        e.synchAddress = d[8];
      }
      alt->endpoints.push_back(e);
      lastEndpoint = &alt->endpoints.back();
    } else if (type == kDescCsInterface && len >= 3 && alt != nullptr) {
      if (inAudioControl) {
        if (d[2] != kAcHeader && len >= 4) {
          EntityInfo ent;
          ent.id = d[3];
          ent.subtype = d[2];
          ent.bytes.assign(d, d + len);
          CollectEntityStrings(ent.bytes, v2, info.stringIndices);
          if (!info.entities.emplace(ent.id, ent).second) {
            info.problems.push_back("duplicate entity ID " + std::to_string(ent.id));
          }
        }
      } else if (IsAudioClass(alt->interfaceClass) && alt->subClass == kSubclassAudioStreaming) {
        ParseStreamDescriptor(d, len, v2, alt->format);
        if (v2 && d[2] == kAsGeneral && len >= 16 && d[15] != 0) info.stringIndices.insert(d[15]);
      }
    } else if (type == kDescCsEndpoint && len >= 4 && lastEndpoint != nullptr && d[2] == kEpGeneral) {
      lastEndpoint->hasCsGeneral = true;
      lastEndpoint->csAttributes = d[3];
    }
    off += len;
  }
  for (InterfaceInfo& i : info.interfaces) {
    for (AltSettingInfo& a : i.alternates) ChooseEndpoints(a, v2);
  }
  return info;
}

}  // namespace sim::usb
