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

bool FaultInjector::Take(std::map<uint8_t, uint32_t>& m, uint8_t endpoint) {
  auto it = m.find(endpoint);
  if (it == m.end() || it->second == 0) return false;
  --it->second;
  return true;
}

}  // namespace sim::usb
