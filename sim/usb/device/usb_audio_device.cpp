// The simulated audio device: USB chapter 9 device state, request dispatch,
// and the per-interval streaming that ties the clock, the playback buffers,
// the loopback line and the capture streams together.
#include "sim/usb/device/usb_audio_device.h"

#include <algorithm>
#include <cstring>

#include "sim/usb/device/byte_util.h"
#include "sim/usb/device/usb_constants.h"

namespace sim::usb {

namespace {

uint16_t DescriptorVendor(const std::vector<uint8_t>& dev) { return dev.size() >= 18 ? Le16(&dev[8]) : 0; }

XferResult Reply(const uint8_t* bytes, size_t size, const SetupPacket& s, uint8_t* data, uint32_t* actual) {
  const uint32_t n = static_cast<uint32_t>(std::min<size_t>(s.wLength, size));
  if (n > 0) std::memcpy(data, bytes, n);
  *actual = n;
  return XferResult::Ok;
}

}  // namespace

UsbAudioDevice::UsbAudioDevice(DeviceDefinition definition)
    : def_(std::move(definition)),
      info_(ParseAudioFunction(def_.deviceDescriptor, def_.configurationDescriptor)),
      strings_(def_.strings),
      controls_(info_, def_, DescriptorVendor(def_.deviceDescriptor)),
      clock_(def_.speed) {
  for (const InterfaceInfo& itf : info_.interfaces) {
    for (const AltSettingInfo& a : itf.alternates) {
      const EndpointInfo* e = a.Data();
      if (e == nullptr || a.subClass != kSubclassAudioStreaming ||
          (a.interfaceClass != kClassAudio && a.interfaceClass != kClassVendor)) {
        continue;
      }
      if (e->IsIn()) {
        capture_.emplace_back(itf.number);
      } else {
        playback_.emplace_back(itf.number, def_.speed, def_.playbackLengthHeader);
      }
      break;
    }
  }
}

bool UsbAudioDevice::IsAttached() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return !faults_.Unplugged();
}

// ---- endpoint 0 ----

XferResult UsbAudioDevice::Control(const SetupPacket& s, uint8_t* data, uint32_t* actual) {
  std::lock_guard<std::mutex> lock(mutex_);
  *actual = 0;
  if (faults_.Unplugged()) return XferResult::NotResponding;
  ++deviceCounters_.controlRequests;
  XferResult r;
  if (data == nullptr && s.wLength > 0) {
    r = XferResult::Stall;  // a data stage without a buffer: refuse rather than touch it
  } else if (faults_.TakeControlStall(s)) {
    ++deviceCounters_.injectedStalls;
    r = XferResult::Stall;
  } else if ((s.bmRequestType & kTypeMask) == kTypeStandard) {
    r = Standard(s, data, actual);
  } else if (configuration_ == 0) {
    r = XferResult::Stall;  // class and vendor requests need a configured device
  } else {
    r = controls_.Handle(s, data, actual);
  }
  if (r == XferResult::Stall) {
    ++deviceCounters_.controlStalls;
    *actual = 0;
  }
  return r;
}

XferResult UsbAudioDevice::GetDescriptor(const SetupPacket& s, uint8_t* data, uint32_t* actual) {
  const uint8_t type = static_cast<uint8_t>(s.wValue >> 8);
  const uint8_t index = static_cast<uint8_t>(s.wValue & 0xFF);
  const auto& dev = def_.deviceDescriptor;
  const auto& cfg = def_.configurationDescriptor;
  switch (type) {
    case kDescDevice: return Reply(dev.data(), dev.size(), s, data, actual);
    case kDescConfiguration:
      if (index != 0) return XferResult::Stall;
      return Reply(cfg.data(), cfg.size(), s, data, actual);
    case kDescString: {
      auto d = strings_.Descriptor(index);
      if (!d) return XferResult::Stall;
      return Reply(d->data(), d->size(), s, data, actual);
    }
    case kDescDeviceQualifier: {
      // Only a high-speed capable device has one.
      if (def_.speed != Speed::High || dev.size() < 18) return XferResult::Stall;
      const uint8_t q[10] = {10, kDescDeviceQualifier, dev[2], dev[3], dev[4], dev[5], dev[6], dev[7], dev[17], 0};
      return Reply(q, sizeof q, s, data, actual);
    }
    default: return XferResult::Stall;
  }
}

