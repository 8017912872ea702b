// Set-up and teardown of the engine and the per-direction operations the
// device core runs under its stream mutex.
#include "engine/stream_engine.h"

#include "adapter/adapter_common.h"
#include "audiofunction/usb_audio_cl.h"
#include "base/pool.h"
#include "base/trace.h"
#include "engine/engine_trace_events.h"

namespace {

// How long a direction's clock may take to become stable, polled every 1 ms.
constexpr ULONG kClockStablePolls = 100;
constexpr LONGLONG kOneMillisecond = -10 * 1000;

PVOID AllocateRecordEntry(POOL_TYPE PoolType, SIZE_T Size, ULONG Tag) {
  UNREFERENCED_PARAMETER(PoolType);
  return AllocateDriverPool(Size, Tag);
}

VOID FreeRecordEntry(PVOID Entry) { FreeDriverPool(Entry, kPoolTagDriver); }

void InitializeDirection(CStreamEngine* Engine, PKDEFERRED_ROUTINE Routine, KEVENT* Stop, KEVENT* Run, KEVENT* Error,
                         KEVENT* First, KEVENT* Idle, KSPIN_LOCK* OutstandingLock, KSPIN_LOCK* CompletionLock,
                         LIST_ENTRY* Completions, KDPC* Dpc) {
  KeInitializeEvent(Stop, NotificationEvent, TRUE);
  KeInitializeEvent(Run, NotificationEvent, FALSE);
  KeInitializeEvent(Error, NotificationEvent, FALSE);
  KeInitializeEvent(First, NotificationEvent, FALSE);
  KeInitializeEvent(Idle, NotificationEvent, TRUE);
  KeInitializeSpinLock(OutstandingLock);
  KeInitializeSpinLock(CompletionLock);
  InitializeListHead(Completions);
  KeInitializeDpc(Dpc, Routine, Engine);
}

}  // namespace

