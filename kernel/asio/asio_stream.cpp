#include "asio/asio_stream.h"

#include "adapter/adapter_common.h"
#include "asio/asio_position.h"
#include "asio/asio_ring_plan.h"
#include "asio/asio_trace_events.h"
#include "asio/format_query.h"
#include "base/trace.h"

namespace {

constexpr ULONG kReserveAttempts = 10;
constexpr LONGLONG kOneMillisecond = 10000;  // 100-ns units
constexpr UCHAR kDsdSilence = 0x96;
// The longest period a client may ask for: far above any ASIO buffer size
// (2048 frames at 32 times 44.1 or 48 kHz), and it keeps a client's ring
// requests to megabytes of non-paged pool instead of gigabytes.
constexpr ULONG kMaxPeriodFrames = 65536;

// Driver-wide overrides set through the private interface.
volatile LONG g_RenderLeadOverride = 0;
volatile LONG g_RenderPrefillOverride = 0;

}  // namespace

void CAsioStream::SetRenderLeadOverride(ULONG Frames) {
  InterlockedExchange(&g_RenderLeadOverride, static_cast<LONG>(Frames));
}

void CAsioStream::SetRenderPrefillOverride(ULONG Frames) {
  InterlockedExchange(&g_RenderPrefillOverride, static_cast<LONG>(Frames));
}

void CAsioStream::ResetOverrides() {
  SetRenderLeadOverride(0);
  SetRenderPrefillOverride(0);
}

void CAsioStream::Initialize(CAdapterCommon* Adapter) {
  m_Adapter = Adapter;
  m_FunctionalDeviceObject = nullptr;
  m_CaptureRing.Initialize(TRUE);
  m_RenderRing.Initialize(FALSE);
  m_Owner = 0;
  KeInitializeSpinLock(&m_PendingLock);
  InitializeListHead(&m_Pending);
  m_Accepting = FALSE;
  KeInitializeSpinLock(&m_StreamingLock);
  m_Streaming = FALSE;
  ResetFormat();
  m_BufferFrames = 0;
  m_LeadPercent = 0;
  m_ResetNeeded = 0;
  m_ClockNotStarted = 1;
  m_ClockOrigin = 0;
  m_LastPosition = 0;
  m_WriterThread = nullptr;
  KeInitializeEvent(&m_WriterStop, NotificationEvent, FALSE);
  KeInitializeEvent(&m_WriterWake, SynchronizationEvent, FALSE);
}

void CAsioStream::Shutdown() {
  CancelAllPending();
  StopWriter();
  m_CaptureRing.Free();
  m_RenderRing.Free();
}

void CAsioStream::ResetFormat() {
  m_Rate = 0;
  m_Dsd = 0;
  m_FormatType = 1;
  m_CaptureChannels = 0;
  m_CaptureBits = 0;
  m_RenderChannels = 0;
  m_RenderBits = 0;
}

StreamFormat CAsioStream::RenderFormat() {
  return StreamFormat{m_FormatType, m_RenderChannels, m_RenderBits, m_Rate, m_RenderChannels * m_RenderBits / 8};
}

StreamFormat CAsioStream::CaptureFormat() {
  return StreamFormat{m_FormatType, m_CaptureChannels, m_CaptureBits, m_Rate, m_CaptureChannels * m_CaptureBits / 8};
}

void CAsioStream::UndoReservation(BOOLEAN Capture, BOOLEAN Render) {
  m_Adapter->SetDsdMode(0);
  m_Adapter->ReleaseDirection(Capture, Render);
}

