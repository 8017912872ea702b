// A capture sink that follows the simulated device's counter signal: what
// the engine hands a capture path arrives here, and every frame must carry
// the next frame number on every channel.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform.h"
#include "adapter/adapter_interface.h"
#include "engine/stream_endpoint.h"
#include "tools/streamcheck/stream_content.h"

namespace enginecheck {

class CounterSink : public CCaptureSink {
 public:
  CounterSink() = default;

  // The format the frames will come in: read at Start (the engine decides
  // the capture device format while it starts).
  void Follow(const StreamFormat* format) { format_ = format; }

  ULONG GetDsdMode() override { return 0; }
  USHORT GetFormatType() override { return 1; }
  ULONG GetBitsPerSample() override { return subslot_ * 8; }
  ULONG GetChannels() override { return channels_; }
  ULONG GetBytesPerFrame() override { return channels_ * subslot_; }
  ULONG GetSampleRate() override { return rate_; }
  ULONG Write(const UCHAR* buffer, ULONG frames) override;
  NTSTATUS Start(ULONG framesPerTransfer, ULONG pathBytesPerFrame) override;
  void Stop() override;

  uint64_t Writes() const { return writes_; }
  uint64_t Frames() const { return check_.Frames(); }
  uint64_t BadFrames() const { return check_.BadFrames(); }
  uint64_t Discontinuities() const { return check_.Discontinuities(); }
  bool Started() const { return started_; }
  // Frames of a Write that did not match the path's frame size.
  uint64_t FormatMismatches() const { return mismatches_; }

 private:
  const StreamFormat* format_ = nullptr;
  ULONG channels_ = 0;
  ULONG subslot_ = 0;
  ULONG rate_ = 0;
  bool started_ = false;
  uint64_t writes_ = 0;
  uint64_t mismatches_ = 0;
  streamcheck::CounterCheck check_;
};

}  // namespace enginecheck
