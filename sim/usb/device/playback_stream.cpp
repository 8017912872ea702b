// Playback buffer model. The device starts playing once the buffer first holds
// its start level and from then on plays at its own clock whatever arrives.
#include "sim/usb/device/playback_stream.h"

#include <algorithm>

#include "sim/usb/device/byte_util.h"
#include "sim/usb/device/sample_codec.h"
#include "sim/usb/device/usb_constants.h"

namespace sim::usb {

uint32_t PacketInterval(const EndpointInfo& e) {
  const uint32_t b = std::clamp<uint32_t>(e.interval, 1, 16);
  return 1u << (b - 1);
}

PlaybackStream::PlaybackStream(uint8_t interfaceNumber, Speed speed, bool lengthHeader)
    : interface_(interfaceNumber), speed_(speed), lengthHeader_(lengthHeader) {}

void PlaybackStream::Select(const AltSettingInfo* alt, uint32_t rate) {
  alt_ = alt;
  data_ = alt ? alt->Data() : nullptr;
  feedback_ = alt ? alt->Feedback() : nullptr;
  channels_ = alt ? alt->format.channels : 0;
  subslot_ = alt ? alt->format.subslotBytes : 0;
  bytesPerFrame_ = channels_ * subslot_;
  packetInterval_ = data_ ? PacketInterval(*data_) : 1;
  adaptive_ = data_ && data_->SyncType() == kSyncAdaptive;
  counters_ = StreamCounters{};
  started_ = false;
  packetsThisInterval_ = 0;
  arrivedSinceTick_ = 0;
  intervalsSincePacket_ = 0;
  rate_ = 0;
  startLevel_ = 0;
  fifo_.Reset(bytesPerFrame_, 0);
  if (Active()) {
    recording_ = Recording{};
    recording_.channels = channels_;
    recording_.subslotBytes = subslot_;
    UpdateLevels(rate);
  }
}

void PlaybackStream::SetBufferLevels(uint32_t startFrames, uint32_t capacityFrames) {
  requestedStart_ = startFrames;
  requestedCapacity_ = capacityFrames;
  rate_ = 0;  // recompute at the next interval
}

void PlaybackStream::UpdateLevels(uint32_t rate) {
  rate_ = rate;
  const uint32_t perSecond = speed_ == Speed::High ? 8000 : 1000;
  const uint32_t nominal = (rate + perSecond - 1) / perSecond;
  const uint32_t packetFrames = (rate * uint64_t{packetInterval_} + perSecond - 1) / perSecond;
  startLevel_ = requestedStart_ ? requestedStart_ : std::max(2 * nominal, packetFrames + 2);
  const uint32_t capacity = requestedCapacity_ ? requestedCapacity_ : 2 * startLevel_;
  if (capacity == fifo_.CapacityFrames()) return;
  // Keep what is buffered across a resize.
  const uint32_t held = fifo_.Frames();
  scratch_.resize(static_cast<size_t>(held) * bytesPerFrame_);
  fifo_.Pop(scratch_.data(), held);
  fifo_.Reset(bytesPerFrame_, capacity);
  counters_.overrunFrames += held - fifo_.Push(scratch_.data(), held);
}

void PlaybackStream::Tick(uint32_t deviceFrames, uint32_t rate, std::vector<int32_t>* played) {
  if (!Active()) return;
  if (rate != rate_) UpdateLevels(rate);
  packetsThisInterval_ = 0;
  ++intervalsSincePacket_;
  uint32_t due = deviceFrames;
  if (adaptive_) {
    // An adaptive sink locks onto the host: it plays what arrived, and only
    // runs on its own clock once packets stop coming.
    if (arrivedSinceTick_ > 0) {
      due = arrivedSinceTick_;
    } else if (intervalsSincePacket_ <= packetInterval_) {
      due = 0;
    }
  }
  arrivedSinceTick_ = 0;
  const size_t base = played ? played->size() : 0;
  if (played) played->resize(base + static_cast<size_t>(due) * channels_, 0);
  if (!started_) return;
  scratch_.resize(static_cast<size_t>(due) * bytesPerFrame_);
  const uint32_t got = fifo_.Pop(scratch_.data(), due);
  counters_.framesConsumed += got;
  counters_.underrunFrames += due - got;
  if (played) {
    for (uint32_t f = 0; f < got; ++f) {
      for (uint32_t c = 0; c < channels_; ++c) {
        (*played)[base + f * channels_ + c] = ReadSample(&scratch_[(f * channels_ + c) * subslot_], subslot_);
      }
    }
  }
}

XferResult PlaybackStream::Receive(const uint8_t* data, uint32_t length) {
  if (!Active()) return XferResult::Ok;
  ++counters_.packets;
  ++counters_.packetSizes[length];
  if (++packetsThisInterval_ > 1) ++counters_.extraPacketsInInterval;
  intervalsSincePacket_ = 0;
  if (length > data_->MaxPacketBytes()) {
    ++counters_.oversizePackets;
    return XferResult::PacketError;
  }
  const uint8_t* payload = data;
  uint32_t bytes = length;
  if (lengthHeader_) {
    if (length < 4 || Le32(data) != length - 4) {
      ++counters_.headerErrors;
      return XferResult::Ok;
    }
    payload += 4;
    bytes -= 4;
  }
  if (bytes % bytesPerFrame_ != 0) ++counters_.partialFramePackets;
  const uint32_t frames = bytes / bytesPerFrame_;
  const uint64_t room = recordingCap_ > recording_.Frames() ? recordingCap_ - recording_.Frames() : 0;
  const uint64_t keep = std::min<uint64_t>(room, frames);
  recording_.bytes.insert(recording_.bytes.end(), payload, payload + keep * bytesPerFrame_);
  const uint32_t taken = fifo_.Push(payload, frames);
  counters_.framesReceived += frames;
  counters_.overrunFrames += frames - taken;
  arrivedSinceTick_ += frames;
  if (!started_ && startLevel_ > 0 && fifo_.Frames() >= startLevel_) started_ = true;
  return XferResult::Ok;
}

XferResult PlaybackStream::SendFeedback(uint8_t* data, uint32_t maxLength, uint32_t* actual, uint32_t value,
                                        uint32_t bytes) {
  uint8_t packet[8] = {0, 0, 0, 0, 0xA5, 0xA5, 0xA5, 0xA5};
  PutLe32(packet, value);
  bytes = std::min<uint32_t>(bytes, sizeof packet);
  const uint32_t n = std::min(bytes, maxLength);
  std::copy(packet, packet + n, data);
  *actual = n;
  ++counters_.feedbackPackets;
  counters_.lastFeedback = value;
  return n < bytes ? XferResult::PacketError : XferResult::Ok;
}

StreamCounters PlaybackStream::Counters() const {
  StreamCounters c = counters_;
  c.started = started_;
  c.bufferedFrames = fifo_.Frames();
  c.startLevel = startLevel_;
  c.capacity = fifo_.CapacityFrames();
  return c;
}

}  // namespace sim::usb