XferResult UsbAudioDevice::Standard(const SetupPacket& s, uint8_t* data, uint32_t* actual) {
  const uint8_t recipient = s.bmRequestType & kRecipientMask;
  const bool in = (s.bmRequestType & kDirIn) != 0;
  switch (s.bRequest) {
    case kReqGetDescriptor:
      if (!in || recipient != kRecipientDevice) return XferResult::Stall;
      return GetDescriptor(s, data, actual);
    case kReqSetAddress:
      if (in || recipient != kRecipientDevice || s.wValue > 127) return XferResult::Stall;
      return XferResult::Ok;
    case kReqGetConfiguration:
      if (!in || s.wLength != 1) return XferResult::Stall;
      return Reply(&configuration_, 1, s, data, actual);
    case kReqSetConfiguration: {
      const uint8_t value = static_cast<uint8_t>(s.wValue & 0xFF);
      if (in || (value != 0 && value != info_.configurationValue)) return XferResult::Stall;
      SetConfiguration(value);
      return XferResult::Ok;
    }
    case kReqGetInterface: {
      if (!in || recipient != kRecipientInterface || configuration_ == 0 || s.wLength != 1 ||
          info_.FindInterface(static_cast<uint8_t>(s.wIndex)) == nullptr || s.wIndex > 0xFF) {
        return XferResult::Stall;
      }
      const uint8_t alt = alternates_[static_cast<uint8_t>(s.wIndex)];
      return Reply(&alt, 1, s, data, actual);
    }
    case kReqSetInterface: {
      const InterfaceInfo* itf = s.wIndex > 0xFF ? nullptr : info_.FindInterface(static_cast<uint8_t>(s.wIndex));
      if (in || recipient != kRecipientInterface || configuration_ == 0 || itf == nullptr || s.wValue > 0xFF ||
          itf->Find(static_cast<uint8_t>(s.wValue)) == nullptr) {
        return XferResult::Stall;
      }
      SelectAlternate(itf->number, static_cast<uint8_t>(s.wValue));
      return XferResult::Ok;
    }
    case kReqGetStatus: {
      if (!in || s.wLength != 2 || s.wValue != 0) return XferResult::Stall;
      uint8_t status[2] = {0, 0};
      if (recipient == kRecipientDevice) {
        status[0] = static_cast<uint8_t>(((info_.configAttributes & 0x40) ? 1 : 0) | (remoteWakeup_ ? 2 : 0));
      } else if (recipient == kRecipientInterface) {
        if (configuration_ == 0 || s.wIndex > 0xFF || !info_.FindInterface(static_cast<uint8_t>(s.wIndex))) {
          return XferResult::Stall;
        }
      } else if (recipient == kRecipientEndpoint) {
        const uint8_t ep = static_cast<uint8_t>(s.wIndex);
        if ((ep & 0x7F) != 0 && !EndpointActive(ep)) return XferResult::Stall;
        status[0] = halted_.count(ep) ? 1 : 0;
      } else {
        return XferResult::Stall;
      }
      return Reply(status, 2, s, data, actual);
    }
    case kReqClearFeature:
    case kReqSetFeature: {
      const bool set = s.bRequest == kReqSetFeature;
      if (in || s.wLength != 0) return XferResult::Stall;
      if (recipient == kRecipientDevice && s.wValue == kFeatureRemoteWakeup) {
        remoteWakeup_ = set;
        return XferResult::Ok;
      }
      if (recipient == kRecipientEndpoint && s.wValue == kFeatureEndpointHalt) {
        const uint8_t ep = static_cast<uint8_t>(s.wIndex);
        if ((ep & 0x7F) == 0) return XferResult::Ok;
        if (!EndpointActive(ep)) return XferResult::Stall;
        if (set) {
          halted_.insert(ep);
        } else {
          halted_.erase(ep);
        }
        return XferResult::Ok;
      }
      return XferResult::Stall;
    }
    default: return XferResult::Stall;
  }
}

void UsbAudioDevice::SetConfiguration(uint8_t value) {
  configuration_ = value;
  alternates_.clear();
  halted_.clear();
  for (const InterfaceInfo& itf : info_.interfaces) alternates_[itf.number] = 0;
  for (PlaybackStream& p : playback_) {
    const InterfaceInfo* itf = info_.FindInterface(p.InterfaceNumber());
    const AltSettingInfo* a = value != 0 && itf ? itf->Find(0) : nullptr;
    p.Select(a, a ? controls_.StreamRate(*a) : 0);
  }
  for (CaptureStream& c : capture_) {
    const InterfaceInfo* itf = info_.FindInterface(c.InterfaceNumber());
    c.Select(value != 0 && itf ? itf->Find(0) : nullptr);
  }
  ResetLoopback();
}

