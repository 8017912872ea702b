// Explicit feedback reads, and the latency probe that sizes the first render
// transfers of a device whose render clock follows capture.
#include "engine/stream_engine.h"

#include "adapter/adapter_common.h"
#include "audiofunction/usb_audio_cl.h"
#include "base/pool.h"
#include "base/trace.h"
#include "engine/engine_trace_events.h"

BOOLEAN CStreamEngine::SubmitFeedback(StreamTransfer* Transfer) {
  PVOID buffer = Transfer != nullptr ? Transfer->Buffer : nullptr;
  BOOLEAN refuse = DeviceGone() || IsSet(&m_Render.Error) || !IsSet(&m_FeedbackRun);
  const ULONG length = m_Function->FeedbackReadLength();
  if (!refuse && buffer == nullptr) {
    buffer = length != 0 ? AllocateDriverPool(length, kPoolTagDriver) : nullptr;
    refuse = buffer == nullptr;
  }
  if (!refuse && Transfer == nullptr) {
    Transfer = AllocateRecord();
    refuse = Transfer == nullptr;
  }
  if (!refuse) {
    Transfer->Buffer = buffer;
    Transfer->Length = length;
    if (NT_SUCCESS(m_Function->RecvFeedback(buffer, length, FeedbackCallback, Transfer))) {
      return TRUE;
    }
  }
  if (buffer != nullptr) {
    FreeDriverPool(buffer, kPoolTagDriver);
  }
  FreeRecord(Transfer);
  KeReleaseSemaphore(&m_FeedbackSlots, IO_NO_INCREMENT, 1, FALSE);
  CountDown(&m_FeedbackLock, &m_FeedbackOutstanding, &m_FeedbackIdle);
  return FALSE;
}

VOID CStreamEngine::FeedbackCallback(NTSTATUS Status, ULONG Bytes, ULONG StartFrame, PVOID Context, ULONG Frames) {
  UNREFERENCED_PARAMETER(StartFrame);
  UNREFERENCED_PARAMETER(Frames);
  auto* transfer = static_cast<StreamTransfer*>(Context);
  transfer->Owner->ProcessFeedback(Status, Bytes, transfer);
}

void CStreamEngine::ProcessFeedback(NTSTATUS Status, ULONG Value, StreamTransfer* Transfer) {
  StreamInterface* stream = m_Function->PlaybackStream();
  if (NT_SUCCESS(Status) && stream != nullptr) {
    ++m_Render.Counters.FeedbackReads;
    ULONGLONG nominal = static_cast<ULONGLONG>(stream->SampleRate) * 65536 / 1000;
    if (m_Function->IsHighSpeed()) {
      const ULONG interval = m_Function->PlaybackPacketInterval();
      const ULONG perFrame = (interval != 0 && interval <= 8) ? 8 / interval : 1;
      nominal /= perFrame;
    }
    ULONGLONG accepted = Value;
    ULONG why = 0;
    if (Value == 0) {
      accepted = nominal;
    } else if (Value < 0x10000) {
      why = 1;
    } else if (Value + 0x10000ULL < nominal) {
      why = 2;
    } else if (Value > nominal + 0x10000) {
      why = 3;
    }
    if (why != 0) {
      Trace(TRACE_LEVEL_WARNING, TraceEngineFeedbackValue, Value, nominal, why);
      accepted = nominal;
    }
    KLOCK_QUEUE_HANDLE handle;
    KeAcquireInStackQueuedSpinLock(&stream->FeedbackLock, &handle);
    stream->AcceptedFeedbackRate = static_cast<ULONG>(accepted);
    KeReleaseInStackQueuedSpinLock(&handle);
    if (InterlockedCompareExchange(&m_RenderSlotsReleased, 1, 0) == 0) {
      // Render transfers begin only once the device said how fast it plays.
      KeReleaseSemaphore(&m_Render.Slots, IO_NO_INCREMENT, static_cast<LONG>(m_Tunables.RenderTransfersInFlight),
                         FALSE);
    }
    SubmitFeedback(Transfer);
    return;
  }
  if (IsDeviceGoneStatus(Status)) {
    MarkDeviceGone(kDirectionRender, Status);
    KeSetEvent(&m_Render.Stop, IO_NO_INCREMENT, FALSE);
  }
  KeSetEvent(&m_Render.Error, IO_NO_INCREMENT, FALSE);
  PIO_WORKITEM item = IoAllocateWorkItem(m_FunctionalDeviceObject);
  if (item != nullptr) {
    Transfer->WorkItem = item;
    IoQueueWorkItem(item, FeedbackWorkItem, DelayedWorkQueue, Transfer);
    return;
  }
  FreeDriverPool(Transfer->Buffer, kPoolTagDriver);
  FreeRecord(Transfer);
  KeReleaseSemaphore(&m_FeedbackSlots, IO_NO_INCREMENT, 1, FALSE);
  CountDown(&m_FeedbackLock, &m_FeedbackOutstanding, &m_FeedbackIdle);
}

