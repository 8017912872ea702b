// The render direction: its thread and fixed set of render contexts,
// render transfer submission with the length from the rate pattern, the
// feedback value or the mirrored capture frames, completion processing in
// the render DPC, and render error recovery.
#include "engine/stream_engine.h"

#include "adapter/adapter_common.h"
#include "audiofunction/usb_audio_cl.h"
#include "base/pool.h"
#include "base/trace.h"
#include "engine/engine_trace_events.h"
#include "engine/render_path.h"

namespace {

constexpr LONGLONG kRecoveryPause = -25 * 10 * 1000;  // 25 ms
constexpr UCHAR kDsdSilence = 0x96;

StreamTransfer* TransferOfEntry(PLIST_ENTRY Entry) { return CONTAINING_RECORD(Entry, StreamTransfer, ListEntry); }

}  // namespace

BOOLEAN CStreamEngine::HasFeedbackReads() const {
  // A render clock that follows capture takes no feedback reads, whatever
  // endpoints the interface lists: their slots would never be released.
  StreamInterface* stream = m_Function->PlaybackStream();
  return stream != nullptr && stream->LoadFeedbackPipe() != nullptr && !m_Adapter->IsRenderCoupled();
}

UCHAR CStreamEngine::RenderSilenceByte() const { return m_Adapter->CurrentDsdMode() != 0 ? kDsdSilence : 0; }

void CStreamEngine::QueueOnRenderPaths(StreamTransfer* Transfer) {
  for (CRenderPath* path : m_RenderPaths) {
    if (path != nullptr) {
      path->Append(Transfer);
    }
  }
}

void CStreamEngine::EmptyRenderQueues() {
  for (CRenderPath* path : m_RenderPaths) {
    if (path != nullptr) {
      path->EmptyQueue();
    }
  }
}

