// The capture direction: its thread with error recovery, capture transfer
// submission, and capture completion processing in the capture DPC.
#include "engine/stream_engine.h"

#include "adapter/adapter_common.h"
#include "audiofunction/usb_audio_cl.h"
#include "base/pool.h"
#include "base/trace.h"
#include "engine/capture_path.h"
#include "engine/engine_trace_events.h"

VOID CStreamEngine::CaptureThread(PVOID Context) {
  auto* engine = static_cast<CStreamEngine*>(Context);
  engine->CaptureThreadLoop();
  KeSetEvent(&engine->m_Capture.Exited, IO_NO_INCREMENT, FALSE);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

void CStreamEngine::CaptureThreadLoop() {
  KeClearEvent(&m_Capture.Error);
  for (;;) {
    KeWaitForSingleObject(&m_Capture.Slots, Executive, KernelMode, FALSE, nullptr);
    PVOID objects[3] = {&m_Capture.Stop, &m_Capture.Error, &m_Capture.Run};
    const LONG index = WaitForAny(3, objects, nullptr);
    if (index == 0) {
      KeReleaseSemaphore(&m_Capture.Slots, IO_NO_INCREMENT, 1, FALSE);
      KeWaitForSingleObject(&m_Capture.Idle, Executive, KernelMode, FALSE, nullptr);
      StreamInterface* stream = m_Function->CaptureStream();
      if (stream != nullptr && stream->DataPipe != nullptr) {
        m_Function->ResetPipe(stream->DataPipe);
      }
      return;
    }
    if (index == 1) {
      KeReleaseSemaphore(&m_Capture.Slots, IO_NO_INCREMENT, 1, FALSE);
      RecoverCapture();
      continue;
    }
    CountUp(&m_Capture.OutstandingLock, &m_Capture.Outstanding, &m_Capture.Idle);
    if (!SubmitCapture(nullptr)) {
      PauseAfterRefusal(m_Capture);
    }
  }
}

void CStreamEngine::RecoverCapture() {
  StreamInterface* stream = m_Function->CaptureStream();
  PUSBD_PIPE_INFORMATION pipe = stream != nullptr ? stream->DataPipe : nullptr;
  if (pipe != nullptr) {
    m_Function->AbortPipe(pipe);
  }
  KeWaitForSingleObject(&m_Capture.Idle, Executive, KernelMode, FALSE, nullptr);
  if (pipe != nullptr) {
    const NTSTATUS status = m_Function->ResetPipe(pipe);
    if (!NT_SUCCESS(status)) {
      Trace(TRACE_LEVEL_WARNING, TraceEnginePipeReset, kDirectionCapture, status);
    }
  }
  KeClearEvent(&m_Capture.FirstCompletion);
  KeClearEvent(&m_Capture.Error);
  ++m_Capture.Counters.Recoveries;
  Trace(TRACE_LEVEL_WARNING, TraceEngineRecovery, kDirectionCapture, m_Capture.Counters.Recoveries);
  // Render that follows the capture clock must resynchronise as well.
  if (m_Adapter->IsRenderCoupled() || m_Adapter->IsCaptureClockedRenderRunning()) {
    KeSetEvent(&m_Render.Error, IO_NO_INCREMENT, FALSE);
  }
  m_Adapter->OnCaptureRecovered();
}

BOOLEAN CStreamEngine::SubmitCapture(StreamTransfer* Transfer) {
  PVOID buffer = Transfer != nullptr ? Transfer->Buffer : nullptr;
  BOOLEAN refuse = DeviceGone() || IsSet(&m_Capture.Stop) || IsSet(&m_Capture.Error) ||
                   (!m_Adapter->IsRenderCoupled() && !IsSet(&m_Capture.Run));
  const ULONG size = m_Capture.TransferBytes;
  if (!refuse && buffer == nullptr) {
    buffer = size != 0 ? AllocateDriverPool(size, kPoolTagDriver) : nullptr;
    if (buffer == nullptr) {
      Trace(TRACE_LEVEL_ERROR, TraceEngineNoMemory, kDirectionCapture, size);
      refuse = TRUE;
    }
  }
  if (!refuse && Transfer == nullptr) {
    Transfer = AllocateRecord();
    if (Transfer == nullptr) {
      Trace(TRACE_LEVEL_ERROR, TraceEngineNoMemory, kDirectionCapture, sizeof(StreamTransfer));
      refuse = TRUE;
    }
  }
  if (!refuse) {
    Transfer->Buffer = buffer;
    Transfer->Length = size;
    const LONGLONG begin = KeQueryPerformanceCounter(nullptr).QuadPart;
    const NTSTATUS status = m_Function->SubmitCapture(buffer, size, CaptureCallback, Transfer);
    m_Capture.Counters.SubmitTicks += static_cast<ULONG64>(KeQueryPerformanceCounter(nullptr).QuadPart - begin);
    if (NT_SUCCESS(status)) {
      return TRUE;
    }
    ++m_Capture.Counters.SubmitFailures;
    Trace(TRACE_LEVEL_ERROR, TraceEngineSubmitFailed, kDirectionCapture, status);
    KeSetEvent(&m_Capture.Error, IO_NO_INCREMENT, FALSE);
  }
  KeReleaseSemaphore(&m_Capture.Slots, IO_NO_INCREMENT, 1, FALSE);
  FreeRecord(Transfer);
  if (buffer != nullptr) {
    FreeDriverPool(buffer, kPoolTagDriver);
  }
  CountDown(&m_Capture.OutstandingLock, &m_Capture.Outstanding, &m_Capture.Idle);
  return FALSE;
}

void CStreamEngine::PauseAfterRefusal(Direction& Which) {
  PVOID objects[2] = {&Which.Stop, &Which.Error};
  LARGE_INTEGER pause;
  pause.QuadPart = -10 * 1000;  // 1 ms
  WaitForAny(2, objects, &pause);
}

void CStreamEngine::ProcessCapture(StreamTransfer* Transfer) {
  ++m_Capture.Counters.Completions;
  const NTSTATUS status =
      FrameCheck(m_Capture, Transfer, m_Tunables.CaptureMsPerTransfer, m_Tunables.CaptureTransfersInFlight);
  if (!NT_SUCCESS(status)) {
    ++m_Capture.Counters.Errors;
    Trace(TRACE_LEVEL_ERROR, TraceEngineTransferError, kDirectionCapture, status, Transfer->BytesDone);
    if (IsDeviceGoneStatus(status)) {
      MarkDeviceGone(kDirectionCapture, status);
      KeSetEvent(&m_Capture.Stop, IO_NO_INCREMENT, FALSE);
    }
    KeSetEvent(&m_Capture.Error, IO_NO_INCREMENT, FALSE);
  } else {
    const ULONG bytes = Transfer->BytesDone;
    m_Capture.Counters.BytesDone += bytes;
    m_Adapter->OnCaptureDelivered(bytes, Transfer->StartFrame + m_Tunables.CaptureMsPerTransfer);
    AccumulateProbe(bytes);
    const ULONG frameBytes = m_Capture.DeviceFormat.BytesPerFrame;
    if (m_Adapter->IsRenderCoupled() && IsSet(&m_Render.FirstCompletion) && frameBytes != 0) {
      const LONG deviation =
          (static_cast<LONG>(bytes) - static_cast<LONG>(m_CaptureNominalBytes)) / static_cast<LONG>(frameBytes);
      if (deviation >= m_CaptureMinDeviation && deviation <= m_CaptureMaxDeviation) {
        KLOCK_QUEUE_HANDLE handle;
        KeAcquireInStackQueuedSpinLock(&m_BalanceLock, &handle);
        m_FrameBalance += deviation;
        KeReleaseInStackQueuedSpinLock(&handle);
      }
    }
    if (IsSet(&m_Capture.Run) && frameBytes != 0) {
      const ULONG frames = bytes / frameBytes;
      for (CCapturePath* path : m_CapturePaths) {
        if (path != nullptr) {
          path->Deliver(static_cast<const UCHAR*>(Transfer->Buffer), frames);
        }
      }
      m_Capture.Counters.FramesDelivered += frames;
    }
  }
  SubmitCapture(Transfer);
}
