// A capture (IN) streaming interface of the simulated device: every bus
// interval the device clock produces frames (loopback or a test signal); each
// data packet carries the frames produced since the previous one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "sim/usb/device/descriptor_parser.h"
#include "sim/usb/device/loopback_line.h"
#include "sim/usb/device/stream_counters.h"
#include "sim/usb/device/test_signal.h"
#include "sim/usb/device/usb_device.h"

namespace sim::usb {

struct CaptureContent {
  CaptureSource source = CaptureSource::Loopback;
  double sineHz = 1000.0;
  // Capture channel c takes playback channel map[c]; -1 or beyond the map
  // means silence. Empty: capture channel c takes playback channel c.
  std::vector<int> map;
};

class CaptureStream {
 public:
  explicit CaptureStream(uint8_t interfaceNumber) : interface_(interfaceNumber) {}

  uint8_t InterfaceNumber() const { return interface_; }
  void Select(const AltSettingInfo* alt);  // null: zero-bandwidth; counters start afresh
  const AltSettingInfo* Alternate() const { return alt_; }
  bool Active() const { return data_ != nullptr && bytesPerFrame_ > 0; }
  uint8_t DataAddress() const { return data_ ? data_->address : 0; }
  uint32_t Channels() const { return channels_; }
  uint32_t SubslotBytes() const { return subslot_; }

  // One bus interval: produces `frames` frames. line: where loopback content
  // comes from (null: silence instead).
  void Tick(uint32_t frames, uint32_t rate, const CaptureContent& content, LoopbackLine* line);
  // A data packet: the pending frames, at most maxLength bytes. sizeGlitch
  // bytes are added to (or, negative, cut from) the packet; a packet that then
  // exceeds maxLength is cut to it and reported as babble.
  XferResult Send(uint8_t* data, uint32_t maxLength, uint32_t* actual, int32_t sizeGlitch);
  // The host did not get this packet (dropped or corrupted): its frames are lost.
  void Discard();

  void CountInjected(bool drop) { ++(drop ? counters_.injectedDrops : counters_.injectedPacketErrors); }
  StreamCounters Counters() const { return counters_; }

 private:
  const uint8_t interface_;
  const AltSettingInfo* alt_ = nullptr;
  const EndpointInfo* data_ = nullptr;
  uint32_t channels_ = 0;
  uint32_t subslot_ = 0;
  uint32_t bytesPerFrame_ = 0;
  uint32_t packetInterval_ = 1;
  uint64_t frameIndex_ = 0;
  std::deque<std::vector<uint8_t>> pending_;  // one entry per bus interval
  std::vector<int32_t> loop_;
  StreamCounters counters_;
};

}  // namespace sim::usb