VOID CStreamEngine::RenderThread(PVOID Context) {
  auto* engine = static_cast<CStreamEngine*>(Context);
  engine->RenderThreadLoop();
  KeSetEvent(&engine->m_Render.Exited, IO_NO_INCREMENT, FALSE);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

ULONG CStreamEngine::CreateRenderContexts() {
  const ULONG wanted =
      m_Adapter->AmdWorkaround() ? 2 * m_Tunables.RenderTransfersInFlight + 1 : m_Tunables.RenderTransfersInFlight;
  const ULONG size = m_Render.TransferBytes;
  ULONG created = 0;
  for (ULONG index = 0; index < wanted && index <= kTransferIndexMask; ++index) {
    StreamTransfer* context = AllocateRecord();
    if (context == nullptr) {
      continue;
    }
    context->Buffer = size != 0 ? AllocateDriverPool(size, kPoolTagDriver) : nullptr;
    context->Mdl = context->Buffer != nullptr ? IoAllocateMdl(context->Buffer, size, FALSE, FALSE, nullptr) : nullptr;
    if (context->Mdl == nullptr) {
      Trace(TRACE_LEVEL_ERROR, TraceEngineNoMemory, kDirectionRender, size);
      if (context->Buffer != nullptr) {
        FreeDriverPool(context->Buffer, kPoolTagDriver);
      }
      FreeRecord(context);
      continue;
    }
    MmBuildMdlForNonPagedPool(context->Mdl);
    context->Flags = index & kTransferIndexMask;
    InitializeListHead(&context->PathEntries[0]);
    InitializeListHead(&context->PathEntries[1]);
    RtlFillMemory(context->Buffer, size, m_Adapter->AsioSilenceByte());
    KLOCK_QUEUE_HANDLE handle;
    KeAcquireInStackQueuedSpinLock(&m_IdleLock, &handle);
    InsertTailList(&m_IdleList, &context->ListEntry);
    KeReleaseInStackQueuedSpinLock(&handle);
    ++created;
  }
  m_RenderContexts = created;
  return created;
}

void CStreamEngine::FreeRenderContexts() {
  // No path may keep a context that goes.
  EmptyRenderQueues();
  for (;;) {
    StreamTransfer* context = nullptr;
    KLOCK_QUEUE_HANDLE handle;
    KeAcquireInStackQueuedSpinLock(&m_IdleLock, &handle);
    if (!IsListEmpty(&m_IdleList)) {
      context = TransferOfEntry(RemoveHeadList(&m_IdleList));
    }
    KeReleaseInStackQueuedSpinLock(&handle);
    if (context == nullptr) {
      break;
    }
    IoFreeMdl(context->Mdl);
    FreeDriverPool(context->Buffer, kPoolTagDriver);
    FreeRecord(context);
  }
  m_RenderContexts = 0;
}

void CStreamEngine::StartFeedbackSide() {
  if (m_Adapter->IsRenderCoupled()) {
    RunLatencyProbe();
  } else if (HasFeedbackReads()) {
    KeSetEvent(&m_FeedbackRun, IO_NO_INCREMENT, FALSE);
  }
}

void CStreamEngine::RenderThreadLoop() {
  CreateRenderContexts();
  KeClearEvent(&m_Render.Error);
  StartFeedbackSide();
  if (m_Adapter->AmdWorkaround()) {
    KLOCK_QUEUE_HANDLE handle;
    KeAcquireInStackQueuedSpinLock(&m_IdleLock, &handle);
    for (PLIST_ENTRY entry = m_IdleList.Flink; entry != &m_IdleList; entry = entry->Flink) {
      QueueOnRenderPaths(TransferOfEntry(entry));
    }
    KeReleaseInStackQueuedSpinLock(&handle);
  }
  for (;;) {
    PVOID slots[2] = {&m_Render.Slots, &m_FeedbackSlots};
    const LONG slot = WaitForAny(2, slots, nullptr);
    KSEMAPHORE* taken = slot == 0 ? &m_Render.Slots : &m_FeedbackSlots;
    PVOID objects[3] = {&m_Render.Stop, &m_Render.Error, &m_Render.Run};
    const LONG index = WaitForAny(3, objects, nullptr);
    if (index == 0) {
      KeReleaseSemaphore(taken, IO_NO_INCREMENT, 1, FALSE);
      KeWaitForSingleObject(&m_Render.Idle, Executive, KernelMode, FALSE, nullptr);
      if (HasFeedbackReads()) {
        KeClearEvent(&m_FeedbackRun);
        KeWaitForSingleObject(&m_FeedbackIdle, Executive, KernelMode, FALSE, nullptr);
      }
      break;
    }
    if (index == 1) {
      KeReleaseSemaphore(taken, IO_NO_INCREMENT, 1, FALSE);
      RecoverRender();
      continue;
    }
    BOOLEAN submitted = FALSE;
    if (slot == 0) {
      CountUp(&m_Render.OutstandingLock, &m_Render.Outstanding, &m_Render.Idle);
      submitted = SubmitRender(nullptr);
    } else {
      CountUp(&m_FeedbackLock, &m_FeedbackOutstanding, &m_FeedbackIdle);
      submitted = SubmitFeedback(nullptr);
    }
    if (!submitted) {
      PauseAfterRefusal(m_Render);
    }
  }
  FreeRenderContexts();
}

BOOLEAN CStreamEngine::ComputeRenderLength(StreamTransfer* Transfer, PULONG Length) {
  const ULONG frameBytes = m_Render.DeviceFormat.BytesPerFrame;
  if (m_Adapter->IsRenderCoupled()) {
    if (!IsSet(&m_Render.FirstCompletion)) {
      *Length = Transfer->Length;  // what the latency probe measured
    } else {
      LONGLONG length = m_RenderNominalBytes;
      if (length != 0) {
        KLOCK_QUEUE_HANDLE handle;
        KeAcquireInStackQueuedSpinLock(&m_BalanceLock, &handle);
        LONG adjust = m_FrameBalance < m_RenderMinAdjust
                          ? m_RenderMinAdjust
                          : (m_FrameBalance < m_RenderMaxAdjust ? m_FrameBalance : m_RenderMaxAdjust);
        m_FrameBalance -= adjust;
        KeReleaseInStackQueuedSpinLock(&handle);
        length += static_cast<LONGLONG>(adjust) * frameBytes;
      }
      *Length = length > 0 ? static_cast<ULONG>(length) : 0;
    }
    return *Length != 0;
  }
  ULONG value = 0;
  StreamInterface* stream = m_Function->PlaybackStream();
  if (stream != nullptr && stream->LoadFeedbackPipe() != nullptr) {
    KLOCK_QUEUE_HANDLE handle;
    KeAcquireInStackQueuedSpinLock(&stream->FeedbackLock, &handle);
    stream->FeedbackRateInUse = stream->AcceptedFeedbackRate;
    value = stream->FeedbackRateInUse;
    KeReleaseInStackQueuedSpinLock(&handle);
  }
  Transfer->FeedbackUsed = value;
  *Length = m_Function->PlaybackBytes(m_Tunables.RenderMsPerTransfer, value);
  return TRUE;
}

BOOLEAN CStreamEngine::SubmitRender(StreamTransfer* HandedBack) {
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_IdleLock, &handle);
  if (HandedBack != nullptr) {
    InsertTailList(&m_IdleList, &HandedBack->ListEntry);
  }
  // A stopping render goes on only while WaveRT chunks remain to drain.
  BOOLEAN refuse = DeviceGone() || !IsSet(&m_Render.Run) ||
                   (IsSet(&m_Render.Stop) && !m_Adapter->HasQueuedRenderChunks()) || IsSet(&m_Render.Error);
  StreamTransfer* context = nullptr;
  if (!refuse && !IsListEmpty(&m_IdleList)) {
    context = TransferOfEntry(RemoveHeadList(&m_IdleList));
  }
  if (context != nullptr) {
    ULONG length = 0;
    const BOOLEAN amd = m_Adapter->AmdWorkaround();
    if (amd && context->Length != 0) {
      length = context->Length;
    } else if (!ComputeRenderLength(context, &length) && m_Adapter->IsRenderCoupled()) {
      KeSetEvent(&m_Render.Error, IO_NO_INCREMENT, FALSE);
    }
    if (length == 0 || length > m_Render.TransferBytes) {
      if (length != 0) {
        Trace(TRACE_LEVEL_ERROR, TraceEngineRenderLength, length, m_Render.TransferBytes);
      }
      InsertHeadList(&m_IdleList, &context->ListEntry);
      context = nullptr;
    } else {
      context->Length = length;
      if (!amd) {
        RtlFillMemory(context->Buffer, length, RenderSilenceByte());
        for (CRenderPath* path : m_RenderPaths) {
          if (path != nullptr) {
            path->MixDirect(static_cast<PUCHAR>(context->Buffer), length);
          }
        }
      } else {
        for (CRenderPath* path : m_RenderPaths) {
          if (path != nullptr) {
            path->OnRenderCompleted(context, 0, 0);
          }
        }
      }
      if (m_Adapter->DumpRenderTransfers()) {
        const UCHAR* bytes = static_cast<const UCHAR*>(context->Buffer);
        for (ULONG offset = 0; offset + 16 <= length; offset += 16) {
          Trace(TRACE_LEVEL_VERBOSE, TraceEngineDump, offset, *reinterpret_cast<const ULONG64*>(bytes + offset),
                *reinterpret_cast<const ULONG64*>(bytes + offset + 8), length);
        }
      }
      context->Flags |= kTransferInFlight;
      // Queued before the submission: its completion may run before this
      // call returns, and must find the transfer on the queues.
      if (!amd) {
        QueueOnRenderPaths(context);
      }
      const LONGLONG begin = KeQueryPerformanceCounter(nullptr).QuadPart;
      const NTSTATUS status = m_Function->SubmitPlayback(nullptr, context->Mdl, length, m_Tunables.RenderMsPerTransfer,
                                                         RenderCallback, context);
      m_Render.Counters.SubmitTicks += static_cast<ULONG64>(KeQueryPerformanceCounter(nullptr).QuadPart - begin);
      if (NT_SUCCESS(status)) {
        KeReleaseInStackQueuedSpinLock(&handle);
        return TRUE;
      }
      ++m_Render.Counters.SubmitFailures;
      Trace(TRACE_LEVEL_ERROR, TraceEngineSubmitFailed, kDirectionRender, status);
      context->Flags &= ~kTransferInFlight;
      if (!amd) {
        for (CRenderPath* path : m_RenderPaths) {
          if (path != nullptr) {
            path->Remove(context);
          }
        }
      }
      KeSetEvent(&m_Render.Error, IO_NO_INCREMENT, FALSE);
      InsertHeadList(&m_IdleList, &context->ListEntry);
    }
  }
  KeReleaseInStackQueuedSpinLock(&handle);
  KeReleaseSemaphore(&m_Render.Slots, IO_NO_INCREMENT, 1, FALSE);
  CountDown(&m_Render.OutstandingLock, &m_Render.Outstanding, &m_Render.Idle);
  return FALSE;
}

