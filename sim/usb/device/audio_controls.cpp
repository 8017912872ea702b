// Class request handling of the simulated audio function. A real device stalls
// requests for controls its descriptors do not announce, for unknown entities
// and for wrong lengths; so does this one.
#include "sim/usb/device/audio_controls.h"

#include <algorithm>
#include <cstring>

#include "sim/usb/device/byte_util.h"
#include "sim/usb/device/playback_stream.h"
#include "sim/usb/device/usb_constants.h"

namespace sim::usb {

namespace {

bool Readable(uint32_t bits) { return (bits & 3) != 0; }
bool Writable(uint32_t bits) { return (bits & 3) == 3; }

XferResult Reply(const std::vector<uint8_t>& bytes, const SetupPacket& s, uint8_t* data, uint32_t* actual) {
  const uint32_t n = std::min<uint32_t>(s.wLength, static_cast<uint32_t>(bytes.size()));
  if (n > 0) std::memcpy(data, bytes.data(), n);
  *actual = n;
  return XferResult::Ok;
}

constexpr uint32_t kStandardRates[] = {8000,  11025, 16000,  22050,  32000,  44100, 48000,
                                       88200, 96000, 176400, 192000, 352800, 384000};

}  // namespace

bool FormatOffersRate(const StreamFormat& f, uint32_t rate) {
  if (f.continuousRates) return f.rates.size() == 2 && rate >= f.rates[0] && rate <= f.rates[1];
  return std::find(f.rates.begin(), f.rates.end(), rate) != f.rates.end();
}

uint32_t FramesPerInterval(uint32_t rate, uint32_t packetInterval, Speed speed) {
  const uint64_t perSecond = speed == Speed::High ? 8000 : 1000;
  return static_cast<uint32_t>((uint64_t{rate} * packetInterval + perSecond - 1) / perSecond);
}

AudioControls::AudioControls(const AudioFunctionInfo& info, const DeviceDefinition& def, uint16_t vendorId)
    : info_(info), vendorId_(vendorId), ranges_(def.clockRanges) {
  if (ranges_.empty()) {
    // A dump carries no clock rates: offer the standard rates that every
    // streaming interface can carry in one of its alternate settings.
    for (uint32_t rate : kStandardRates) {
      bool all = true;
      bool any = false;
      for (const InterfaceInfo& itf : info.interfaces) {
        bool streaming = false;
        bool fits = false;
        for (const AltSettingInfo& a : itf.alternates) {
          const EndpointInfo* e = a.Data();
          if (e == nullptr || a.subClass != kSubclassAudioStreaming) continue;
          streaming = true;
          const uint32_t frame = uint32_t{a.format.channels} * a.format.subslotBytes;
          const uint32_t frames = FramesPerInterval(rate, PacketInterval(*e), def.speed) + 1;
          if (frame > 0 && frames * frame <= e->MaxPacketBytes()) fits = true;
        }
        if (streaming) {
          any = true;
          all = all && fits;
        }
      }
      if (any && all) ranges_.push_back({rate, rate, 0});
    }
    if (ranges_.empty()) ranges_.push_back({48000, 48000, 0});
  }
  const uint32_t initial = RateInRanges(def.initialRate) ? def.initialRate : ranges_.front().min;
  for (const auto& [id, e] : info.entities) {
    if (!info.IsAudio20()) continue;
    if (e.subtype == kAc2ClockSource) {
      clockRates_[id] = initial;
      valid_[id] = true;
    } else if (e.subtype == kAc2ClockSelector) {
      selectors_[id] = 1;
    }
  }
}

bool AudioControls::RateInRanges(uint32_t rate) const {
  for (const RateRange& r : ranges_) {
    if (rate < r.min || rate > r.max) continue;
    if (r.min == r.max || (r.res != 0 && (rate - r.min) % r.res == 0)) return true;
  }
  return false;
}

uint32_t AudioControls::ClockRate(uint8_t clockId) const { return ClockRateAt(clockId, 0); }

uint32_t AudioControls::ClockRateAt(uint8_t clockId, int depth) const {
  const EntityInfo* e = info_.FindEntity(clockId);
  if (e == nullptr || depth > 8) return 0;
  const auto& b = e->bytes;
  if (e->subtype == kAc2ClockSource) {
    auto it = clockRates_.find(clockId);
    return it == clockRates_.end() ? 0 : it->second;
  }
  if (e->subtype == kAc2ClockSelector && b.size() >= 5) {
    const uint8_t sel = SelectorInput(clockId);
    if (sel == 0 || sel > b[4] || 5u + sel > b.size()) return 0;
    return ClockRateAt(b[4 + sel], depth + 1);
  }
  if (e->subtype == kAc2ClockMultiplier && b.size() >= 5) return ClockRateAt(b[4], depth + 1);
  return 0;
}

bool AudioControls::ClockValid(uint8_t clockId) const {
  auto it = valid_.find(clockId);
  return it == valid_.end() || it->second;
}

uint8_t AudioControls::SelectorInput(uint8_t selectorId) const {
  auto it = selectors_.find(selectorId);
  return it == selectors_.end() ? 0 : it->second;
}

bool AudioControls::Connected(uint8_t terminalId) const {
  auto it = connected_.find(terminalId);
  return it == connected_.end() || it->second;
}

bool AudioControls::Mute(uint8_t unitId, uint8_t channel) const {
  auto it = mute_.find(static_cast<uint16_t>(unitId << 8 | channel));
  return it != mute_.end() && it->second;
}

int16_t AudioControls::Volume(uint8_t unitId, uint8_t channel) const {
  auto it = volume_.find(static_cast<uint16_t>(unitId << 8 | channel));
  return it == volume_.end() ? 0 : it->second;
}

uint16_t AudioControls::StreamMode(uint8_t interfaceNumber) const {
  auto it = streamModes_.find(interfaceNumber);
  return it == streamModes_.end() ? 0 : it->second;
}

uint32_t AudioControls::EndpointRate(uint8_t address) const {
  auto it = endpointRates_.find(address);
  return it == endpointRates_.end() ? 0 : it->second;
}

uint32_t AudioControls::StreamRate(const AltSettingInfo& alt) const {
  if (info_.IsAudio20()) {
    const EntityInfo* t = info_.FindEntity(alt.format.terminalLink);
    if (t == nullptr) return 0;
    if (t->subtype == kAcInputTerminal && t->bytes.size() >= 8) return ClockRate(t->bytes[7]);
    if (t->subtype == kAcOutputTerminal && t->bytes.size() >= 9) return ClockRate(t->bytes[8]);
    return 0;
  }
  const EndpointInfo* e = alt.Data();
  if (e != nullptr) {
    const uint32_t set = EndpointRate(e->address);
    if (set != 0 && (alt.format.rates.empty() || FormatOffersRate(alt.format, set))) return set;
  }
  // Without a rate set, a 1.0 device runs at the highest rate the format offers.
  if (alt.format.rates.empty()) return 0;
  return alt.format.continuousRates ? alt.format.rates[1]
                                    : *std::max_element(alt.format.rates.begin(), alt.format.rates.end());
}

uint32_t AudioControls::Channels(uint8_t entityId, int depth) const {
  const EntityInfo* e = info_.FindEntity(entityId);
  if (e == nullptr || depth > 16) return 0;
  const auto& b = e->bytes;
  const bool v2 = info_.IsAudio20();
  switch (e->subtype) {
    case kAcInputTerminal:
      return b.size() > (v2 ? 8u : 7u) ? b[v2 ? 8 : 7] : 0;
    case kAcOutputTerminal:
      return b.size() > 7 ? Channels(b[7], depth + 1) : 0;
    case kAcFeatureUnit:
      if (v2) return b.size() >= 10 ? static_cast<uint32_t>((b.size() - 6) / 4 - 1) : 0;
      return b.size() >= 8 && b[5] != 0 && (b.size() - 7) / b[5] >= 1 ? static_cast<uint32_t>((b.size() - 7) / b[5] - 1)
                                                                       : 0;
    default:
      return b.size() > 4 ? Channels(b[4], depth + 1) : 0;
  }
}

XferResult AudioControls::Handle(const SetupPacket& s, uint8_t* data, uint32_t* actual) {
  *actual = 0;
  const uint8_t type = s.bmRequestType & kTypeMask;
  if (type == kTypeVendor) return Vendor(s, actual);
  if (type != kTypeClass) return XferResult::Stall;
  const uint8_t recipient = s.bmRequestType & kRecipientMask;
  if (recipient == kRecipientEndpoint) return info_.IsAudio20() ? XferResult::Stall : Ac1Endpoint(s, data, actual);
  if (recipient != kRecipientInterface) return XferResult::Stall;
  if (info_.acInterfaceNumber < 0 || (s.wIndex & 0xFF) != info_.acInterfaceNumber) return XferResult::Stall;
  const EntityInfo* e = info_.FindEntity(static_cast<uint8_t>(s.wIndex >> 8));
  if (e == nullptr || (s.wIndex >> 8) == 0) return XferResult::Stall;
  return info_.IsAudio20() ? Ac2Entity(s, *e, data, actual) : Ac1Entity(s, *e, data, actual);
}

XferResult AudioControls::Ac2Entity(const SetupPacket& s, const EntityInfo& e, uint8_t* data, uint32_t* actual) {
  const bool get = (s.bmRequestType & kDirIn) != 0;
  const uint8_t cs = static_cast<uint8_t>(s.wValue >> 8);
  const uint8_t cn = static_cast<uint8_t>(s.wValue & 0xFF);
  const bool cur = s.bRequest == kAc2Cur;
  const bool range = s.bRequest == kAc2Range && get;
  if (!cur && !range) return XferResult::Stall;
  const auto& b = e.bytes;
  std::vector<uint8_t> out;
  switch (e.subtype) {
    case kAc2ClockSource: {
      if (b.size() < 8 || cn != 0) return XferResult::Stall;
      const uint8_t controls = b[5];
      if (cs == kCsSamFreqControl) {
        if (!Readable(controls)) return XferResult::Stall;
        if (range) {
          if (s.wLength < 2) return XferResult::Stall;
          AppendLe16(out, static_cast<uint16_t>(ranges_.size()));
          for (const RateRange& r : ranges_) {
            AppendLe32(out, r.min);
            AppendLe32(out, r.max);
            AppendLe32(out, r.res);
          }
          return Reply(out, s, data, actual);
        }
        if (s.wLength != 4) return XferResult::Stall;
        if (get) {
          AppendLe32(out, clockRates_[e.id]);
          return Reply(out, s, data, actual);
        }
        const uint32_t rate = Le32(data);
        if (!Writable(controls) || !RateInRanges(rate)) return XferResult::Stall;
        clockRates_[e.id] = rate;
        *actual = 4;
        return XferResult::Ok;
      }
      if (cs == kCsClockValidControl && cur && get && Readable(controls >> 2) && s.wLength == 1) {
        out.push_back(ClockValid(e.id) ? 1 : 0);
        return Reply(out, s, data, actual);
      }
      return XferResult::Stall;
    }
    case kAc2ClockSelector: {
      if (b.size() < 7 || b.size() < 7u + b[4] || cn != 0 || cs != kCxClockSelectorControl || !cur ||
          s.wLength != 1) {
        return XferResult::Stall;
      }
      const uint8_t pins = b[4];
      const uint8_t controls = b[5 + pins];
      if (get) {
        if (!Readable(controls)) return XferResult::Stall;
        out.push_back(SelectorInput(e.id));
        return Reply(out, s, data, actual);
      }
      if (!Writable(controls) || data[0] == 0 || data[0] > pins) return XferResult::Stall;
      selectors_[e.id] = data[0];
      *actual = 1;
      return XferResult::Ok;
    }
    case kAcFeatureUnit: {
      if (b.size() < 10) return XferResult::Stall;
      const size_t channels = (b.size() - 6) / 4;
      if (cn >= channels) return XferResult::Stall;
      const uint32_t bma = Le32(&b[5 + 4 * cn]);
      if (cs == kFuMuteControl) {
        if (!cur || !Readable(bma) || s.wLength != 1) return XferResult::Stall;
        const uint16_t key = static_cast<uint16_t>(e.id << 8 | cn);
        if (get) {
          out.push_back(mute_[key] ? 1 : 0);
          return Reply(out, s, data, actual);
        }
        if (!Writable(bma)) return XferResult::Stall;
        mute_[key] = data[0] != 0;
        *actual = 1;
        return XferResult::Ok;
      }
      if (cs == kFuVolumeControl) {
        if (!Readable(bma >> 2)) return XferResult::Stall;
        const uint8_t request = range ? kAc2Range : (get ? kAc1GetCur : kAc1SetCur);
        return FeatureVolume(s, request, e.id, cn, Writable(bma >> 2), data, actual);
      }
      return XferResult::Stall;
    }
    case kAcInputTerminal:
    case kAcOutputTerminal: {
      const bool input = e.subtype == kAcInputTerminal;
      if (b.size() < (input ? 17u : 12u)) return XferResult::Stall;
      const uint16_t controls = Le16(&b[input ? 14 : 9]);
      if (cs != kTeConnectorControl || !cur || !get || cn != 0 || !Readable(controls >> 2) || s.wLength != 6) {
        return XferResult::Stall;
      }
      const bool connected = Connected(e.id);
      out.push_back(connected ? static_cast<uint8_t>(Channels(e.id, 0)) : 0);
      AppendLe32(out, connected && input ? Le32(&b[9]) : 0);
      out.push_back(connected && input ? b[13] : 0);
      return Reply(out, s, data, actual);
    }
    default:
      return XferResult::Stall;
  }
}

XferResult AudioControls::FeatureVolume(const SetupPacket& s, uint8_t request, uint8_t unit, uint8_t channel,
                                        bool writable, uint8_t* data, uint32_t* actual) {
  const uint16_t key = static_cast<uint16_t>(unit << 8 | channel);
  std::vector<uint8_t> out;
  switch (request) {
    case kAc2Range:
      if (s.wLength < 2) return XferResult::Stall;
      AppendLe16(out, 1);
      AppendLe16(out, static_cast<uint16_t>(kVolumeMin));
      AppendLe16(out, static_cast<uint16_t>(kVolumeMax));
      AppendLe16(out, static_cast<uint16_t>(kVolumeRes));
      return Reply(out, s, data, actual);
    case kAc1GetCur:
    case kAc1GetMin:
    case kAc1GetMax:
    case kAc1GetRes: {
      if (s.wLength != 2) return XferResult::Stall;
      const int16_t v = request == kAc1GetCur ? volume_[key]
                        : request == kAc1GetMin ? kVolumeMin
                        : request == kAc1GetMax ? kVolumeMax
                                                : kVolumeRes;
      AppendLe16(out, static_cast<uint16_t>(v));
      return Reply(out, s, data, actual);
    }
    case kAc1SetCur: {
      if (s.wLength != 2 || !writable) return XferResult::Stall;
      // Like most devices: clamp to the range and round down to its steps.
      int32_t v = static_cast<int16_t>(Le16(data));
      v = std::clamp<int32_t>(v, kVolumeMin, kVolumeMax);
      v = kVolumeMin + (v - kVolumeMin) / kVolumeRes * kVolumeRes;
      volume_[key] = static_cast<int16_t>(v);
      *actual = 2;
      return XferResult::Ok;
    }
    default:
      return XferResult::Stall;
  }
}

XferResult AudioControls::Ac1Entity(const SetupPacket& s, const EntityInfo& e, uint8_t* data, uint32_t* actual) {
  const auto& b = e.bytes;
  if (e.subtype != kAcFeatureUnit || b.size() < 8 || b[5] == 0) return XferResult::Stall;
  const uint8_t size = b[5];
  const size_t channels = (b.size() - 7) / size;
  const uint8_t cs = static_cast<uint8_t>(s.wValue >> 8);
  const uint8_t cn = static_cast<uint8_t>(s.wValue & 0xFF);
  const bool get = (s.bmRequestType & kDirIn) != 0;
  if (cn >= channels || get != ((s.bRequest & 0x80) != 0)) return XferResult::Stall;
  uint32_t bma = 0;
  for (uint8_t i = 0; i < size && i < 4; ++i) bma |= static_cast<uint32_t>(b[6 + cn * size + i]) << (8 * i);
  if (cs == kFuMuteControl) {
    if ((bma & 1) == 0 || s.wLength != 1) return XferResult::Stall;
    const uint16_t key = static_cast<uint16_t>(e.id << 8 | cn);
    if (s.bRequest == kAc1GetCur) {
      data[0] = mute_[key] ? 1 : 0;
      *actual = 1;
      return XferResult::Ok;
    }
    if (s.bRequest != kAc1SetCur) return XferResult::Stall;
    mute_[key] = data[0] != 0;
    *actual = 1;
    return XferResult::Ok;
  }
  const bool known = s.bRequest == kAc1SetCur || (s.bRequest >= kAc1GetCur && s.bRequest <= kAc1GetRes);
  if (cs == kFuVolumeControl && (bma & 2) != 0 && known) {
    return FeatureVolume(s, s.bRequest, e.id, cn, true, data, actual);
  }
  return XferResult::Stall;
}

XferResult AudioControls::Ac1Endpoint(const SetupPacket& s, uint8_t* data, uint32_t* actual) {
  const uint8_t address = static_cast<uint8_t>(s.wIndex & 0xFF);
  const bool get = (s.bmRequestType & kDirIn) != 0;
  if (s.wValue != (kAc1SamplingFreqControl << 8) || s.wLength != 3 || get != ((s.bRequest & 0x80) != 0)) {
    return XferResult::Stall;
  }
  // Every alternate setting that carries the endpoint with the control.
  std::vector<const AltSettingInfo*> owners;
  for (const InterfaceInfo& itf : info_.interfaces) {
    for (const AltSettingInfo& a : itf.alternates) {
      const EndpointInfo* d = a.Data();
      if (d != nullptr && d->address == address && d->hasCsGeneral && (d->csAttributes & 1) != 0) {
        owners.push_back(&a);
      }
    }
  }
  if (owners.empty()) return XferResult::Stall;
  uint32_t lo = UINT32_MAX;
  uint32_t hi = 0;
  for (const AltSettingInfo* a : owners) {
    for (uint32_t r : a->format.rates) {
      lo = std::min(lo, r);
      hi = std::max(hi, r);
    }
  }
  uint32_t value = 0;
  switch (s.bRequest) {
    case kAc1SetCur: {
      const uint32_t rate = Le24(data);
      const bool offered = std::any_of(owners.begin(), owners.end(),
                                       [&](const AltSettingInfo* a) { return FormatOffersRate(a->format, rate); });
      if (!offered) return XferResult::Stall;
      endpointRates_[address] = rate;
      *actual = 3;
      return XferResult::Ok;
    }
    case kAc1GetCur:
      value = EndpointRate(address);
      if (value == 0) value = StreamRate(*owners.front());
      break;
    case kAc1GetMin:
      value = lo;
      break;
    case kAc1GetMax:
      value = hi;
      break;
    default:
      return XferResult::Stall;
  }
  PutLe24(data, value);
  *actual = 3;
  return XferResult::Ok;
}

XferResult AudioControls::Vendor(const SetupPacket& s, uint32_t* actual) {
  // The stream-mode request of this vendor's firmware; anything else is unknown.
  if (vendorId_ != kStreamModeVendor || s.bmRequestType != 0x41 || s.bRequest != 0 || s.wLength != 0) {
    return XferResult::Stall;
  }
  if (s.wIndex > 0xFF || info_.FindInterface(static_cast<uint8_t>(s.wIndex)) == nullptr) return XferResult::Stall;
  streamModes_[static_cast<uint8_t>(s.wIndex)] = s.wValue;
  *actual = 0;
  return XferResult::Ok;
}

}  // namespace sim::usb
