// Plays the part of the WaveRT miniport and its two streams for the device
// core: cyclic buffers of its own, the render one written with a signal
// just before the engine takes it, the captured one handed to a callback
// as the engine fills it. Registered with the adapter as its miniport.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "platform.h"
#include "adapter/adapter_common.h"
#include "adapter/miniport_link.h"
#include "tools/enginecheck/loopback_signal.h"

namespace enginecheck {

class WaveClient : public IMiniportEngineLink {
 public:
  using CaptureCallback = std::function<void(const uint8_t* data, uint32_t frames)>;

  explicit WaveClient(CAdapterCommon* adapter) : adapter_(adapter) { KeInitializeSpinLock(&lock_); }
  ~WaveClient();

  // Before the streams start: formats, buffer length and signal.
  void Setup(const StreamFormat& render, const StreamFormat& capture, uint32_t bufferFrames, Signal signal);
  void OnCapture(CaptureCallback callback) { onCapture_ = std::move(callback); }
  void SetRunning(UCHAR direction, bool running);
  NTSTATUS Register();
  void Unregister();
  // The adapter went with its device: nothing to unregister from.
  void Forget() { registered_ = false; }

  // IUnknown: the object is the test's own, counted only to check balance.
  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID, PVOID* object) override;
  STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
  STDMETHODIMP_(ULONG) Release() override { return --references_; }
  // IMiniportEngineLink
  STDMETHODIMP_(void) FillSilence(UCHAR direction, PVOID address, ULONG bytes) override;
  STDMETHODIMP_(void) AdvancePosition(UCHAR direction, ULONG bytes) override;
  STDMETHODIMP_(BOOLEAN) BeginStreamAccess(UCHAR direction) override;
  STDMETHODIMP_(void) EndStreamAccess(UCHAR direction) override;
  STDMETHODIMP_(void) DetachFromDevice() override {}
  STDMETHODIMP_(void) TransferData(UCHAR direction, ULONG bytes) override;
  STDMETHODIMP_(NTSTATUS) UnregisterFromPort(PDEVICE_OBJECT) override { return STATUS_SUCCESS; }
  STDMETHODIMP_(NTSTATUS) GetStreamPosition(UCHAR direction, PULONGLONG position) override;

  uint64_t RenderFramesQueued() const { return renderQueued_ / (render_.BytesPerFrame ? render_.BytesPerFrame : 1); }
  uint64_t RenderBytesTaken() const { return renderTaken_; }
  uint64_t CaptureBytes() const { return captureTaken_; }
  uint64_t PositionQueries() const { return positionQueries_; }
  ULONG References() const { return references_; }
  // Accesses that began and have not ended (must be 0 when the engine is idle).
  int OpenAccesses() const { return openAccesses_; }

 private:
  struct Ring {
    std::vector<uint8_t> bytes;
    size_t write = 0;  // where the next queued piece starts
    size_t read = 0;   // capture: the next byte to hand on
  };
  void QueuePieces(Ring& ring, ULONG bytes, bool render);

  CAdapterCommon* adapter_;
  StreamFormat render_ = {};
  StreamFormat capture_ = {};
  Signal signal_ = Signal::Counter;
  Ring renderRing_;
  Ring captureRing_;
  uint64_t renderFrame_ = 0;  // next signal frame to write
  std::atomic<bool> renderRunning_{false};
  std::atomic<bool> captureRunning_{false};
  std::atomic<ULONG> references_{1};
  std::atomic<int> openAccesses_{0};
  std::atomic<uint64_t> renderQueued_{0};
  std::atomic<uint64_t> renderTaken_{0};
  std::atomic<uint64_t> captureTaken_{0};
  std::atomic<uint64_t> positionQueries_{0};
  // The engine calls in from its DPCs: a kernel lock, which the simulated
  // scheduler knows about (a plain mutex would stall it).
  KSPIN_LOCK lock_;
  CaptureCallback onCapture_;
  bool registered_ = false;
};

}  // namespace enginecheck
