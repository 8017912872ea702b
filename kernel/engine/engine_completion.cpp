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

void CStreamEngine::DrainCompletions(Direction& Which, void (CStreamEngine::*Process)(StreamTransfer*)) {
  EngineDirectionCounters& counters = Which.Counters;
  while (StreamTransfer* transfer = TakeCompletion(Which)) {
    const LONGLONG begin = KeQueryPerformanceCounter(nullptr).QuadPart;
    (this->*Process)(transfer);
    const ULONG64 spent = static_cast<ULONG64>(KeQueryPerformanceCounter(nullptr).QuadPart - begin);
    counters.ProcessingTicks += spent;
    if (spent > counters.MaxProcessingTicks) {
      counters.MaxProcessingTicks = spent;
    }
  }
}

VOID CStreamEngine::CaptureDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(Argument1);
  UNREFERENCED_PARAMETER(Argument2);
  auto* engine = static_cast<CStreamEngine*>(Context);
  engine->DrainCompletions(engine->m_Capture, &CStreamEngine::ProcessCapture);
}

VOID CStreamEngine::RenderDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(Argument1);
  UNREFERENCED_PARAMETER(Argument2);
  auto* engine = static_cast<CStreamEngine*>(Context);
  engine->DrainCompletions(engine->m_Render, &CStreamEngine::ProcessRender);
}

NTSTATUS CStreamEngine::FrameCheck(Direction& Which, StreamTransfer* Transfer, ULONG Ms, ULONG InFlight) {
  const UCHAR directionValue = &Which == &m_Capture ? kDirectionCapture : kDirectionRender;
  const BOOLEAN first = !IsSet(&Which.FirstCompletion);
  if (first) {
    KeSetEvent(&Which.FirstCompletion, IO_NO_INCREMENT, FALSE);
  }
  const ULONG previous = Which.Frames.LastFrame;
  ULONG findings = 0;
  const NTSTATUS status =
      CheckCompletionFrame(&Which.Frames, first, Transfer->CompletionFrame, Ms, InFlight, Transfer->Status, &findings);
  if (findings & kFrameJump) {
    ++Which.Counters.FrameJumps;
    Trace(TRACE_LEVEL_ERROR, TraceEngineFrameJump, directionValue, previous, Transfer->CompletionFrame);
  } else if (findings & kFrameGap) {
    Trace(TRACE_LEVEL_VERBOSE, TraceEngineFrameGap, directionValue, Transfer->CompletionFrame - previous);
  }
  if (findings & kFrameLagging) {
    ++Which.Counters.LagSamples;
    const LONG magnitude = Which.Frames.Lag < 0 ? -Which.Frames.Lag : Which.Frames.Lag;
    if (magnitude > Which.Counters.MaxLag) {
      Which.Counters.MaxLag = magnitude;
    }
  }
  if (findings & kFrameLagLimit) {
    ++Which.Counters.LagErrors;
    Trace(TRACE_LEVEL_ERROR, TraceEngineLagTotal, directionValue, Which.Frames.Lag, Which.Frames.LagTotal);
  }
  return status;
}