void UsbAudioDevice::SelectAlternate(uint8_t interfaceNumber, uint8_t alternate) {
  const InterfaceInfo* itf = info_.FindInterface(interfaceNumber);
  const AltSettingInfo* a = itf->Find(alternate);
  // Endpoints of the interface leave any halt behind with the old setting.
  for (const AltSettingInfo& other : itf->alternates) {
    for (const EndpointInfo& e : other.endpoints) halted_.erase(e.address);
  }
  alternates_[interfaceNumber] = alternate;
  for (size_t i = 0; i < playback_.size(); ++i) {
    if (playback_[i].InterfaceNumber() != interfaceNumber) continue;
    playback_[i].Select(a, controls_.StreamRate(*a));
    if (i == 0) ResetLoopback();
  }
  for (CaptureStream& c : capture_) {
    if (c.InterfaceNumber() == interfaceNumber) c.Select(a);
  }
}

void UsbAudioDevice::ResetLoopback() {
  const uint32_t channels = playback_.empty() ? 0 : playback_[0].Channels();
  loopback_.Reset(channels, loopbackDelay_);
}

bool UsbAudioDevice::EndpointActive(uint8_t address) const {
  if (configuration_ == 0) return false;
  for (const InterfaceInfo& itf : info_.interfaces) {
    auto it = alternates_.find(itf.number);
    const AltSettingInfo* a = itf.Find(it == alternates_.end() ? 0 : it->second);
    if (a == nullptr) continue;
    for (const EndpointInfo& e : a->endpoints) {
      if (e.address == address) return true;
    }
  }
  return false;
}

// ---- streaming ----

PlaybackStream* UsbAudioDevice::PlaybackByData(uint8_t address) {
  for (PlaybackStream& p : playback_) {
    if (p.Active() && p.DataAddress() == address) return &p;
  }
  return nullptr;
}

PlaybackStream* UsbAudioDevice::PlaybackByFeedback(uint8_t address) {
  for (PlaybackStream& p : playback_) {
    if (p.Active() && p.FeedbackAddress() == address) return &p;
  }
  return nullptr;
}

CaptureStream* UsbAudioDevice::CaptureByData(uint8_t address) {
  for (CaptureStream& c : capture_) {
    if (c.Active() && c.DataAddress() == address) return &c;
  }
  return nullptr;
}

bool UsbAudioDevice::WantsBusIntervals() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (faults_.Unplugged()) return false;
  for (const PlaybackStream& p : playback_) {
    if (p.Active()) return true;
  }
  for (const CaptureStream& c : capture_) {
    if (c.Active()) return true;
  }
  return false;
}

void UsbAudioDevice::OnBusInterval(uint64_t interval) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (faults_.Unplugged()) return;
  if (haveInterval_ && interval <= lastInterval_) return;
  haveInterval_ = true;
  lastInterval_ = interval;
  clock_.BeginInterval(interval);
  // Playback runs first so that the loopback line holds this interval's
  // frames when capture takes its own.
  bool fed = false;
  for (size_t i = 0; i < playback_.size(); ++i) {
    PlaybackStream& p = playback_[i];
    if (!p.Active()) continue;
    const uint32_t rate = controls_.StreamRate(*p.Alternate());
    played_.clear();
    p.Tick(clock_.Frames(rate), rate, i == 0 ? &played_ : nullptr);
    if (i == 0 && p.Channels() > 0) {
      loopback_.Push(played_.data(), static_cast<uint32_t>(played_.size() / p.Channels()));
      fed = true;
    }
  }
  for (size_t i = 0; i < capture_.size(); ++i) {
    CaptureStream& c = capture_[i];
    if (!c.Active()) continue;
    const uint32_t rate = controls_.StreamRate(*c.Alternate());
    const uint32_t frames = clock_.Frames(rate);
    if (i == 0 && !fed) loopback_.Push(nullptr, frames);
    c.Tick(frames, rate, content_, i == 0 ? &loopback_ : nullptr);
  }
}

XferResult UsbAudioDevice::PacketOut(uint8_t endpointAddress, const uint8_t* data, uint32_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (faults_.Unplugged()) return XferResult::NotResponding;
  if (halted_.count(endpointAddress)) return XferResult::Stall;
  if (data == nullptr) length = 0;  // nothing to read from
  PlaybackStream* p = PlaybackByData(endpointAddress);
  if (p == nullptr) {
    // Isochronous OUT has no handshake: a packet nobody listens to just vanishes.
    ++deviceCounters_.unknownEndpointPackets;
    return XferResult::Ok;
  }
  if (faults_.TakePacketError(endpointAddress)) {
    p->CountInjected(false);
    return XferResult::PacketError;
  }
  return p->Receive(data, length);
}

