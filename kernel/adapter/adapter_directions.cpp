// How the two directions are claimed, formatted, started and stopped, the
// WaveRT chunk lists, and the removal handler.
#include "adapter/adapter_common.h"

#include "adapter/adapter_trace_events.h"
#include "base/trace.h"

namespace {

// How long a start waits for the first completion of a direction.
constexpr LONGLONG kFirstCompletionTimeout = 10LL * 1000 * 1000 * 10;  // 10 s in 100 ns

}  // namespace

STDMETHODIMP_(NTSTATUS) CAdapterCommon::ReserveDirection(BOOLEAN Capture, BOOLEAN Render, BOOLEAN Exclusive) {
  NTSTATUS status = STATUS_SUCCESS;
  KeWaitForSingleObject(&m_OwnershipMutex, Executive, KernelMode, FALSE, nullptr);
  if (m_Exclusive != 0) {
    status = STATUS_DEVICE_BUSY;
  } else if (Exclusive && (m_CaptureUsers != 0 || m_RenderUsers != 0)) {
    status = STATUS_DEVICE_BUSY;
  } else if (!Exclusive && m_PerStreamFormatMode &&
             ((Capture && m_CaptureUsers != 0) || (Render && m_RenderUsers != 0))) {
    status = STATUS_DEVICE_BUSY;
  } else {
    if (Capture) {
      ++m_CaptureUsers;
    }
    if (Render) {
      ++m_RenderUsers;
    }
    m_Exclusive = Exclusive ? 1 : 0;
  }
  KeReleaseMutex(&m_OwnershipMutex, FALSE);
  return status;
}

STDMETHODIMP_(NTSTATUS) CAdapterCommon::ReleaseDirection(BOOLEAN Capture, BOOLEAN Render) {
  KeWaitForSingleObject(&m_OwnershipMutex, Executive, KernelMode, FALSE, nullptr);
  if (Capture && m_CaptureUsers > 0) {
    --m_CaptureUsers;
  }
  if (Render && m_RenderUsers > 0) {
    --m_RenderUsers;
  }
  m_Exclusive = 0;
  KeReleaseMutex(&m_OwnershipMutex, FALSE);
  return STATUS_SUCCESS;
}

BOOLEAN CAdapterCommon::StreamFormatFor(UCHAR Direction, StreamFormat* Format) const {
  const BOOLEAN capture = IsCaptureDirection(Direction);
  *Format = capture ? m_CaptureStreamFormat : m_RenderStreamFormat;
  return capture ? m_CaptureFormatSet : m_RenderFormatSet;
}

STDMETHODIMP_(NTSTATUS)
CAdapterCommon::SetStreamFormat(UCHAR Direction, USHORT FormatType, ULONG Channels, ULONG Bits, ULONG Rate) {
  if (RemovalSeen()) {
    return STATUS_DELETE_PENDING;
  }
  const BOOLEAN capture = IsCaptureDirection(Direction);
  const UCHAR direction = capture ? kDirectionCapture : kDirectionRender;
  if (capture) {
    FlushCaptureBuffers();
  } else {
    FlushRenderBuffers();
  }
  KeWaitForSingleObject(&m_StreamMutex, Executive, KernelMode, FALSE, nullptr);
  StreamFormat& stored = capture ? m_CaptureStreamFormat : m_RenderStreamFormat;
  const StreamFormat& other = capture ? m_RenderStreamFormat : m_CaptureStreamFormat;
  const BOOLEAN otherSet = capture ? m_RenderFormatSet : m_CaptureFormatSet;
  NTSTATUS status = STATUS_SUCCESS;
  // The format type takes part in the comparison: a float stream replacing
  // a PCM one of the same size is a different format for the converters.
  if (stored.Channels != Channels || stored.BitsPerSample != Bits || stored.SampleRate != Rate ||
      stored.FormatType != FormatType) {
    if ((!m_PerStreamFormatMode || m_AsioOwner != 0) && Rate != m_DeviceSampleRate) {
      status = STATUS_NO_MATCH;
    } else if (m_Function.HasSharedClock() && otherSet && other.SampleRate != Rate) {
      status = STATUS_NO_MATCH;
    } else {
      status = m_Function.CheckFormat(direction, FormatType, Channels, Bits, Rate);
    }
    if (NT_SUCCESS(status)) {
      stored.FormatType = FormatType;
      stored.Channels = Channels;
      stored.BitsPerSample = Bits;
      stored.SampleRate = Rate;
      stored.BytesPerFrame = Channels * (Bits / 8);
    }
  }
  if (NT_SUCCESS(status)) {
    if (Rate != m_DeviceSampleRate) {
      m_StreamSampleRate = Rate;
    }
    (capture ? m_CaptureFormatSet : m_RenderFormatSet) = TRUE;
    const LONG count = capture ? m_CaptureStartCount : m_RenderStartCount;
    if (count == 0) {
      status = m_Engine.ConfigureDirection(direction);
      if (!NT_SUCCESS(status)) {
        ResetDirection(direction);
      }
    }
  }
  KeReleaseMutex(&m_StreamMutex, FALSE);
  Trace(TRACE_LEVEL_INFORMATION, TraceAdapterStreamFormat, direction, Channels, Bits, status);
  return status;
}