NTSTATUS CAsioStream::Prepare(const ASIO_PREPARE_RECORD& Record) {
  const BOOLEAN capture = Record.CaptureWanted != 0;
  const BOOLEAN render = Record.RenderWanted != 0;
  const BOOLEAN dsd = Record.Dsd == 1;
  const USHORT type = Record.FormatType;
  CUSBAudioCL& function = m_Adapter->Function();
  if (Record.BufferFrames == 0 || Record.BufferFrames > kMaxPeriodFrames) {
    return STATUS_INVALID_PARAMETER;
  }
  if ((capture && function.CaptureStream() == nullptr) || (render && function.PlaybackStream() == nullptr)) {
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  if (!capture && !render) {
    return STATUS_INVALID_PARAMETER;
  }
  if ((dsd && !m_Adapter->IsDsdNativeSupported()) || (type != 1 && type != 3) || (dsd && type == 3)) {
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  if (IsPrepared()) {
    // A second prepare must not take the directions a second time.
    return STATUS_UNSUCCESSFUL;
  }

  const BOOLEAN exclusive = dsd || type == 3;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  for (ULONG attempt = 0; attempt < kReserveAttempts; ++attempt) {
    status = m_Adapter->ReserveDirection(capture, render, exclusive);
    if (NT_SUCCESS(status) || attempt + 1 == kReserveAttempts) {
      break;
    }
    LARGE_INTEGER delay;
    delay.QuadPart = -kOneMillisecond;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
  }
  if (!NT_SUCCESS(status)) {
    Trace(TRACE_LEVEL_WARNING, TraceAsioPrepareFailed, 3, status);
    return status;
  }
  status = m_Adapter->SetDsdMode(dsd ? 1 : 0);
  if (!NT_SUCCESS(status)) {
    m_Adapter->ReleaseDirection(capture, render);
    Trace(TRACE_LEVEL_WARNING, TraceAsioPrepareFailed, 4, status);
    return status;
  }

  const ULONG deviceRate = m_Adapter->GetDeviceSampleRate();
  const ULONG rate = deviceRate != 0 ? deviceRate : m_Adapter->StreamSampleRate();
  ASIO_FORMAT_RECORD format = {};
  status = QueryAsioFormat(function, type, rate, &format);
  if (NT_SUCCESS(status) && ((capture && (format.CaptureChannels == 0 || format.CaptureBits == 0)) ||
                             (render && (format.RenderChannels == 0 || format.RenderBits == 0)))) {
    status = STATUS_INVALID_DEVICE_REQUEST;
  }
  AsioRingPlan plan = {};
  if (NT_SUCCESS(status)) {
    status = AsioRingFrames(rate, Record.BufferFrames, capture, render,
                            m_Adapter->Engine().Tunables().RenderMsPerTransfer, &plan);
  }
  if (!NT_SUCCESS(status)) {
    UndoReservation(capture, render);
    Trace(TRACE_LEVEL_WARNING, TraceAsioPrepareFailed, 5, status);
    return status;
  }

  m_Rate = rate;
  m_Dsd = dsd ? 1 : 0;
  m_FormatType = type;
  m_CaptureChannels = capture ? format.CaptureChannels : 0;
  m_CaptureBits = capture ? format.CaptureBits : 0;
  m_RenderChannels = render ? format.RenderChannels : 0;
  m_RenderBits = render ? format.RenderBits : 0;
  const UCHAR silence = dsd ? kDsdSilence : 0;
  if (plan.CaptureFrames != 0) {
    status = m_CaptureRing.Allocate(plan.CaptureFrames, m_CaptureChannels * m_CaptureBits / 8, silence);
  }
  if (NT_SUCCESS(status) && plan.RenderFrames != 0) {
    status = m_RenderRing.Allocate(plan.RenderFrames, m_RenderChannels * m_RenderBits / 8, silence);
  }
  if (!NT_SUCCESS(status)) {
    m_CaptureRing.Free();
    m_RenderRing.Free();
    ResetFormat();
    UndoReservation(capture, render);
    Trace(TRACE_LEVEL_WARNING, TraceAsioPrepareFailed, 8, status);
    return status;
  }
  m_BufferFrames = Record.BufferFrames;
  m_LeadPercent = Record.LeadPercent;
  m_Adapter->AttachAsioStream(this);
  Trace(TRACE_LEVEL_INFORMATION, TraceAsioPrepared, rate, Record.BufferFrames, plan.CaptureFrames, plan.RenderFrames);
  return STATUS_SUCCESS;
}

BOOLEAN CAsioStream::IsStreaming() {
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_StreamingLock, &handle);
  const BOOLEAN streaming = m_Streaming;
  KeReleaseInStackQueuedSpinLock(&handle);
  return streaming;
}

NTSTATUS CAsioStream::Start() {
  if (IsStreaming()) {
    return STATUS_SUCCESS;
  }
  const BOOLEAN capture = m_CaptureRing.HasStorage();
  const BOOLEAN render = m_RenderRing.HasStorage();
  if (!capture && !render) {
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  if (capture && render) {
    const ULONG prefill = static_cast<ULONG>(g_RenderPrefillOverride);
    m_RenderRing.Reset(prefill != 0 ? prefill : AsioRenderPrefill(m_Rate, m_BufferFrames));
  }
  CRenderPath& renderPath = m_Adapter->RenderPath(CAdapterCommon::kAsioClient);
  CCapturePath& capturePath = m_Adapter->CapturePath(CAdapterCommon::kAsioClient);
  renderPath.SetLeadPercentage(m_LeadPercent);
  renderPath.SetLeadOverride(static_cast<ULONG>(g_RenderLeadOverride));

  InterlockedExchange(&m_ResetNeeded, 0);
  InterlockedExchange(&m_ClockNotStarted, 1);
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_PendingLock, &handle);
  m_Accepting = TRUE;
  KeReleaseInStackQueuedSpinLock(&handle);

  NTSTATUS status = STATUS_SUCCESS;
  BOOLEAN captureStarted = FALSE;
  BOOLEAN renderStarted = FALSE;
  BOOLEAN capturePathStarted = FALSE;
  if (capture) {
    status = m_Adapter->StartEngineDirection(kDirectionCapture);
    captureStarted = NT_SUCCESS(status);
    if (NT_SUCCESS(status)) {
      CStreamEngine& engine = m_Adapter->Engine();
      const ULONG frameBytes = engine.DeviceFormat(kDirectionCapture).BytesPerFrame;
      status = frameBytes != 0
                   ? capturePath.Start(engine.TransferBytes(kDirectionCapture) / frameBytes, frameBytes)
                   : STATUS_INVALID_DEVICE_STATE;
      capturePathStarted = NT_SUCCESS(status);
    }
  } else {
    status = StartWriter();
  }
  if (NT_SUCCESS(status) && render) {
    status = m_Adapter->StartEngineDirection(kDirectionRender);
    renderStarted = NT_SUCCESS(status);
    if (NT_SUCCESS(status)) {
      status = renderPath.Start();
    }
  }
  if (!NT_SUCCESS(status)) {
    renderPath.Reset();
    if (capturePathStarted) {
      capturePath.Stop();
    }
    if (renderStarted) {
      m_Adapter->StopEngineDirection(kDirectionRender);
    }
    if (captureStarted) {
      m_Adapter->StopEngineDirection(kDirectionCapture);
    }
    StopWriter();
    CancelAllPending();
    Trace(TRACE_LEVEL_WARNING, TraceAsioStartFailed, status);
    return status;
  }
  KeAcquireInStackQueuedSpinLock(&m_StreamingLock, &handle);
  m_Streaming = TRUE;
  KeReleaseInStackQueuedSpinLock(&handle);
  return STATUS_SUCCESS;
}

void CAsioStream::Stop() {
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_StreamingLock, &handle);
  const BOOLEAN streaming = m_Streaming;
  m_Streaming = FALSE;
  KeReleaseInStackQueuedSpinLock(&handle);
  if (!streaming) {
    return;
  }
  StopWriter();
  InterlockedExchange(&m_ResetNeeded, 0);
  m_LastPosition = 0;
  InterlockedExchange(&m_ClockNotStarted, 1);
  CancelAllPending();
  m_Adapter->RenderPath(CAdapterCommon::kAsioClient).Reset();
  m_Adapter->CapturePath(CAdapterCommon::kAsioClient).Stop();
  if (m_CaptureRing.HasStorage()) {
    m_Adapter->StopEngineDirection(kDirectionCapture);
    m_CaptureRing.Reset();
  }
  if (m_RenderRing.HasStorage()) {
    m_Adapter->StopEngineDirection(kDirectionRender);
    m_RenderRing.Reset();
  }
}