XferResult UsbAudioDevice::PacketIn(uint8_t endpointAddress, uint8_t* data, uint32_t maxLength, uint32_t* actual) {
  std::lock_guard<std::mutex> lock(mutex_);
  *actual = 0;
  if (faults_.Unplugged()) return XferResult::NotResponding;
  if (halted_.count(endpointAddress)) return XferResult::Stall;
  if (data == nullptr) maxLength = 0;  // nowhere to write: the frames are lost
  if (CaptureStream* c = CaptureByData(endpointAddress)) {
    if (faults_.TakeDrop(endpointAddress)) {
      c->Discard();
      c->CountInjected(true);
      return XferResult::NotResponding;
    }
    if (faults_.TakePacketError(endpointAddress)) {
      c->Discard();
      c->CountInjected(false);
      return XferResult::PacketError;
    }
    return c->Send(data, maxLength, actual, faults_.TakeSizeGlitch(endpointAddress));
  }
  if (PlaybackStream* p = PlaybackByFeedback(endpointAddress)) {
    if (faults_.TakeDrop(endpointAddress)) {
      p->CountInjected(true);
      return XferResult::NotResponding;
    }
    if (faults_.TakePacketError(endpointAddress)) {
      p->CountInjected(false);
      return XferResult::PacketError;
    }
    const uint32_t rate = controls_.StreamRate(*p->Alternate());
    int32_t bytes = static_cast<int32_t>(clock_.FeedbackBytes()) + faults_.TakeSizeGlitch(endpointAddress);
    uint32_t value = clock_.FeedbackValue(rate);
    faults_.TakeFeedbackForgery(endpointAddress, &value, &bytes);
    return p->SendFeedback(data, maxLength, actual, value, static_cast<uint32_t>(std::max(bytes, 0)));
  }
  ++deviceCounters_.unknownEndpointPackets;
  return XferResult::NotResponding;
}

// ---- identity and state ----

uint16_t UsbAudioDevice::VendorId() const { return DescriptorVendor(def_.deviceDescriptor); }

uint16_t UsbAudioDevice::ProductId() const {
  return def_.deviceDescriptor.size() >= 18 ? Le16(&def_.deviceDescriptor[10]) : 0;
}

std::string UsbAudioDevice::SerialNumber() const {
  if (def_.deviceDescriptor.size() < 18) return {};
  auto it = def_.strings.find(def_.deviceDescriptor[16]);
  return it == def_.strings.end() || def_.deviceDescriptor[16] == 0 ? std::string() : it->second;
}

uint8_t UsbAudioDevice::CurrentConfiguration() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return configuration_;
}

uint8_t UsbAudioDevice::CurrentAlternate(uint8_t interfaceNumber) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = alternates_.find(interfaceNumber);
  return it == alternates_.end() ? 0 : it->second;
}

uint16_t UsbAudioDevice::StreamMode(uint8_t interfaceNumber) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return controls_.StreamMode(interfaceNumber);
}

uint32_t UsbAudioDevice::ClockRate(uint8_t clockId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return controls_.ClockRate(clockId);
}

uint32_t UsbAudioDevice::EndpointRate(uint8_t endpointAddress) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return controls_.EndpointRate(endpointAddress);
}

uint8_t UsbAudioDevice::SelectorInput(uint8_t selectorId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return controls_.SelectorInput(selectorId);
}

bool UsbAudioDevice::Mute(uint8_t unitId, uint8_t channel) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return controls_.Mute(unitId, channel);
}

int16_t UsbAudioDevice::Volume(uint8_t unitId, uint8_t channel) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return controls_.Volume(unitId, channel);
}

std::vector<StreamInfo> UsbAudioDevice::Streams() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<StreamInfo> out;
  for (const PlaybackStream& p : playback_) {
    StreamInfo s;
    s.interfaceNumber = p.InterfaceNumber();
    s.playback = true;
    s.alternate = p.Alternate() ? p.Alternate()->alternate : 0;
    s.dataEndpoint = p.DataAddress();
    s.feedbackEndpoint = p.FeedbackAddress();
    s.channels = p.Channels();
    s.subslotBytes = p.SubslotBytes();
    s.rate = p.Alternate() ? controls_.StreamRate(*p.Alternate()) : 0;
    out.push_back(s);
  }
  for (const CaptureStream& c : capture_) {
    StreamInfo s;
    s.interfaceNumber = c.InterfaceNumber();
    s.alternate = c.Alternate() ? c.Alternate()->alternate : 0;
    s.dataEndpoint = c.DataAddress();
    s.channels = c.Channels();
    s.subslotBytes = c.SubslotBytes();
    s.rate = c.Alternate() ? controls_.StreamRate(*c.Alternate()) : 0;
    out.push_back(s);
  }
  return out;
}