STDMETHODIMP_(void) CAdapterCommon::ResetDirection(UCHAR Direction) {
  const BOOLEAN capture = IsCaptureDirection(Direction);
  KeWaitForSingleObject(&m_StreamMutex, Executive, KernelMode, FALSE, nullptr);
  (capture ? m_CaptureFormatSet : m_RenderFormatSet) = FALSE;
  if (IsRenderCoupled()) {
    if (!m_CaptureFormatSet && !m_RenderFormatSet) {
      RtlZeroMemory(&m_CaptureStreamFormat, sizeof(m_CaptureStreamFormat));
      RtlZeroMemory(&m_RenderStreamFormat, sizeof(m_RenderStreamFormat));
    }
  } else {
    RtlZeroMemory(capture ? &m_CaptureStreamFormat : &m_RenderStreamFormat, sizeof(StreamFormat));
  }
  if (!m_CaptureFormatSet && !m_RenderFormatSet) {
    m_StreamSampleRate = 0;
  }
  if ((capture ? m_CaptureStartCount : m_RenderStartCount) == 0) {
    m_Engine.ReleaseDirectionFormat(capture ? kDirectionCapture : kDirectionRender);
  }
  KeReleaseMutex(&m_StreamMutex, FALSE);
}

void CAdapterCommon::QueueChunk(CChunkList* List, PVOID Address, ULONG Bytes) {
  if (RemovalSeen() || Address == nullptr || Bytes == 0) {
    return;
  }
  if (!List->Queue(Address, Bytes)) {
    Trace(TRACE_LEVEL_WARNING, TraceAdapterChunkDropped, Bytes);
  }
}

STDMETHODIMP_(void) CAdapterCommon::QueueRenderBuffer(PVOID Address, ULONG Bytes) {
  QueueChunk(&m_RenderChunks, Address, Bytes);
}

STDMETHODIMP_(void) CAdapterCommon::QueueCaptureBuffer(PVOID Address, ULONG Bytes) {
  QueueChunk(&m_CaptureChunks, Address, Bytes);
}

STDMETHODIMP_(void) CAdapterCommon::FlushRenderBuffers() { m_RenderChunks.Flush(); }

STDMETHODIMP_(void) CAdapterCommon::FlushCaptureBuffers() { m_CaptureChunks.Flush(); }

void CAdapterCommon::EnterStartStopGate() {
  // Compare-exchange, not exchange: a start that overwrote the recovery's 2
  // would let the recovery skip its resynchronisation and leave the gate
  // taken for good.
  while (InterlockedCompareExchange(&m_StartStopGate, 1, 0) != 0) {
    LARGE_INTEGER delay;
    delay.QuadPart = -10 * 1000;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
  }
}

void CAdapterCommon::LeaveStartStopGate() { InterlockedExchange(&m_StartStopGate, 0); }

LONG CAdapterCommon::EnterRecoveryGate() { return InterlockedCompareExchange(&m_StartStopGate, 2, 0); }

void CAdapterCommon::LeaveRecoveryGate() { InterlockedExchange(&m_StartStopGate, 0); }

void CAdapterCommon::LockStreams() { KeWaitForSingleObject(&m_StreamMutex, Executive, KernelMode, FALSE, nullptr); }

void CAdapterCommon::UnlockStreams() { KeReleaseMutex(&m_StreamMutex, FALSE); }

NTSTATUS CAdapterCommon::StartEngineDirection(UCHAR Direction) {
  if (HasBothDirections()) {
    return StartBoth();
  }
  const BOOLEAN capture = IsCaptureDirection(Direction);
  const UCHAR direction = capture ? kDirectionCapture : kDirectionRender;
  LONG& count = capture ? m_CaptureStartCount : m_RenderStartCount;
  EnterStartStopGate();
  LockStreams();
  NTSTATUS status = STATUS_SUCCESS;
  if (count != 0) {
    ++count;
  } else {
    m_Engine.StopDirectionThread(direction);
    if (RemovalSeen()) {
      status = STATUS_DELETE_PENDING;
    } else {
      if (m_Function.GetCurrentAlternate(direction) == 0) {
        status = m_Engine.ConfigureDirection(direction);
      }
      if (NT_SUCCESS(status)) {
        m_Engine.ResetSlots(direction);
        status = m_Engine.StartDirectionThread(direction);
      }
      if (NT_SUCCESS(status)) {
        m_Engine.RunDirection(direction);
        status = m_Engine.WaitFirstCompletion(direction, kFirstCompletionTimeout);
      }
      if (NT_SUCCESS(status)) {
        ++count;
      } else {
        m_Engine.StopDirectionThread(direction);
        m_Engine.ReleaseDirectionFormat(direction);
      }
    }
  }
  UnlockStreams();
  LeaveStartStopGate();
  Trace(TRACE_LEVEL_INFORMATION, TraceAdapterStart, direction, status, count);
  return status;
}