NTSTATUS CStreamEngine::Initialize(CAdapterCommon* Adapter, CUSBAudioCL* Function,
                                   PDEVICE_OBJECT FunctionalDeviceObject) {
  m_Adapter = Adapter;
  m_Function = Function;
  m_FunctionalDeviceObject = FunctionalDeviceObject;
  m_Tunables = {kDefaultRenderMsPerTransfer, kDefaultRenderTransfersInFlight, kDefaultCaptureMsPerTransfer,
                kDefaultCaptureTransfersInFlight};
  m_DeviceGone = 0;
  InitializeDirection(this, RenderDpc, &m_Render.Stop, &m_Render.Run, &m_Render.Error, &m_Render.FirstCompletion,
                      &m_Render.Idle, &m_Render.OutstandingLock, &m_Render.CompletionLock, &m_Render.Completions,
                      &m_Render.Dpc);
  InitializeDirection(this, CaptureDpc, &m_Capture.Stop, &m_Capture.Run, &m_Capture.Error, &m_Capture.FirstCompletion,
                      &m_Capture.Idle, &m_Capture.OutstandingLock, &m_Capture.CompletionLock, &m_Capture.Completions,
                      &m_Capture.Dpc);
  KeInitializeEvent(&m_Render.Exited, NotificationEvent, TRUE);
  KeInitializeEvent(&m_Capture.Exited, NotificationEvent, TRUE);
  KeInitializeSemaphore(&m_Render.Slots, 0, static_cast<LONG>(kMaxRenderTransfersInFlight));
  KeInitializeSemaphore(&m_Capture.Slots, 0, static_cast<LONG>(kMaxCaptureTransfersInFlight));
  KeInitializeSemaphore(&m_FeedbackSlots, 0, static_cast<LONG>(kFeedbackReadsInFlight));
  KeInitializeEvent(&m_FeedbackRun, NotificationEvent, FALSE);
  KeInitializeEvent(&m_FeedbackIdle, NotificationEvent, TRUE);
  KeInitializeSpinLock(&m_FeedbackLock);
  KeInitializeSpinLock(&m_IdleLock);
  InitializeListHead(&m_IdleList);
  KeInitializeSpinLock(&m_BalanceLock);
  KeInitializeSpinLock(&m_ProbeLock);
  KeInitializeEvent(&m_ProbeDone, NotificationEvent, FALSE);

  constexpr SIZE_T kAlignment = alignof(NPAGED_LOOKASIDE_LIST);
  m_LookasideBlock = AllocateDriverPool(sizeof(NPAGED_LOOKASIDE_LIST) + kAlignment - 1, kPoolTagDriver);
  if (m_LookasideBlock == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  const ULONG_PTR aligned = (reinterpret_cast<ULONG_PTR>(m_LookasideBlock) + kAlignment - 1) & ~(kAlignment - 1);
  m_Records = reinterpret_cast<PNPAGED_LOOKASIDE_LIST>(aligned);
  ExInitializeNPagedLookasideList(m_Records, AllocateRecordEntry, FreeRecordEntry, 0, sizeof(StreamTransfer),
                                  kPoolTagDriver, 0);
  m_Initialized = TRUE;
  return STATUS_SUCCESS;
}

void CStreamEngine::Shutdown() {
  if (!m_Initialized) {
    return;
  }
  StopDirectionThread(kDirectionRender);
  StopDirectionThread(kDirectionCapture);
  // A DPC may still be returning from the last record it processed.
  KeFlushQueuedDpcs();
  ExDeleteNPagedLookasideList(m_Records);
  FreeDriverPool(m_LookasideBlock, kPoolTagDriver);
  m_LookasideBlock = nullptr;
  m_Records = nullptr;
  m_Initialized = FALSE;
}

void CStreamEngine::SetCapturePath(ULONG Index, CCapturePath* Path) {
  if (Index < kCapturePaths) {
    m_CapturePaths[Index] = Path;
  }
}

void CStreamEngine::SetRenderPath(ULONG Index, CRenderPath* Path) {
  if (Index < kCapturePaths) {
    m_RenderPaths[Index] = Path;
  }
}

NTSTATUS CStreamEngine::ConfigureDirection(UCHAR DirectionValue) {
  const BOOLEAN capture = IsCaptureDirection(DirectionValue);
  const UCHAR usbDirection = capture ? kDirectionCapture : kDirectionRender;
  StreamFormat requested = {};
  const BOOLEAN formatSet = m_Adapter->StreamFormatFor(usbDirection, &requested);
  const BOOLEAN coupled = m_Adapter->IsRenderCoupled();
  USHORT type = requested.FormatType;
  ULONG channels = requested.Channels;
  ULONG bits = requested.BitsPerSample;
  ULONG rate = requested.SampleRate;
  if (!m_Adapter->PerStreamFormatMode() || (capture && coupled) || !formatSet) {
    rate = m_Adapter->StreamSampleRate() != 0 ? m_Adapter->StreamSampleRate() : m_Adapter->GetDeviceSampleRate();
    if (rate == 0) {
      // Per-stream rates and no stream has asked for one: a rate of 0 would
      // select the zero-bandwidth setting, and a start would wait for
      // transfers that cannot exist.
      Trace(TRACE_LEVEL_ERROR, TraceEngineConfigure, usbDirection, STATUS_INVALID_DEVICE_STATE, 0, 0);
      return STATUS_INVALID_DEVICE_STATE;
    }
    type = m_Adapter->CurrentDsdMode() == 0 ? 3 : 1;
    NTSTATUS status = m_Function->GetBestFormat(usbDirection, type, rate, &channels, &bits);
    if (status == STATUS_NO_MATCH && type == 3) {
      type = 1;
      status = m_Function->GetBestFormat(usbDirection, type, rate, &channels, &bits);
    }
    if (!NT_SUCCESS(status)) {
      Trace(TRACE_LEVEL_ERROR, TraceEngineConfigure, usbDirection, status, 0, 0);
      return status;
    }
  }
  NTSTATUS status = m_Adapter->SetDsdMode(m_Adapter->CurrentDsdMode());
  if (!NT_SUCCESS(status)) {
    Trace(TRACE_LEVEL_ERROR, TraceEngineConfigure, usbDirection, status, 0, 0);
    return status;
  }

  const ULONG ms = capture ? m_Tunables.CaptureMsPerTransfer : m_Tunables.RenderMsPerTransfer;
  ULONG chosenChannels = 0;
  ULONG chosenBits = 0;
  ULONG transferBytes = 0;
  ULONG nominal = 0;
  LONG below = 0;
  LONG above = 0;
  if (coupled) {
    status = m_Function->SelectStreamingFormat(usbDirection, type, channels, bits, rate, ms, &chosenChannels,
                                               &chosenBits, &nominal, &below, &above, &transferBytes);
  } else {
    status = m_Function->SelectStreamingFormat(usbDirection, type, channels, bits, rate, ms, &chosenChannels,
                                               &chosenBits, &transferBytes);
  }
  Direction& which = DirectionOf(usbDirection);
  if (!NT_SUCCESS(status)) {
    Trace(TRACE_LEVEL_ERROR, TraceEngineConfigure, usbDirection, status, 0, 0);
    return status;
  }
  which.DeviceFormat.FormatType = type;
  which.DeviceFormat.Channels = chosenChannels;
  which.DeviceFormat.BitsPerSample = chosenBits;
  which.DeviceFormat.SampleRate = rate;
  which.DeviceFormat.BytesPerFrame = chosenChannels * chosenBits / 8;
  which.TransferBytes = transferBytes;
  if (coupled) {
    if (capture) {
      m_CaptureNominalBytes = nominal;
      m_CaptureMinDeviation = below;
      m_CaptureMaxDeviation = above;
    } else {
      m_RenderNominalBytes = nominal;
      m_RenderMinAdjust = below;
      m_RenderMaxAdjust = above;
    }
  }
  Trace(TRACE_LEVEL_INFORMATION, TraceEngineConfigure, usbDirection, status, transferBytes,
        which.DeviceFormat.BytesPerFrame);
  return status;
}

void CStreamEngine::ResetSlots(UCHAR DirectionValue) {
  if (IsCaptureDirection(DirectionValue)) {
    return;
  }
  const LONG renderSlots = static_cast<LONG>(m_Tunables.RenderTransfersInFlight);
  if (HasFeedbackReads()) {
    KeInitializeSemaphore(&m_FeedbackSlots, static_cast<LONG>(kFeedbackReadsInFlight),
                          static_cast<LONG>(kFeedbackReadsInFlight));
    KeInitializeSemaphore(&m_Render.Slots, 0, renderSlots);
    InterlockedExchange(&m_RenderSlotsReleased, 0);
  } else {
    KeInitializeSemaphore(&m_FeedbackSlots, 0, static_cast<LONG>(kFeedbackReadsInFlight));
    KeInitializeSemaphore(&m_Render.Slots, renderSlots, renderSlots);
    InterlockedExchange(&m_RenderSlotsReleased, 1);
  }
}

NTSTATUS CStreamEngine::StartDirectionThread(UCHAR DirectionValue) {
  const BOOLEAN capture = IsCaptureDirection(DirectionValue);
  const UCHAR usbDirection = capture ? kDirectionCapture : kDirectionRender;
  Direction& which = DirectionOf(usbDirection);
  KeClearEvent(&which.Stop);
  BOOLEAN stable = m_Function->IsClockStable(usbDirection);
  for (ULONG poll = 0; !stable && poll < kClockStablePolls; ++poll) {
    LARGE_INTEGER delay;
    delay.QuadPart = kOneMillisecond;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    stable = m_Function->IsClockStable(usbDirection);
  }
  if (!stable) {
    KeSetEvent(&which.Stop, IO_NO_INCREMENT, FALSE);
    Trace(TRACE_LEVEL_ERROR, TraceEngineClockUnstable, usbDirection);
    return STATUS_UNSUCCESSFUL;
  }
  KeClearEvent(&which.Exited);
  if (capture) {
    // Every slot is back once the previous thread has gone.
    const LONG slots = static_cast<LONG>(m_Tunables.CaptureTransfersInFlight);
    KeInitializeSemaphore(&m_Capture.Slots, slots, slots);
  }
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE handle = nullptr;
  NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr,
                                         capture ? CaptureThread : RenderThread, this);
  if (NT_SUCCESS(status)) {
    PVOID thread = nullptr;
    status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread, nullptr);
    if (NT_SUCCESS(status)) {
      InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&which.Thread), thread);
    } else {
      // The thread runs but its object cannot be had: stop it and wait
      // until it has left the engine.
      KeSetEvent(&which.Stop, IO_NO_INCREMENT, FALSE);
      KeWaitForSingleObject(&which.Exited, Executive, KernelMode, FALSE, nullptr);
    }
    ZwClose(handle);
  }
  if (!NT_SUCCESS(status)) {
    KeSetEvent(&which.Stop, IO_NO_INCREMENT, FALSE);
    Trace(TRACE_LEVEL_ERROR, TraceEngineThreadFailed, usbDirection, status);
  }
  return status;
}