// ---- test controls ----

void UsbAudioDevice::SetDriftPpm(double ppm) {
  std::lock_guard<std::mutex> lock(mutex_);
  clock_.SetDriftPpm(ppm);
}

double UsbAudioDevice::DriftPpm() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return clock_.DriftPpm();
}

void UsbAudioDevice::SetClockValid(uint8_t clockId, bool valid) {
  std::lock_guard<std::mutex> lock(mutex_);
  controls_.SetClockValid(clockId, valid);
}

bool UsbAudioDevice::ClockValid(uint8_t clockId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return controls_.ClockValid(clockId);
}

void UsbAudioDevice::SetConnectorConnected(uint8_t terminalId, bool connected) {
  std::lock_guard<std::mutex> lock(mutex_);
  controls_.SetConnected(terminalId, connected);
}

void UsbAudioDevice::SetBufferLevels(uint32_t startFrames, uint32_t capacityFrames) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (PlaybackStream& p : playback_) p.SetBufferLevels(startFrames, capacityFrames);
}

void UsbAudioDevice::SetCaptureSource(CaptureSource source) {
  std::lock_guard<std::mutex> lock(mutex_);
  content_.source = source;
}

void UsbAudioDevice::SetSineFrequency(double hz) {
  std::lock_guard<std::mutex> lock(mutex_);
  content_.sineHz = hz;
}

void UsbAudioDevice::SetLoopbackDelay(uint32_t frames) {
  std::lock_guard<std::mutex> lock(mutex_);
  loopbackDelay_ = frames;
  ResetLoopback();
}

void UsbAudioDevice::SetLoopbackMap(std::vector<int> map) {
  std::lock_guard<std::mutex> lock(mutex_);
  content_.map = std::move(map);
}

void UsbAudioDevice::SetRecordingCap(uint64_t frames) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (PlaybackStream& p : playback_) p.SetRecordingCap(frames);
}

Recording UsbAudioDevice::GetRecording(uint8_t interfaceNumber) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const PlaybackStream& p : playback_) {
    if (p.InterfaceNumber() == interfaceNumber) return p.GetRecording();
  }
  return {};
}

void UsbAudioDevice::ClearRecording(uint8_t interfaceNumber) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (PlaybackStream& p : playback_) {
    if (p.InterfaceNumber() == interfaceNumber) p.ClearRecording();
  }
}

StreamCounters UsbAudioDevice::Counters(uint8_t interfaceNumber) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const PlaybackStream& p : playback_) {
    if (p.InterfaceNumber() == interfaceNumber) return p.Counters();
  }
  for (const CaptureStream& c : capture_) {
    if (c.InterfaceNumber() == interfaceNumber) return c.Counters();
  }
  return {};
}

StreamCounters UsbAudioDevice::PlaybackCounters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return playback_.empty() ? StreamCounters{} : playback_[0].Counters();
}

StreamCounters UsbAudioDevice::CaptureCounters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return capture_.empty() ? StreamCounters{} : capture_[0].Counters();
}

DeviceCounters UsbAudioDevice::GetDeviceCounters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return deviceCounters_;
}

uint64_t UsbAudioDevice::LastInterval() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastInterval_;
}

// ---- faults ----

void UsbAudioDevice::StallControl(const ControlFilter& filter) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.StallControl(filter);
}

void UsbAudioDevice::ClearControlStalls() {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.ClearControlStalls();
}

void UsbAudioDevice::InjectPacketErrors(uint8_t endpointAddress, uint32_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.InjectPacketErrors(endpointAddress, count);
}

void UsbAudioDevice::DropInPackets(uint8_t endpointAddress, uint32_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.DropInPackets(endpointAddress, count);
}

void UsbAudioDevice::GlitchPacketSize(uint8_t endpointAddress, int32_t deltaBytes, uint32_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.GlitchPacketSize(endpointAddress, deltaBytes, count);
}

void UsbAudioDevice::ForgeFeedback(uint8_t endpointAddress, FeedbackForgery kind, uint32_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.ForgeFeedback(endpointAddress, kind, count);
}

void UsbAudioDevice::Unplug() {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.Unplug();
}

}  // namespace sim::usb