NTSTATUS CAdapterCommon::StartBoth() {
  EnterStartStopGate();
  LockStreams();
  NTSTATUS status = STATUS_SUCCESS;
  if (m_CaptureStartCount != m_RenderStartCount) {
    status = STATUS_UNSUCCESSFUL;
  } else if (m_CaptureStartCount != 0) {
    ++m_CaptureStartCount;
    ++m_RenderStartCount;
  } else {
    StopBothThreads();
    if (RemovalSeen()) {
      status = STATUS_DELETE_PENDING;
    } else {
      status = m_Engine.ConfigureDirection(kDirectionCapture);
      if (NT_SUCCESS(status)) {
        status = m_Engine.ConfigureDirection(kDirectionRender);
      }
      if (NT_SUCCESS(status)) {
        m_Engine.ResetSlots(kDirectionRender);
        status = m_Engine.StartDirectionThread(kDirectionCapture);
      }
      if (NT_SUCCESS(status)) {
        status = m_Engine.StartDirectionThread(kDirectionRender);
      }
      if (NT_SUCCESS(status)) {
        m_Engine.RunDirection(kDirectionCapture);
        status = m_Engine.WaitFirstCompletion(kDirectionCapture, kFirstCompletionTimeout);
      }
      if (NT_SUCCESS(status)) {
        m_Engine.RunDirection(kDirectionRender);
        status = m_Engine.WaitFirstCompletion(kDirectionRender, kFirstCompletionTimeout);
      }
      if (NT_SUCCESS(status)) {
        ++m_CaptureStartCount;
        ++m_RenderStartCount;
      } else {
        StopBothThreads();
        ReleaseAllFormats();
      }
    }
  }
  UnlockStreams();
  LeaveStartStopGate();
  Trace(TRACE_LEVEL_INFORMATION, TraceAdapterStart, 2, status, m_CaptureStartCount);
  return status;
}

void CAdapterCommon::StopBothThreads() {
  // Render first: it may be mirroring capture.
  m_Engine.StopDirectionThread(kDirectionRender);
  m_Engine.StopDirectionThread(kDirectionCapture);
}

void CAdapterCommon::ReleaseAllFormats() {
  m_Engine.ReleaseDirectionFormat(kDirectionRender);
  m_Engine.ReleaseDirectionFormat(kDirectionCapture);
}

NTSTATUS CAdapterCommon::StopEngineDirection(UCHAR Direction) {
  if (HasBothDirections()) {
    return StopBoth();
  }
  const BOOLEAN capture = IsCaptureDirection(Direction);
  const UCHAR direction = capture ? kDirectionCapture : kDirectionRender;
  LONG& count = capture ? m_CaptureStartCount : m_RenderStartCount;
  EnterStartStopGate();
  LockStreams();
  if (count == 0) {
    Trace(TRACE_LEVEL_WARNING, TraceAdapterStopUnbalanced, direction);
  } else if (--count == 0) {
    m_Engine.StopDirectionThread(direction);
    m_Engine.ReleaseDirectionFormat(direction);
    if (capture) {
      FlushCaptureBuffers();
    } else {
      FlushRenderBuffers();
    }
  }
  UnlockStreams();
  LeaveStartStopGate();
  return STATUS_SUCCESS;
}

NTSTATUS CAdapterCommon::StopBoth() {
  EnterStartStopGate();
  LockStreams();
  NTSTATUS status = STATUS_SUCCESS;
  if (m_CaptureStartCount != m_RenderStartCount) {
    status = STATUS_UNSUCCESSFUL;
  } else if (m_CaptureStartCount != 0) {
    const BOOLEAN last = m_CaptureStartCount == 1;
    --m_CaptureStartCount;
    --m_RenderStartCount;
    if (last) {
      StopBothThreads();
      ReleaseAllFormats();
      FlushRenderBuffers();
      FlushCaptureBuffers();
    }
  } else {
    Trace(TRACE_LEVEL_WARNING, TraceAdapterStopUnbalanced, 2);
  }
  UnlockStreams();
  LeaveStartStopGate();
  return status;
}

