// The signal a duplex run plays and the check of what comes back: 16-bit
// values in the top bits of every sample, so that any container of 16 bits
// or more carries them unchanged through the converters' narrowing.
#pragma once

#include <cstdint>
#include <vector>

#include "platform.h"
#include "adapter/adapter_interface.h"

namespace enginecheck {

enum class Signal { Counter, Sine, Silence, Constant };

// The value of every sample of Signal::Constant (16-bit scale): what a
// second client plays under a checked signal.
constexpr int16_t kConstantSignal = 256;

// Sample of `channel` at `frame` as a 16-bit value; the counter is never 0.
int16_t SignalSample(Signal signal, uint64_t frame, uint32_t channel, uint32_t rate);
// Frames [first, first + count) in `format` (PCM, 16 bits or more).
void WriteSignal(Signal signal, uint8_t* out, uint64_t first, uint32_t count, const StreamFormat& format);
// The top 16 bits of a sample of `bytes` bytes.
int16_t ReadTop16(const uint8_t* sample, uint32_t bytes);

// Follows captured frames: silence until the signal arrives, then every
// frame must be the signal's frame `offset` earlier.
class LoopbackCheck {
 public:
  // channels: the capture channels that carry a played channel; later ones are not compared.
  void Reset(Signal signal, const StreamFormat& capture, uint32_t channels, uint32_t maxOffsetFrames);
  // Narrows the compared channels once the device formats are known.
  void SetChannels(uint32_t channels) { channels_ = channels < format_.Channels ? channels : format_.Channels; }
  // A second render source adds `bias` to every sample (16-bit scale): the
  // signal comes back with it, saturated; before the signal, it alone does.
  void SetBias(int16_t bias) { bias_ = bias; }
  // Whole captured frames in the capture format.
  void Feed(const uint8_t* data, uint32_t frames);

  bool Locked() const { return offset_ >= 0; }
  int64_t Offset() const { return offset_; }            // frames from played to captured, -1 until locked
  int64_t FirstOffset() const { return firstOffset_; }  // the offset found at the lock
  uint64_t Frames() const { return frames_; }
  uint64_t Compared() const { return compared_; }
  uint64_t Differing() const { return differing_; }
  // Of those, the frames that are neither silence nor any frame of the
  // signal sent shortly before: data that was never sent.
  uint64_t Wrong() const { return wrong_; }
  int64_t FirstDifference() const { return firstDifference_; }  // captured frame index, -1 when none
  // Places where the offset moved by a few frames and the signal went on
  // from there: a device whose two clocks differ slips at its loopback.
  uint64_t Slips() const { return slips_; }
  // Times the lock was lost and found again at another offset (a recovery).
  uint64_t Relocks() const { return relocks_; }

 private:
  bool Matches(const uint8_t* frame, uint64_t signalFrame) const;
  bool Silent(const uint8_t* frame) const;
  void CountDiffering(const uint8_t* frames, uint64_t count, uint64_t index);
  void TryLock();
  // After a mismatch: finds the nearby offset the signal goes on at.
  void TryRelock();
  void CompareHeld(std::vector<uint8_t>& held, uint64_t first, uint64_t from);

  Signal signal_ = Signal::Counter;
  StreamFormat format_ = {};
  int16_t bias_ = 0;
  uint32_t channels_ = 0;
  uint32_t sampleBytes_ = 0;
  uint32_t maxOffset_ = 0;
  int64_t offset_ = -1;
  int64_t firstOffset_ = -1;
  uint64_t frames_ = 0;
  uint64_t compared_ = 0;
  uint64_t differing_ = 0;
  uint64_t wrong_ = 0;
  int64_t firstDifference_ = -1;
  std::vector<uint8_t> pending_;  // frames before the lock: kept until the offset is known
  uint64_t pendingFirst_ = 0;
  bool relocking_ = false;
  uint64_t slips_ = 0;
  uint64_t relocks_ = 0;
};

}  // namespace enginecheck
