#include "tools/enginecheck/loopback_signal.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace enginecheck {
namespace {

// Frames the lock looks at before it trusts an offset.
constexpr uint32_t kLockFrames = 16;
// How far a slip may move the offset, and how many frames it may spoil.
constexpr int64_t kMaxSlip = 4;
constexpr uint64_t kMaxSpoiled = 4;
constexpr double kPi = 3.14159265358979323846;

}  // namespace

int16_t SignalSample(Signal signal, uint64_t frame, uint32_t channel, uint32_t rate) {
  switch (signal) {
    case Signal::Counter:
      // A prime period well above any round trip, and never 0.
      return static_cast<int16_t>(((frame * 3 + channel * 4099ULL) % 65521ULL) + 1);
    case Signal::Sine: {
      const double hz = 997.0 * (channel % 8 + 1);
      const double phase = 2 * kPi * hz * static_cast<double>(frame % (rate != 0 ? rate : 1)) / (rate != 0 ? rate : 1);
      return static_cast<int16_t>(std::lround(std::sin(phase) * 12000.0));
    }
    case Signal::Constant: return kConstantSignal;
    case Signal::Silence: break;
  }
  return 0;
}

void WriteSignal(Signal signal, uint8_t* out, uint64_t first, uint32_t count, const StreamFormat& format) {
  const uint32_t bytes = format.Channels != 0 ? format.BytesPerFrame / format.Channels : 0;
  for (uint32_t f = 0; f < count; ++f) {
    for (uint32_t c = 0; c < format.Channels; ++c) {
      uint8_t* sample = out + static_cast<size_t>(f) * format.BytesPerFrame + static_cast<size_t>(c) * bytes;
      const uint16_t v = static_cast<uint16_t>(SignalSample(signal, first + f, c, format.SampleRate));
      std::memset(sample, 0, bytes);
      if (bytes >= 2) {
        sample[bytes - 2] = static_cast<uint8_t>(v);
        sample[bytes - 1] = static_cast<uint8_t>(v >> 8);
      }
    }
  }
}

int16_t ReadTop16(const uint8_t* sample, uint32_t bytes) {
  if (bytes < 2) return 0;
  return static_cast<int16_t>(sample[bytes - 2] | (sample[bytes - 1] << 8));
}

void LoopbackCheck::Reset(Signal signal, const StreamFormat& capture, uint32_t channels, uint32_t maxOffsetFrames) {
  *this = LoopbackCheck{};
  signal_ = signal;
  format_ = capture;
  channels_ = channels < capture.Channels ? channels : capture.Channels;
  sampleBytes_ = capture.Channels != 0 ? capture.BytesPerFrame / capture.Channels : 0;
  maxOffset_ = maxOffsetFrames;
}

bool LoopbackCheck::Matches(const uint8_t* frame, uint64_t signalFrame) const {
  for (uint32_t c = 0; c < channels_; ++c) {
    const int32_t sum = SignalSample(signal_, signalFrame, c, format_.SampleRate) + bias_;
    const int32_t expected = sum > INT16_MAX ? INT16_MAX : sum < INT16_MIN ? INT16_MIN : sum;
    if (ReadTop16(frame + c * sampleBytes_, sampleBytes_) != expected) return false;
  }
  return true;
}

bool LoopbackCheck::Silent(const uint8_t* frame) const {
  for (uint32_t c = 0; c < channels_; ++c) {
    const int16_t value = ReadTop16(frame + c * sampleBytes_, sampleBytes_);
    if (value != 0 && value != bias_) return false;
  }
  return true;
}

void LoopbackCheck::CountDiffering(const uint8_t* frames, uint64_t count, uint64_t index) {
  differing_ += count;
  if (firstDifference_ < 0) firstDifference_ = static_cast<int64_t>(index);
  for (uint64_t i = 0; i < count; ++i) {
    const uint8_t* frame = frames + i * format_.BytesPerFrame;
    if (Silent(frame)) continue;
    // Misplaced or not: a frame of the signal sent within the offsets
    // looked at is no data of the engine's own.
    bool sent = false;
    for (uint64_t back = 0; back <= maxOffset_ && back <= index + i && !sent; ++back) {
      sent = Matches(frame, index + i - back);
    }
    if (!sent) ++wrong_;
  }
}