void CStreamEngine::ProcessRender(StreamTransfer* Transfer) {
  ++m_Render.Counters.Completions;
  NTSTATUS status = FrameCheck(m_Render, Transfer, m_Tunables.RenderMsPerTransfer, m_Tunables.RenderTransfersInFlight);
  if (NT_SUCCESS(status) && Transfer->BytesDone != Transfer->Length) {
    Trace(TRACE_LEVEL_ERROR, TraceEngineRenderShort, Transfer->Length, Transfer->BytesDone);
    KeSetEvent(&m_Render.Error, IO_NO_INCREMENT, FALSE);
  }
  if (NT_SUCCESS(status)) {
    m_Render.Counters.BytesDone += Transfer->BytesDone;
  }
  if (m_Adapter->AmdWorkaround()) {
    ULONG length = Transfer->Length;
    if (!m_Adapter->IsRenderCoupled() || IsSet(&m_Render.FirstCompletion)) {
      ComputeRenderLength(Transfer, &length);
    }
    if (length <= m_Render.TransferBytes) {
      Transfer->Length = length;
      RtlFillMemory(Transfer->Buffer, length, m_Adapter->AsioSilenceByte());
    }
    QueueOnRenderPaths(Transfer);
  } else {
    const ULONG frame = Transfer->StartFrame + m_Tunables.RenderMsPerTransfer;
    for (CRenderPath* path : m_RenderPaths) {
      if (path != nullptr) {
        path->OnRenderCompleted(Transfer, Transfer->BytesDone, frame);
      }
    }
  }
  if (!NT_SUCCESS(status)) {
    ++m_Render.Counters.Errors;
    Trace(TRACE_LEVEL_ERROR, TraceEngineTransferError, kDirectionRender, status, Transfer->BytesDone);
    if (IsDeviceGoneStatus(status)) {
      MarkDeviceGone(kDirectionRender, status);
      KeSetEvent(&m_Render.Stop, IO_NO_INCREMENT, FALSE);
    }
    KeSetEvent(&m_Render.Error, IO_NO_INCREMENT, FALSE);
    DeferFailedRender(Transfer);
    return;
  }
  SubmitRender(Transfer);
}