void CStreamEngine::RunDirection(UCHAR DirectionValue) {
  if (IsCaptureDirection(DirectionValue)) {
    KeClearEvent(&m_Capture.FirstCompletion);
    KeSetEvent(&m_Capture.Run, IO_NO_INCREMENT, FALSE);
    return;
  }
  KeClearEvent(&m_Render.FirstCompletion);
  KeSetEvent(&m_Render.Run, 8, FALSE);
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_BalanceLock, &handle);
  m_FrameBalance = 0;
  KeReleaseInStackQueuedSpinLock(&handle);
}

NTSTATUS CStreamEngine::WaitFirstCompletion(UCHAR DirectionValue, LONGLONG Timeout) {
  Direction& which = DirectionOf(DirectionValue);
  PVOID objects[2] = {&which.FirstCompletion, &which.Stop};
  LARGE_INTEGER timeout;
  timeout.QuadPart = -Timeout;
  const LONG index = WaitForAny(2, objects, &timeout);
  if (index == 0) {
    return STATUS_SUCCESS;
  }
  const NTSTATUS status = index == 1 ? STATUS_CANCELLED : STATUS_UNSUCCESSFUL;
  Trace(TRACE_LEVEL_ERROR, TraceEngineFirstTimeout, IsCaptureDirection(DirectionValue) ? 1 : 0, status);
  return status;
}

