// A playback (OUT) streaming interface of the simulated device: receives data
// packets into a buffer that the device clock drains, counts start, underrun
// and overrun, records what arrived, and answers its explicit feedback endpoint.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/usb/device/descriptor_parser.h"
#include "sim/usb/device/frame_fifo.h"
#include "sim/usb/device/stream_counters.h"
#include "sim/usb/device/usb_device.h"

namespace sim::usb {

class PlaybackStream {
 public:
  PlaybackStream(uint8_t interfaceNumber, Speed speed, bool lengthHeader);

  uint8_t InterfaceNumber() const { return interface_; }
  // Selects an alternate setting (null: the zero-bandwidth one). Buffer and
  // counters start afresh; rate is the clock rate the stream runs at.
  void Select(const AltSettingInfo* alt, uint32_t rate);
  const AltSettingInfo* Alternate() const { return alt_; }
  bool Active() const { return data_ != nullptr && bytesPerFrame_ > 0; }
  uint8_t DataAddress() const { return data_ ? data_->address : 0; }
  uint8_t FeedbackAddress() const { return feedback_ ? feedback_->address : 0; }
  uint32_t Channels() const { return channels_; }
  uint32_t SubslotBytes() const { return subslot_; }

  // Start level and capacity in frames; 0 selects the default for that value.
  void SetBufferLevels(uint32_t startFrames, uint32_t capacityFrames);
  void SetRecordingCap(uint64_t frames) { recordingCap_ = frames; }

  // One bus interval: plays the frames due (deviceFrames at the device clock,
  // or what the host sent for an adaptive endpoint) and appends them to
  // `played` as MSB-aligned samples, Channels() per frame; silence where the
  // buffer had nothing.
  void Tick(uint32_t deviceFrames, uint32_t rate, std::vector<int32_t>* played);
  XferResult Receive(const uint8_t* data, uint32_t length);
  // Explicit feedback packet carrying `value` in `bytes` bytes (at most 8;
  // bytes beyond the value's four carry a filler, as a glitch would).
  XferResult SendFeedback(uint8_t* data, uint32_t maxLength, uint32_t* actual, uint32_t value, uint32_t bytes);

  void CountInjected(bool drop) { ++(drop ? counters_.injectedDrops : counters_.injectedPacketErrors); }
  StreamCounters Counters() const;
  const Recording& GetRecording() const { return recording_; }
  void ClearRecording() { recording_.bytes.clear(); }

 private:
  void UpdateLevels(uint32_t rate);

  const uint8_t interface_;
  const Speed speed_;
  const bool lengthHeader_;
  const AltSettingInfo* alt_ = nullptr;
  const EndpointInfo* data_ = nullptr;
  const EndpointInfo* feedback_ = nullptr;
  uint32_t channels_ = 0;
  uint32_t subslot_ = 0;
  uint32_t bytesPerFrame_ = 0;
  uint32_t packetInterval_ = 1;  // bus intervals between data packets
  bool adaptive_ = false;

  uint32_t rate_ = 0;
  uint32_t requestedStart_ = 0;
  uint32_t requestedCapacity_ = 0;
  uint32_t startLevel_ = 0;
  FrameFifo fifo_;
  bool started_ = false;
  uint32_t packetsThisInterval_ = 0;
  uint32_t arrivedSinceTick_ = 0;
  uint32_t intervalsSincePacket_ = 0;
  StreamCounters counters_;
  uint64_t recordingCap_ = 192000;
  Recording recording_;
  std::vector<uint8_t> scratch_;
};

// Bus intervals between packets of an isochronous endpoint.
uint32_t PacketInterval(const EndpointInfo& e);

}  // namespace sim::usb
