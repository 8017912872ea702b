// Fault bookkeeping.
#include "sim/usb/device/fault_injector.h"

namespace sim::usb {

bool FaultInjector::TakeControlStall(const SetupPacket& s) {
  for (auto it = stalls_.begin(); it != stalls_.end(); ++it) {
    const ControlFilter& f = *it;
    if ((f.bmRequestType && *f.bmRequestType != s.bmRequestType) || (f.bRequest && *f.bRequest != s.bRequest) ||
        (f.wValue && *f.wValue != s.wValue) || (f.wIndex && *f.wIndex != s.wIndex)) {
      continue;
    }
    if (f.once) stalls_.erase(it);
    ++stallsInjected_;
    return true;
  }
  return false;
}

void FaultInjector::GlitchPacketSize(uint8_t endpoint, int32_t deltaBytes, uint32_t count) {
  glitches_[endpoint] = Glitch{deltaBytes, count};
}

int32_t FaultInjector::TakeSizeGlitch(uint8_t endpoint) {
  auto it = glitches_.find(endpoint);
  if (it == glitches_.end() || it->second.count == 0) return 0;
  --it->second.count;
  return it->second.delta;
}

void FaultInjector::TakeFeedbackForgery(uint8_t endpoint, uint32_t* value, int32_t* bytes) {
  auto it = forgeries_.find(endpoint);
  if (it == forgeries_.end() || it->second.count == 0) return;
  --it->second.count;
  switch (it->second.kind) {
    case FeedbackForgery::Zero: *value = 0; break;
    case FeedbackForgery::Garbled:
      garble_ ^= garble_ << 13;
      garble_ ^= garble_ >> 17;
      garble_ ^= garble_ << 5;
      *value = garble_;
      break;
    case FeedbackForgery::Doubled: *value *= 2; break;
    case FeedbackForgery::FullSpeedFormat:
      // Eight microframes to the millisecond, 16.16 to 10.14.
      *value = (*value * 8) >> 2;
      *bytes = 3;
      break;
  }
}

bool FaultInjector::Take(std::map<uint8_t, uint32_t>& m, uint8_t endpoint) {
  auto it = m.find(endpoint);
  if (it == m.end() || it->second == 0) return false;
  --it->second;
  return true;
}

}  // namespace sim::usb