STDMETHODIMP_(NTSTATUS) CAdapterCommon::StartDirection(UCHAR Direction, ULONG WaveBufferBytes) {
  const BOOLEAN capture = IsCaptureDirection(Direction);
  NTSTATUS status = StartEngineDirection(Direction);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  if (capture) {
    const ULONG frameBytes = m_Engine.DeviceFormat(kDirectionCapture).BytesPerFrame;
    const ULONG frames = frameBytes != 0 ? m_Engine.TransferBytes(kDirectionCapture) / frameBytes : 0;
    status = m_WaveCapturePath.Start(frames, frameBytes);
  } else {
    // The lead follows the length of the stream's buffer in milliseconds,
    // at most 100 (64-bit: bytes × 100000 wraps 32 bits past 42 kB).
    const ULONGLONG perSecond =
        static_cast<ULONGLONG>(m_RenderStreamFormat.BytesPerFrame) * m_RenderStreamFormat.SampleRate;
    const ULONGLONG ms = perSecond != 0 ? static_cast<ULONGLONG>(WaveBufferBytes) * 1000 / perSecond : 0;
    m_WaveRenderPath.SetLeadPercentage(ms < 100 ? static_cast<ULONG>(ms) : 100);
    // Without a stream format there is no WaveRT stream to play from.
    status = m_RenderFormatSet ? m_WaveRenderPath.Start() : STATUS_SUCCESS;
  }
  if (!NT_SUCCESS(status)) {
    StopEngineDirection(Direction);
  }
  return status;
}

STDMETHODIMP_(NTSTATUS) CAdapterCommon::StopDirection(UCHAR Direction) {
  const BOOLEAN capture = IsCaptureDirection(Direction);
  if (capture) {
    m_WaveCapturePath.Stop();
  } else {
    m_WaveRenderPath.Reset();
  }
  NTSTATUS status = StopEngineDirection(Direction);
  if (capture) {
    FlushCaptureBuffers();
  } else {
    FlushRenderBuffers();
  }
  return status;
}

STDMETHODIMP_(void) CAdapterCommon::OnDeviceRemoval() {
  KeSetEvent(&m_RemovalEvent, IO_NO_INCREMENT, FALSE);
  m_RequestGate.CloseAndDrain();
  // No private request runs any more; ASIO streaming ends with its pending
  // requests cancelled, and the directions it started stop below.
  KeWaitForSingleObject(&m_RequestMutex, Executive, KernelMode, FALSE, nullptr);
  m_AsioStream.Stop();
  KeReleaseMutex(&m_RequestMutex, FALSE);
  while (m_RenderStartCount > 0) {
    const LONG before = m_RenderStartCount;
    StopEngineDirection(kDirectionRender);
    if (m_RenderStartCount >= before) {
      break;
    }
  }
  while (m_CaptureStartCount > 0) {
    const LONG before = m_CaptureStartCount;
    StopEngineDirection(kDirectionCapture);
    if (m_CaptureStartCount >= before) {
      break;
    }
  }
  m_WaveCapturePath.Stop();
  m_AsioCapturePath.Stop();
  m_WaveRenderPath.Reset();
  m_AsioRenderPath.Reset();
  Trace(TRACE_LEVEL_INFORMATION, TraceAdapterRemoval, m_RenderStartCount, m_CaptureStartCount);
}

BOOLEAN CAdapterCommon::IsCaptureClockedRenderRunning() const {
  return (m_AsioRenderPath.IsStarted() && m_AsioRenderPath.IsCaptureClocked()) ||
         (m_WaveRenderPath.IsStarted() && m_WaveRenderPath.IsCaptureClocked());
}

void CAdapterCommon::OnCaptureDelivered(ULONG Bytes, ULONG Frame) {
  m_AsioRenderPath.OnCaptureCompleted(Bytes, Frame);
  m_WaveRenderPath.OnCaptureCompleted(Bytes, Frame);
}

void CAdapterCommon::OnCaptureRecovered() {
  // Render recovers as well (the engine sets its error); only the ASIO
  // client must be told that it lost its place.
  MarkAsioResetNeeded();
}

void CAdapterCommon::MarkAsioResetNeeded() {
  CAsioRingAccess* rings = m_AsioRenderSource.Rings();
  if (rings != nullptr && m_AsioRenderPath.IsStarted() && m_AsioRenderPath.IsCaptureClocked()) {
    rings->MarkResetNeeded();
  }
}

UCHAR CAdapterCommon::AsioSilenceByte() {
  CAsioRingAccess* rings = m_AsioRenderSource.Rings();
  return rings != nullptr ? rings->RenderSilenceByte() : 0;
}

void CAdapterCommon::AttachAsioStream(CAsioRingAccess* Rings) {
  m_AsioRenderPath.Reset();
  m_AsioCapturePath.Stop();
  m_AsioRenderSource.Attach(Rings);
  m_AsioCaptureSink.Attach(Rings);
}