void CStreamEngine::DeferFailedRender(StreamTransfer* Transfer) {
  PIO_WORKITEM item = IoAllocateWorkItem(m_FunctionalDeviceObject);
  if (item == nullptr) {
    KLOCK_QUEUE_HANDLE handle;
    KeAcquireInStackQueuedSpinLock(&m_IdleLock, &handle);
    KeSetEvent(&m_Render.Error, IO_NO_INCREMENT, FALSE);
    InsertHeadList(&m_IdleList, &Transfer->ListEntry);
    KeReleaseInStackQueuedSpinLock(&handle);
    KeReleaseSemaphore(&m_Render.Slots, IO_NO_INCREMENT, 1, FALSE);
    CountDown(&m_Render.OutstandingLock, &m_Render.Outstanding, &m_Render.Idle);
    return;
  }
  Transfer->WorkItem = item;
  IoQueueWorkItem(item, RenderWorkItem, DelayedWorkQueue, Transfer);
}

VOID CStreamEngine::RenderWorkItem(PDEVICE_OBJECT DeviceObject, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  auto* transfer = static_cast<StreamTransfer*>(Context);
  PIO_WORKITEM item = transfer->WorkItem;
  transfer->WorkItem = nullptr;
  IoFreeWorkItem(item);
  transfer->Owner->SubmitRender(transfer);
}