VOID CStreamEngine::FeedbackWorkItem(PDEVICE_OBJECT DeviceObject, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  auto* transfer = static_cast<StreamTransfer*>(Context);
  PIO_WORKITEM item = transfer->WorkItem;
  transfer->WorkItem = nullptr;
  IoFreeWorkItem(item);
  transfer->Owner->SubmitFeedback(transfer);
}

void CStreamEngine::RunLatencyProbe() {
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_IdleLock, &handle);
  for (PLIST_ENTRY entry = m_IdleList.Flink; entry != &m_IdleList; entry = entry->Flink) {
    CONTAINING_RECORD(entry, StreamTransfer, ListEntry)->Length = 0;
  }
  KeReleaseInStackQueuedSpinLock(&handle);
  KeAcquireInStackQueuedSpinLock(&m_ProbeLock, &handle);
  m_ProbeIndex = 0;
  m_ProbeCount = 0;
  m_ProbeActive = TRUE;
  KeClearEvent(&m_ProbeDone);
  KeReleaseInStackQueuedSpinLock(&handle);

  PVOID objects[3] = {&m_ProbeDone, &m_Capture.Stop, &m_Render.Stop};
  const LONG index = WaitForAny(3, objects, nullptr);
  if (index == 0) {
    return;
  }
  if (index == 1) {
    KeSetEvent(&m_Render.Stop, IO_NO_INCREMENT, FALSE);
  }
  KeAcquireInStackQueuedSpinLock(&m_ProbeLock, &handle);
  m_ProbeActive = FALSE;
  m_ProbeIndex = 0;
  m_ProbeCount = 0;
  KeClearEvent(&m_ProbeDone);
  KeReleaseInStackQueuedSpinLock(&handle);
}

void CStreamEngine::AccumulateProbe(ULONG CaptureBytes) {
  KLOCK_QUEUE_HANDLE probe;
  KeAcquireInStackQueuedSpinLock(&m_ProbeLock, &probe);
  if (!m_ProbeActive) {
    KeReleaseInStackQueuedSpinLock(&probe);
    return;
  }
  const ULONG captureFrame = m_Capture.DeviceFormat.BytesPerFrame;
  const ULONG renderFrame = m_Render.DeviceFormat.BytesPerFrame;
  const ULONG perContext =
      m_Tunables.CaptureMsPerTransfer != 0 ? m_Tunables.RenderMsPerTransfer / m_Tunables.CaptureMsPerTransfer : 1;
  KLOCK_QUEUE_HANDLE idle;
  KeAcquireInStackQueuedSpinLock(&m_IdleLock, &idle);
  PLIST_ENTRY entry = m_IdleList.Flink;
  for (ULONG i = 0; i < m_ProbeIndex && entry != &m_IdleList; ++i) {
    entry = entry->Flink;
  }
  if (entry == &m_IdleList || captureFrame == 0 || renderFrame == 0) {
    Trace(TRACE_LEVEL_WARNING, TraceEngineProbeShort, m_ProbeIndex);
    m_ProbeActive = FALSE;
    KeSetEvent(&m_ProbeDone, IO_NO_INCREMENT, FALSE);
  } else {
    StreamTransfer* context = CONTAINING_RECORD(entry, StreamTransfer, ListEntry);
    context->Length += (CaptureBytes / captureFrame) * renderFrame;
    if (++m_ProbeCount >= (perContext != 0 ? perContext : 1)) {
      ++m_ProbeIndex;
      m_ProbeCount = 0;
      if (entry->Flink == &m_IdleList) {
        KLOCK_QUEUE_HANDLE balance;
        KeAcquireInStackQueuedSpinLock(&m_BalanceLock, &balance);
        m_FrameBalance = (static_cast<LONG>(context->Length) - static_cast<LONG>(m_RenderNominalBytes)) /
                         static_cast<LONG>(renderFrame);
        KeReleaseInStackQueuedSpinLock(&balance);
        m_ProbeActive = FALSE;
        KeSetEvent(&m_ProbeDone, IO_NO_INCREMENT, FALSE);
      }
    }
  }
  KeReleaseInStackQueuedSpinLock(&idle);
  KeReleaseInStackQueuedSpinLock(&probe);
}