void CAsioStream::Unprepare() {
  StopWriter();
  const BOOLEAN capture = m_CaptureRing.HasStorage();
  const BOOLEAN render = m_RenderRing.HasStorage();
  if (!capture && !render) {
    return;
  }
  m_Adapter->AttachAsioStream(nullptr);
  m_CaptureRing.Free();
  m_RenderRing.Free();
  ResetFormat();
  m_Adapter->SetDsdMode(0);
  m_Adapter->ReleaseDirection(capture, render);
}

void CAsioStream::Go() { m_CaptureRing.SetStarted(TRUE); }

ULONG CAsioStream::GetPosition() {
  LARGE_INTEGER frequency;
  const LARGE_INTEGER now = KeQueryPerformanceCounter(&frequency);
  ULONG position = 0;
  if (m_ClockNotStarted == 0 && now.QuadPart >= m_ClockOrigin) {
    position = AsioPositionFrames(static_cast<ULONGLONG>(now.QuadPart - m_ClockOrigin),
                                  static_cast<ULONGLONG>(frequency.QuadPart), m_Rate);
  }
  m_LastPosition = position;
  return position;
}

void CAsioStream::SyncPosition(ULONG Frames) {
  const ULONG behind = Frames < m_LastPosition ? m_LastPosition - Frames : 0;
  if (behind == 0) {
    return;
  }
  if (m_CaptureRing.HasStorage()) {
    const ULONGLONG bytes = static_cast<ULONGLONG>(behind) * m_CaptureRing.BytesPerFrame();
    m_CaptureRing.Read(nullptr, bytes > MAXLONG ? MAXLONG : static_cast<ULONG>(bytes), FALSE);
  }
  if (m_RenderRing.HasStorage()) {
    const ULONGLONG bytes = static_cast<ULONGLONG>(behind) * m_RenderRing.BytesPerFrame();
    m_RenderRing.Write(nullptr, bytes > MAXLONG ? MAXLONG : static_cast<ULONG>(bytes), FALSE);
  }
}