void CStreamEngine::StopDirectionThread(UCHAR DirectionValue) {
  Direction& which = DirectionOf(DirectionValue);
  auto* thread =
      static_cast<PKTHREAD>(InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&which.Thread), nullptr));
  if (thread == nullptr) {
    return;
  }
  KeSetEvent(&which.Stop, IO_NO_INCREMENT, FALSE);
  KeClearEvent(&which.Run);
  if (!IsCaptureDirection(DirectionValue) && KeGetCurrentIrql() <= APC_LEVEL) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10 * 1000 * 1000;
    KeWaitForSingleObject(&m_Render.Idle, Executive, KernelMode, FALSE, &timeout);
  }
  KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(thread);
  KeClearEvent(&which.FirstCompletion);
}

void CStreamEngine::ReleaseDirectionFormat(UCHAR DirectionValue) {
  const UCHAR usbDirection = IsCaptureDirection(DirectionValue) ? kDirectionCapture : kDirectionRender;
  if (m_Function->GetCurrentAlternate(usbDirection) == 0) {
    return;
  }
  ULONG channels = 0;
  ULONG bits = 0;
  ULONG bytes = 0;
  if (m_Adapter->IsRenderCoupled()) {
    ULONG nominal = 0;
    LONG below = 0;
    LONG above = 0;
    m_Function->SelectStreamingFormat(usbDirection, 0, 0, 0, 0, 1, &channels, &bits, &nominal, &below, &above, &bytes);
  } else {
    m_Function->SelectStreamingFormat(usbDirection, 0, 0, 0, 0, 1, &channels, &bits, &bytes);
  }
}

