#include "tools/enginecheck/wave_client.h"

#include <cstring>

namespace {

class Guard {
 public:
  explicit Guard(KSPIN_LOCK* lock) { KeAcquireInStackQueuedSpinLock(lock, &handle_); }
  ~Guard() { KeReleaseInStackQueuedSpinLock(&handle_); }

 private:
  KLOCK_QUEUE_HANDLE handle_;
};

}  // namespace

namespace enginecheck {

WaveClient::~WaveClient() { Unregister(); }

void WaveClient::Setup(const StreamFormat& render, const StreamFormat& capture, uint32_t bufferFrames, Signal signal) {
  Guard guard(&lock_);
  render_ = render;
  capture_ = capture;
  signal_ = signal;
  renderRing_ = Ring{};
  captureRing_ = Ring{};
  renderRing_.bytes.assign(static_cast<size_t>(bufferFrames) * render.BytesPerFrame, 0);
  captureRing_.bytes.assign(static_cast<size_t>(bufferFrames) * capture.BytesPerFrame, 0);
  renderFrame_ = 0;
}

void WaveClient::SetRunning(UCHAR direction, bool running) {
  (IsCaptureDirection(direction) ? captureRunning_ : renderRunning_) = running;
}

NTSTATUS WaveClient::Register() {
  const NTSTATUS status = adapter_->RegisterMiniport(static_cast<IMiniportEngineLink*>(this));
  registered_ = NT_SUCCESS(status);
  return status;
}

void WaveClient::Unregister() {
  if (registered_) adapter_->UnregisterMiniport(static_cast<IMiniportEngineLink*>(this));
  registered_ = false;
}

STDMETHODIMP_(NTSTATUS) WaveClient::QueryInterface(REFIID, PVOID* object) {
  *object = nullptr;
  return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(BOOLEAN) WaveClient::BeginStreamAccess(UCHAR direction) {
  const bool running = IsCaptureDirection(direction) ? captureRunning_.load() : renderRunning_.load();
  if (running) ++openAccesses_;
  return running ? TRUE : FALSE;
}

STDMETHODIMP_(void) WaveClient::EndStreamAccess(UCHAR) { --openAccesses_; }

void WaveClient::QueuePieces(Ring& ring, ULONG bytes, bool render) {
  const size_t size = ring.bytes.size();
  if (size == 0) return;
  while (bytes != 0) {
    const size_t piece = std::min<size_t>(bytes, size - ring.write);
    uint8_t* at = ring.bytes.data() + ring.write;
    if (render) {
      // The application writes just ahead of what the engine takes.
      const uint32_t frames = static_cast<uint32_t>(piece / render_.BytesPerFrame);
      WriteSignal(signal_, at, renderFrame_, frames, render_);
      renderFrame_ += frames;
      adapter_->QueueRenderBuffer(at, static_cast<ULONG>(piece));
      renderQueued_ += piece;
    } else {
      adapter_->QueueCaptureBuffer(at, static_cast<ULONG>(piece));
    }
    ring.write = (ring.write + piece) % size;
    bytes -= static_cast<ULONG>(piece);
  }
}

STDMETHODIMP_(void) WaveClient::TransferData(UCHAR direction, ULONG bytes) {
  Guard guard(&lock_);
  QueuePieces(IsCaptureDirection(direction) ? captureRing_ : renderRing_, bytes, !IsCaptureDirection(direction));
}

STDMETHODIMP_(void) WaveClient::FillSilence(UCHAR, PVOID address, ULONG bytes) { std::memset(address, 0, bytes); }

STDMETHODIMP_(void) WaveClient::AdvancePosition(UCHAR direction, ULONG bytes) {
  if (!IsCaptureDirection(direction)) {
    renderTaken_ += bytes;
    return;
  }
  Guard guard(&lock_);
  captureTaken_ += bytes;
  Ring& ring = captureRing_;
  const size_t size = ring.bytes.size();
  while (bytes != 0 && size != 0) {
    const size_t piece = std::min<size_t>(bytes, size - ring.read);
    if (onCapture_ && capture_.BytesPerFrame != 0) {
      onCapture_(ring.bytes.data() + ring.read, static_cast<uint32_t>(piece / capture_.BytesPerFrame));
    }
    ring.read = (ring.read + piece) % size;
    bytes -= static_cast<ULONG>(piece);
  }
}

STDMETHODIMP_(NTSTATUS) WaveClient::GetStreamPosition(UCHAR direction, PULONGLONG position) {
  ++positionQueries_;
  *position = IsCaptureDirection(direction) ? captureTaken_.load() : renderTaken_.load();
  return STATUS_SUCCESS;
}

}  // namespace enginecheck
