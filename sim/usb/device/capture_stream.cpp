// Capture production. Frames of intervals older than one packet interval that
// no packet fetched are lost, as on a device whose packet buffer is
// overwritten each service interval.
#include "sim/usb/device/capture_stream.h"

#include <algorithm>

#include "sim/usb/device/playback_stream.h"
#include "sim/usb/device/sample_codec.h"

namespace sim::usb {

void CaptureStream::Select(const AltSettingInfo* alt) {
  alt_ = alt;
  data_ = alt ? alt->Data() : nullptr;
  channels_ = alt ? alt->format.channels : 0;
  subslot_ = alt ? std::min<uint32_t>(alt->format.subslotBytes, 4) : 0;
  bytesPerFrame_ = channels_ * subslot_;
  packetInterval_ = data_ ? PacketInterval(*data_) : 1;
  frameIndex_ = 0;
  pending_.clear();
  counters_ = StreamCounters{};
}

void CaptureStream::Tick(uint32_t frames, uint32_t rate, const CaptureContent& content, LoopbackLine* line) {
  if (!Active()) return;
  std::vector<uint8_t> chunk(static_cast<size_t>(frames) * bytesPerFrame_, 0);
  switch (content.source) {
    case CaptureSource::Loopback:
      if (line != nullptr && line->Channels() > 0) {
        const uint32_t lc = line->Channels();
        loop_.resize(static_cast<size_t>(frames) * lc);
        line->Pop(loop_.data(), frames);
        for (uint32_t f = 0; f < frames; ++f) {
          for (uint32_t c = 0; c < channels_; ++c) {
            const int src = content.map.empty() ? static_cast<int>(c)
                                                : (c < content.map.size() ? content.map[c] : -1);
            if (src < 0 || static_cast<uint32_t>(src) >= lc) continue;
            WriteSample(&chunk[(f * channels_ + c) * subslot_], subslot_, loop_[f * lc + src]);
          }
        }
      }
      break;
    case CaptureSource::Counter:
      for (uint32_t f = 0; f < frames; ++f) {
        for (uint32_t c = 0; c < channels_; ++c) {
          const uint32_t v = CounterSample(c, frameIndex_ + f, subslot_);
          uint8_t* p = &chunk[(f * channels_ + c) * subslot_];
          for (uint32_t b = 0; b < subslot_; ++b) p[b] = static_cast<uint8_t>(v >> (8 * b));
        }
      }
      break;
    case CaptureSource::Sine:
      for (uint32_t f = 0; f < frames; ++f) {
        const int32_t s = SineSample(frameIndex_ + f, rate, content.sineHz);
        for (uint32_t c = 0; c < channels_; ++c) WriteSample(&chunk[(f * channels_ + c) * subslot_], subslot_, s);
      }
      break;
    case CaptureSource::Silence:
      break;
  }
  frameIndex_ += frames;
  pending_.push_back(std::move(chunk));
  while (pending_.size() > packetInterval_) {
    counters_.droppedFrames += pending_.front().size() / bytesPerFrame_;
    pending_.pop_front();
  }
}

XferResult CaptureStream::Send(uint8_t* data, uint32_t maxLength, uint32_t* actual, int32_t sizeGlitch) {
  *actual = 0;
  if (!Active()) return XferResult::Ok;
  size_t pendingBytes = 0;
  for (const auto& c : pending_) pendingBytes += c.size();
  const uint32_t limit = std::min(maxLength, data_->MaxPacketBytes());
  const uint32_t frames =
      static_cast<uint32_t>(std::min<size_t>(pendingBytes / bytesPerFrame_, limit / bytesPerFrame_));
  const uint32_t bytes = frames * bytesPerFrame_;
  size_t at = 0;
  for (const auto& c : pending_) {
    if (at == bytes) break;
    const size_t n = std::min(c.size(), bytes - at);
    std::copy(c.begin(), c.begin() + static_cast<std::ptrdiff_t>(n), data + at);
    at += n;
  }
  counters_.droppedFrames += pendingBytes / bytesPerFrame_ - frames;
  pending_.clear();
  counters_.framesSent += frames;
  ++counters_.packets;
  int64_t size = static_cast<int64_t>(bytes) + sizeGlitch;
  if (size < 0) size = 0;
  XferResult result = XferResult::Ok;
  if (size > maxLength) {
    size = maxLength;
    ++counters_.babblePackets;
    result = XferResult::PacketError;
  }
  // Bytes a glitch adds carry a recognisable filler.
  for (int64_t i = bytes; i < size; ++i) data[i] = 0xA5;
  *actual = static_cast<uint32_t>(size);
  ++counters_.packetSizes[*actual];
  return result;
}

void CaptureStream::Discard() {
  if (!Active()) return;
  for (const auto& c : pending_) counters_.droppedFrames += c.size() / bytesPerFrame_;
  pending_.clear();
}

}  // namespace sim::usb