NTSTATUS CAsioStream::StartWriter() {
  if (m_WriterThread != nullptr) {
    return STATUS_SUCCESS;
  }
  KeClearEvent(&m_WriterStop);
  KeClearEvent(&m_WriterWake);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE handle = nullptr;
  NTSTATUS status =
      PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, WriterThread, this);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  PVOID thread = nullptr;
  status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread, nullptr);
  ZwClose(handle);
  if (!NT_SUCCESS(status)) {
    // It runs but cannot be waited for by object: it must end before we go on.
    KeSetEvent(&m_WriterStop, IO_NO_INCREMENT, FALSE);
    return status;
  }
  m_WriterThread = static_cast<PKTHREAD>(thread);
  // Render-only writes are completed from it: it runs above ordinary threads.
  KeSetPriorityThread(m_WriterThread, LOW_REALTIME_PRIORITY);
  return STATUS_SUCCESS;
}

void CAsioStream::StopWriter() {
  PKTHREAD thread = m_WriterThread;
  if (thread == nullptr) {
    return;
  }
  KeSetEvent(&m_WriterStop, IO_NO_INCREMENT, FALSE);
  KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(thread);
  m_WriterThread = nullptr;
}

VOID CAsioStream::WriterThread(PVOID Context) {
  auto* stream = static_cast<CAsioStream*>(Context);
  PVOID objects[2] = {&stream->m_WriterStop, &stream->m_WriterWake};
  for (;;) {
    const NTSTATUS status =
        KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
    if (status != STATUS_WAIT_1) {
      break;
    }
    stream->ServiceWrites();
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}
