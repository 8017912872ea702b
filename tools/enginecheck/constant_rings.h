// A stand-in for the ASIO stream's rings: the render ring always holds a
// constant, captured data is taken and dropped. A second render source and
// capture sink beside the WaveRT ones, for tests and benchmarks.
#pragma once

#include <cstdint>
#include <cstring>

#include "platform.h"
#include "adapter/adapter_common.h"
#include "engine/asio_ring_access.h"

namespace enginecheck {

// Every render read is filled with the constant (16-bit scale, in the top
// bits of each sample of the device's render format).
class ConstantRings : public CAsioRingAccess {
 public:
  ConstantRings(const StreamFormat& render, const StreamFormat& capture, int16_t value)
      : render_(render), capture_(capture), value_(value) {}

  ULONG DsdMode() override { return 0; }
  StreamFormat RenderFormat() override { return render_; }
  StreamFormat CaptureFormat() override { return capture_; }
  BOOLEAN HasCaptureRing() override { return TRUE; }
  BOOLEAN HasRenderRing() override { return TRUE; }
  BOOLEAN IsRenderRingStarted() override { return TRUE; }
  ULONG RenderRingRead(PUCHAR buffer, ULONG bytes, BOOLEAN) override {
    const ULONG sampleBytes = render_.BitsPerSample / 8;
    for (ULONG at = 0; at + sampleBytes <= bytes; at += sampleBytes) {
      std::memset(buffer + at, 0, sampleBytes);
      buffer[at + sampleBytes - 2] = static_cast<UCHAR>(value_ & 0xFF);
      buffer[at + sampleBytes - 1] = static_cast<UCHAR>((value_ >> 8) & 0xFF);
    }
    ++reads_;
    return bytes;
  }
  ULONG CaptureRingWrite(const UCHAR*, ULONG bytes) override {
    captured_ += bytes;
    return bytes;
  }
  void CompletePendingReads() override {}
  void Balance() override {}
  void WakeWriter() override {}
  UCHAR RenderSilenceByte() override { return 0; }
  void MarkResetNeeded() override {}

  uint64_t Reads() const { return reads_; }
  uint64_t CapturedBytes() const { return captured_; }

 private:
  StreamFormat render_;
  StreamFormat capture_;
  int16_t value_;
  uint64_t reads_ = 0;
  uint64_t captured_ = 0;
};

// Attaches the rings in the device formats of the running engine and starts
// the ASIO render path and capture path over them: two sources, two sinks.
inline NTSTATUS StartSecondClient(CAdapterCommon& adapter, ConstantRings& rings) {
  adapter.AttachAsioStream(&rings);
  NTSTATUS status = adapter.RenderPath(CAdapterCommon::kAsioClient).Start();
  CStreamEngine& engine = adapter.Engine();
  const ULONG frameBytes = engine.DeviceFormat(kDirectionCapture).BytesPerFrame;
  if (NT_SUCCESS(status) && frameBytes != 0) {
    status = adapter.CapturePath(CAdapterCommon::kAsioClient)
                 .Start(engine.TransferBytes(kDirectionCapture) / frameBytes, frameBytes);
  }
  return status;
}

}  // namespace enginecheck
