// Completion recording in the USB completion context, the per-direction
// DPCs that process the recorded completions, and the frame check.
#include "engine/stream_engine.h"

#include "audiofunction/usb_audio_cl.h"
#include "base/trace.h"
#include "engine/engine_trace_events.h"

void CStreamEngine::Record(UCHAR DirectionValue, NTSTATUS Status, ULONG Bytes, ULONG StartFrame,
                           StreamTransfer* Transfer, ULONG Frames) {
  Direction& which = DirectionOf(DirectionValue);
  if (InterlockedExchange(&which.FailNext, 0) != 0) {
    Status = STATUS_UNSUCCESSFUL;
    Trace(TRACE_LEVEL_WARNING, TraceEngineInjected, DirectionValue);
  }
  ULONG frame = 0;
  const USB_BUS_INTERFACE_USBDI_V1& bus = m_Function->BusInterface();
  if (bus.QueryBusTime != nullptr) {
    bus.QueryBusTime(bus.BusContext, &frame);
  }
  Transfer->CompletionFrame = frame;
  Transfer->CompletionTime = KeQueryPerformanceCounter(nullptr).QuadPart;
  Transfer->Status = Status;
  Transfer->BytesDone = Bytes;
  Transfer->StartFrame = StartFrame;
  Transfer->FramesCovered = Frames;
  if (!IsCaptureDirection(DirectionValue)) {
    Transfer->Flags &= ~kTransferInFlight;
  }
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&which.CompletionLock, &handle);
  const BOOLEAN wasEmpty = IsListEmpty(&which.Completions);
  InsertTailList(&which.Completions, &Transfer->ListEntry);
  KeReleaseInStackQueuedSpinLock(&handle);
  if (wasEmpty) {
    KeInsertQueueDpc(&which.Dpc, nullptr, nullptr);
  }
}

VOID CStreamEngine::CaptureCallback(NTSTATUS Status, ULONG Bytes, ULONG StartFrame, PVOID Context, ULONG Frames) {
  auto* transfer = static_cast<StreamTransfer*>(Context);
  transfer->Owner->Record(kDirectionCapture, Status, Bytes, StartFrame, transfer, Frames);
}

VOID CStreamEngine::RenderCallback(NTSTATUS Status, ULONG Bytes, ULONG StartFrame, PVOID Context, ULONG Frames) {
  auto* transfer = static_cast<StreamTransfer*>(Context);
  transfer->Owner->Record(kDirectionRender, Status, Bytes, StartFrame, transfer, Frames);
}

StreamTransfer* CStreamEngine::TakeCompletion(Direction& Which) {
  StreamTransfer* transfer = nullptr;
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&Which.CompletionLock, &handle);
  if (!IsListEmpty(&Which.Completions)) {
    PLIST_ENTRY entry = RemoveHeadList(&Which.Completions);
    InitializeListHead(entry);
    transfer = CONTAINING_RECORD(entry, StreamTransfer, ListEntry);
  }
  KeReleaseInStackQueuedSpinLock(&handle);
  return transfer;
}

VOID CStreamEngine::CaptureDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(Argument1);
  UNREFERENCED_PARAMETER(Argument2);
  auto* engine = static_cast<CStreamEngine*>(Context);
  while (StreamTransfer* transfer = engine->TakeCompletion(engine->m_Capture)) {
    engine->ProcessCapture(transfer);
  }
}

VOID CStreamEngine::RenderDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(Argument1);
  UNREFERENCED_PARAMETER(Argument2);
  auto* engine = static_cast<CStreamEngine*>(Context);
  while (StreamTransfer* transfer = engine->TakeCompletion(engine->m_Render)) {
    engine->ProcessRender(transfer);
  }
}

NTSTATUS CStreamEngine::FrameCheck(Direction& Which, StreamTransfer* Transfer, ULONG Ms, ULONG InFlight) {
  NTSTATUS status = Transfer->Status;
  const ULONG frame = Transfer->CompletionFrame;
  const UCHAR directionValue = &Which == &m_Capture ? kDirectionCapture : kDirectionRender;
  if (!IsSet(&Which.FirstCompletion)) {
    KeSetEvent(&Which.FirstCompletion, IO_NO_INCREMENT, FALSE);
    Which.Lag = 0;
    Which.LagTotal = 0;
    Which.LastFrame = frame;
    return status;
  }
  // Unsigned: a frame number that went backwards is a jump as well.
  const ULONG diff = frame - Which.LastFrame;
  const ULONG loss = InFlight * Ms;
  if (diff >= loss) {
    Trace(TRACE_LEVEL_ERROR, TraceEngineFrameJump, directionValue, Which.LastFrame, frame);
    ++Which.Counters.FrameJumps;
    if (NT_SUCCESS(status)) {
      status = STATUS_UNEXPECTED_IO_ERROR;
    }
  } else if (diff > Ms) {
    Trace(TRACE_LEVEL_VERBOSE, TraceEngineFrameGap, directionValue, diff);
  }
  // Bounded: a jump is an error already, and the lag is reset by recovery.
  const LONGLONG lag =
      static_cast<LONGLONG>(Which.Lag) + static_cast<LONGLONG>(diff < loss ? diff : loss) - static_cast<LONGLONG>(Ms);
  Which.Lag = lag > 0x7FFFFFFF ? 0x7FFFFFFF : (lag < -0x7FFFFFFF ? -0x7FFFFFFF : static_cast<LONG>(lag));
  if (Which.Lag != 0) {
    ++Which.Counters.LagSamples;
    if (Which.Lag > Which.Counters.MaxLag) {
      Which.Counters.MaxLag = Which.Lag;
    }
    const ULONGLONG total = static_cast<ULONGLONG>(Which.LagTotal) + diff;
    Which.LagTotal = total > 0xFFFFFFFF ? 0xFFFFFFFF : static_cast<ULONG>(total);
    if (Which.LagTotal >= 1000) {
      Trace(TRACE_LEVEL_ERROR, TraceEngineLagTotal, directionValue, Which.Lag, Which.LagTotal);
      ++Which.Counters.LagErrors;
      if (NT_SUCCESS(status)) {
        status = STATUS_UNEXPECTED_IO_ERROR;
      }
    }
  } else {
    Which.LagTotal = 0;
  }
  Which.LastFrame = frame;
  return status;
}
