// Device-side faults that tests switch on: stalled control requests, packet
// errors, unanswered IN packets, packet size glitches and unplugging.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "sim/usb/device/usb_device.h"

namespace sim::usb {

// Which control requests to stall; unset fields match anything.
struct ControlFilter {
  std::optional<uint8_t> bmRequestType;
  std::optional<uint8_t> bRequest;
  std::optional<uint16_t> wValue;
  std::optional<uint16_t> wIndex;
  bool once = true;  // false: every matching request until cleared
};

// What a faulty feedback endpoint sends instead of its measured rate.
enum class FeedbackForgery {
  Zero,             // a value of 0
  Garbled,          // bits that mean nothing
  Doubled,          // twice the rate: a valid encoding, an impossible value
  FullSpeedFormat,  // at high speed: frames per 1-ms frame in 10.14, 3 bytes
};

class FaultInjector {
 public:
  void StallControl(const ControlFilter& filter) { stalls_.push_back(filter); }
  void ClearControlStalls() { stalls_.clear(); }
  // True when the request must be stalled; a matching one-shot filter is used up.
  bool TakeControlStall(const SetupPacket& s);

  void InjectPacketErrors(uint8_t endpoint, uint32_t count) { errors_[endpoint] += count; }
  bool TakePacketError(uint8_t endpoint) { return Take(errors_, endpoint); }
  void DropInPackets(uint8_t endpoint, uint32_t count) { drops_[endpoint] += count; }
  bool TakeDrop(uint8_t endpoint) { return Take(drops_, endpoint); }
  // The next `count` IN packets of the endpoint come out deltaBytes longer
  // (or, negative, shorter) than they should.
  void GlitchPacketSize(uint8_t endpoint, int32_t deltaBytes, uint32_t count);
  int32_t TakeSizeGlitch(uint8_t endpoint);

  // The next `count` feedback packets of the endpoint are forged.
  void ForgeFeedback(uint8_t endpoint, FeedbackForgery kind, uint32_t count) { forgeries_[endpoint] = {kind, count}; }
  // Rewrites the value and length about to be sent when a forgery is pending.
  void TakeFeedbackForgery(uint8_t endpoint, uint32_t* value, int32_t* bytes);

  void Unplug() { unplugged_ = true; }
  bool Unplugged() const { return unplugged_; }
  uint64_t ControlStallsInjected() const { return stallsInjected_; }

 private:
  static bool Take(std::map<uint8_t, uint32_t>& m, uint8_t endpoint);

  std::vector<ControlFilter> stalls_;
  std::map<uint8_t, uint32_t> errors_;
  std::map<uint8_t, uint32_t> drops_;
  struct Glitch {
    int32_t delta;
    uint32_t count;
  };
  std::map<uint8_t, Glitch> glitches_;
  struct Forgery {
    FeedbackForgery kind;
    uint32_t count;
  };
  std::map<uint8_t, Forgery> forgeries_;
  uint32_t garble_ = 0x9E3779B9;
  bool unplugged_ = false;
  uint64_t stallsInjected_ = 0;
};

}  // namespace sim::usb
