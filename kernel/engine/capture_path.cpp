#include "engine/capture_path.h"

#include "adapter/adapter_common.h"

void CCapturePath::Initialize(CAdapterCommon* Adapter) {
  m_Adapter = Adapter;
  KeInitializeSpinLock(&m_Lock);
  m_Sink = nullptr;
  m_Started = 0;
}

NTSTATUS CCapturePath::SetSink(CCaptureSink* Sink) {
  if (Sink == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_Lock, &handle);
  m_Sink = Sink;
  KeReleaseInStackQueuedSpinLock(&handle);
  return STATUS_SUCCESS;
}

void CCapturePath::ClearSink() {
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_Lock, &handle);
  m_Sink = nullptr;
  m_Started = 0;
  KeReleaseInStackQueuedSpinLock(&handle);
}

NTSTATUS CCapturePath::Start(ULONG FramesPerTransfer, ULONG BytesPerFrame) {
  // A path without a sink starts all the same and delivers nothing.
  CCaptureSink* sink = m_Sink;
  NTSTATUS status = sink != nullptr ? sink->Start(FramesPerTransfer, BytesPerFrame) : STATUS_SUCCESS;
  if (NT_SUCCESS(status)) {
    KLOCK_QUEUE_HANDLE handle;
    KeAcquireInStackQueuedSpinLock(&m_Lock, &handle);
    m_Started = 1;
    KeReleaseInStackQueuedSpinLock(&handle);
  }
  return status;
}

void CCapturePath::Stop() {
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_Lock, &handle);
  m_Started = 0;
  CCaptureSink* sink = m_Sink;
  KeReleaseInStackQueuedSpinLock(&handle);
  if (sink != nullptr) {
    sink->Stop();
  }
}

ULONG CCapturePath::Deliver(const UCHAR* Buffer, ULONG Frames) {
  ULONG taken = 0;
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_Lock, &handle);
  if (m_Started != 0 && m_Sink != nullptr) {
    taken = m_Sink->Write(Buffer, Frames);
  }
  KeReleaseInStackQueuedSpinLock(&handle);
  return taken;
}

ULONG CCapturePath::GetDsdMode() { return m_Adapter->CurrentDsdMode(); }
USHORT CCapturePath::GetFormatType() { return m_Adapter->Engine().DeviceFormat(kDirectionCapture).FormatType; }
ULONG CCapturePath::GetBitsPerSample() { return m_Adapter->Engine().DeviceFormat(kDirectionCapture).BitsPerSample; }
ULONG CCapturePath::GetChannels() { return m_Adapter->Engine().DeviceFormat(kDirectionCapture).Channels; }
ULONG CCapturePath::GetBytesPerFrame() { return m_Adapter->Engine().DeviceFormat(kDirectionCapture).BytesPerFrame; }
ULONG CCapturePath::GetSampleRate() { return m_Adapter->Engine().DeviceFormat(kDirectionCapture).SampleRate; }