BOOLEAN CStreamEngine::IsThreadRunning(UCHAR DirectionValue) const {
  return DirectionOf(DirectionValue).Thread != nullptr;
}

void CStreamEngine::FailNextCompletion(UCHAR DirectionValue) {
  InterlockedExchange(&DirectionOf(DirectionValue).FailNext, 1);
}

const StreamFormat& CStreamEngine::DeviceFormat(UCHAR DirectionValue) const {
  return DirectionOf(DirectionValue).DeviceFormat;
}

ULONG CStreamEngine::TransferBytes(UCHAR DirectionValue) const { return DirectionOf(DirectionValue).TransferBytes; }

void CStreamEngine::GetCounters(UCHAR DirectionValue, EngineDirectionCounters* Counters) const {
  *Counters = DirectionOf(DirectionValue).Counters;
}

LONG CStreamEngine::FrameBalance() {
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_BalanceLock, &handle);
  const LONG balance = m_FrameBalance;
  KeReleaseInStackQueuedSpinLock(&handle);
  return balance;
}

void CStreamEngine::CountUp(KSPIN_LOCK* Lock, LONG* Count, KEVENT* Idle) {
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(Lock, &handle);
  if ((*Count)++ == 0) {
    KeClearEvent(Idle);
  }
  KeReleaseInStackQueuedSpinLock(&handle);
}

void CStreamEngine::CountDown(KSPIN_LOCK* Lock, LONG* Count, KEVENT* Idle) {
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(Lock, &handle);
  if (*Count > 0 && --(*Count) == 0) {
    KeSetEvent(Idle, IO_NO_INCREMENT, FALSE);
  }
  KeReleaseInStackQueuedSpinLock(&handle);
}

StreamTransfer* CStreamEngine::AllocateRecord() {
  auto* transfer = static_cast<StreamTransfer*>(ExAllocateFromNPagedLookasideList(m_Records));
  if (transfer != nullptr) {
    RtlZeroMemory(transfer, sizeof(*transfer));
    transfer->Owner = this;
    InitializeListHead(&transfer->ListEntry);
  }
  return transfer;
}

void CStreamEngine::FreeRecord(StreamTransfer* Transfer) {
  if (Transfer != nullptr) {
    ExFreeToNPagedLookasideList(m_Records, Transfer);
  }
}

LONG CStreamEngine::WaitForAny(ULONG Count, PVOID* Objects, PLARGE_INTEGER Timeout) {
  const NTSTATUS status =
      KeWaitForMultipleObjects(Count, Objects, WaitAny, Executive, KernelMode, FALSE, Timeout, nullptr);
  if (status >= STATUS_WAIT_0 && status < STATUS_WAIT_0 + static_cast<NTSTATUS>(Count)) {
    return status - STATUS_WAIT_0;
  }
  return -1;
}

BOOLEAN CStreamEngine::IsDeviceGoneStatus(NTSTATUS Status) {
  return Status == STATUS_NO_SUCH_DEVICE || Status == STATUS_DELETE_PENDING || Status == STATUS_DEVICE_NOT_CONNECTED;
}

void CStreamEngine::MarkDeviceGone(UCHAR DirectionValue, NTSTATUS Status) {
  m_Adapter->MarkDeviceFailed();
  InterlockedExchange(&m_DeviceGone, 1);
  // Nothing can stream on a device that is gone: the other direction stops
  // too, instead of refusing every transfer until someone stops it (a start
  // waiting for its first completion would wait out its whole limit).
  KeSetEvent(&m_Render.Stop, IO_NO_INCREMENT, FALSE);
  KeSetEvent(&m_Capture.Stop, IO_NO_INCREMENT, FALSE);
  Trace(TRACE_LEVEL_ERROR, TraceEngineDeviceGone, DirectionValue, Status);
}