void LoopbackCheck::TryLock() {
  const uint32_t frameBytes = format_.BytesPerFrame;
  const uint64_t held = pending_.size() / frameBytes;
  uint64_t first = 0;
  while (first < held && Silent(&pending_[first * frameBytes])) ++first;
  if (held - first < kLockFrames) return;
  const uint64_t at = pendingFirst_ + first;
  // The smallest offset that explains the next frames: a periodic signal
  // matches again only a whole period later.
  for (uint64_t back = 0; back <= maxOffset_ && back <= at; ++back) {
    bool all = true;
    for (uint32_t k = 0; k < kLockFrames && all; ++k) all = Matches(&pending_[(first + k) * frameBytes], at - back + k);
    if (all) {
      offset_ = static_cast<int64_t>(back);
      if (firstOffset_ < 0) firstOffset_ = offset_;
      break;
    }
  }
  if (offset_ < 0) {
    // No offset explains them: count the frames as differing and look again later.
    CountDiffering(&pending_[first * frameBytes], kLockFrames, at);
    pending_.erase(pending_.begin(),
                   pending_.begin() + static_cast<std::ptrdiff_t>((first + kLockFrames) * frameBytes));
    pendingFirst_ += first + kLockFrames;
    return;
  }
  std::vector<uint8_t> frames;
  frames.swap(pending_);
  CompareHeld(frames, pendingFirst_, first);
}

void LoopbackCheck::CompareHeld(std::vector<uint8_t>& held, uint64_t first, uint64_t from) {
  const uint32_t frameBytes = format_.BytesPerFrame;
  const uint64_t count = held.size() / frameBytes;
  for (uint64_t i = from; i < count; ++i) {
    const uint64_t index = first + i;
    ++compared_;
    const bool ok = index >= static_cast<uint64_t>(offset_) && Matches(&held[i * frameBytes], index - offset_);
    if (!ok) CountDiffering(&held[i * frameBytes], 1, index);
  }
}

void LoopbackCheck::TryRelock() {
  const uint32_t frameBytes = format_.BytesPerFrame;
  const uint64_t held = pending_.size() / frameBytes;
  for (uint64_t skip = 0; skip <= kMaxSpoiled && skip + kLockFrames <= held; ++skip) {
    const uint64_t at = pendingFirst_ + skip;
    for (int64_t delta = -kMaxSlip; delta <= kMaxSlip; ++delta) {
      const int64_t offset = offset_ + delta;
      if ((delta == 0 && skip == 0) || offset < 0 || static_cast<uint64_t>(offset) > at) continue;
      bool all = true;
      for (uint32_t k = 0; k < kLockFrames && all; ++k) {
        all = Matches(&pending_[(skip + k) * frameBytes], at + k - static_cast<uint64_t>(offset));
      }
      if (!all) continue;
      compared_ += skip;
      if (delta == 0) {
        // The same offset after a few bad frames: they differ, nothing slipped.
        CountDiffering(pending_.data(), skip, pendingFirst_);
      } else {
        ++slips_;  // the frames the slip spoiled are counted, not blamed
      }
      offset_ = offset;
      relocking_ = false;
      std::vector<uint8_t> rest;
      rest.swap(pending_);
      CompareHeld(rest, pendingFirst_, skip);
      return;
    }
  }
  // Nothing nearby explains them: the lock is lost (a recovery moves the
  // signal by more than a slip); the frames are looked at again from scratch.
  ++relocks_;
  offset_ = -1;
  relocking_ = false;
  std::vector<uint8_t> frames;
  frames.swap(pending_);
  const uint64_t first = pendingFirst_;
  for (uint64_t i = 0; i < frames.size() / frameBytes; ++i) {
    const uint8_t* frame = &frames[i * frameBytes];
    if (offset_ >= 0) {
      ++compared_;
      if (!Matches(frame, first + i - offset_)) CountDiffering(frame, 1, first + i);
      continue;
    }
    if (pending_.empty() && Silent(frame)) continue;
    if (pending_.empty()) pendingFirst_ = first + i;
    pending_.insert(pending_.end(), frame, frame + frameBytes);
    if (pending_.size() / frameBytes >= kLockFrames) TryLock();
  }
}

void LoopbackCheck::Feed(const uint8_t* data, uint32_t frames) {
  const uint32_t frameBytes = format_.BytesPerFrame;
  if (frameBytes == 0 || channels_ == 0) {
    frames_ += frames;
    return;
  }
  for (uint32_t f = 0; f < frames; ++f) {
    const uint8_t* frame = data + static_cast<size_t>(f) * frameBytes;
    const uint64_t index = frames_++;
    if (signal_ == Signal::Silence) {
      ++compared_;
      if (!Silent(frame)) CountDiffering(frame, 1, index);
      continue;
    }
    if (offset_ < 0) {
      // Silence before the signal arrives is the round trip, not a fault.
      if (pending_.empty() && Silent(frame)) continue;
      if (pending_.empty()) pendingFirst_ = index;
      pending_.insert(pending_.end(), frame, frame + frameBytes);
      if (pending_.size() / frameBytes >= kLockFrames) TryLock();
      continue;
    }
    if (!relocking_ && index >= static_cast<uint64_t>(offset_) && Matches(frame, index - offset_)) {
      ++compared_;
      continue;
    }
    if (!relocking_) {
      relocking_ = true;
      pending_.clear();
      pendingFirst_ = index;
    }
    pending_.insert(pending_.end(), frame, frame + frameBytes);
    if (pending_.size() / frameBytes >= kLockFrames + kMaxSpoiled) TryRelock();
  }
}

}  // namespace enginecheck