void CStreamEngine::RecoverRender() {
  KeWaitForSingleObject(&m_Render.Idle, Executive, KernelMode, FALSE, nullptr);
  const BOOLEAN feedback = HasFeedbackReads();
  if (feedback) {
    KeClearEvent(&m_FeedbackRun);
    KeWaitForSingleObject(&m_FeedbackIdle, Executive, KernelMode, FALSE, nullptr);
  }
  StreamInterface* stream = m_Function->PlaybackStream();
  NTSTATUS status = STATUS_INVALID_DEVICE_STATE;
  if (stream != nullptr && stream->DataPipe != nullptr) {
    status = m_Function->ResetPipe(stream->DataPipe);
  }
  if (!NT_SUCCESS(status)) {
    Trace(TRACE_LEVEL_WARNING, TraceEnginePipeReset, kDirectionRender, status);
  }
  if (feedback) {
    status = m_Function->ResetPipe(stream->FeedbackPipe);
    if (!NT_SUCCESS(status)) {
      Trace(TRACE_LEVEL_WARNING, TraceEnginePipeReset, 2, status);
    }
    if (InterlockedExchange(&m_RenderSlotsReleased, 0) != 0) {
      for (ULONG i = 0; i < m_Tunables.RenderTransfersInFlight; ++i) {
        KeWaitForSingleObject(&m_Render.Slots, Executive, KernelMode, FALSE, nullptr);
      }
    }
  }
  EmptyRenderQueues();
  KeClearEvent(&m_Render.Error);
  LARGE_INTEGER pause;
  pause.QuadPart = kRecoveryPause;
  KeDelayExecutionThread(KernelMode, FALSE, &pause);
  ResetSlots(kDirectionRender);
  ++m_Render.Counters.Recoveries;
  Trace(TRACE_LEVEL_WARNING, TraceEngineRecovery, kDirectionRender, m_Render.Counters.Recoveries);

  if (m_Adapter->EnterRecoveryGate() != 0) {
    // A start or stop is running; it opens the gate when it ends.
    return;
  }
  m_Adapter->LockStreams();
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_IdleLock, &handle);
  KeClearEvent(&m_Render.FirstCompletion);
  EmptyRenderQueues();
  KeReleaseInStackQueuedSpinLock(&handle);
  StartFeedbackSide();
  m_Adapter->MarkAsioResetNeeded();
  const UCHAR silence = m_Adapter->AsioSilenceByte();
  const BOOLEAN amd = m_Adapter->AmdWorkaround();
  KeAcquireInStackQueuedSpinLock(&m_IdleLock, &handle);
  for (PLIST_ENTRY entry = m_IdleList.Flink; entry != &m_IdleList; entry = entry->Flink) {
    StreamTransfer* context = TransferOfEntry(entry);
    RtlFillMemory(context->Buffer, m_Render.TransferBytes, silence);
    if (amd) {
      QueueOnRenderPaths(context);
    }
  }
  KeReleaseInStackQueuedSpinLock(&handle);
  for (CRenderPath* path : m_RenderPaths) {
    if (path != nullptr) {
      path->ResetLead();
    }
  }
  m_Adapter->UnlockStreams();
  m_Adapter->LeaveRecoveryGate();
}
