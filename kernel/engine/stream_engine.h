// The isochronous streaming engine of one device: per direction a system
// thread that keeps a fixed number of transfers in flight, completions
// recorded in the USB completion context and processed by one DPC per
// direction, the frame check, error recovery, and the device-gone path.
// Owned by the device core, which serialises starts and stops.
#pragma once
#include "platform.h"
#include "base/vocabulary.h"
#include "adapter/adapter_interface.h"
#include "engine/frame_check.h"
#include "engine/stream_transfer.h"

class CAdapterCommon;
class CUSBAudioCL;
class CCapturePath;
class CRenderPath;

// The engine's transfer tunables (decided by the device core at Init).
struct EngineTunables {
  ULONG RenderMsPerTransfer;
  ULONG RenderTransfersInFlight;
  ULONG CaptureMsPerTransfer;
  ULONG CaptureTransfersInFlight;
};

// What happened on one direction since the device started; read by tools
// and tests, written by the direction's own DPC and thread.
struct EngineDirectionCounters {
  ULONG64 Completions;
  ULONG64 Errors;  // completions with an error status, the frame check's included
  ULONG64 FrameJumps;
  ULONG64 LagErrors;
  ULONG64 LagSamples;  // completions whose accumulated lag was not 0
  ULONG64 Recoveries;
  ULONG64 SubmitFailures;
  ULONG64 BytesDone;
  ULONG64 FramesDelivered;  // capture: frames handed to capture paths
  ULONG64 FeedbackReads;    // render: feedback reads completed
  LONG MaxLag;              // largest accumulated lag either way, in frames
  // Performance-counter ticks the direction's DPC spent per completion
  // (processing and resubmission), summed and the largest.
  ULONG64 ProcessingTicks;
  ULONG64 MaxProcessingTicks;
  // Of those, the ticks spent handing the transfer to the USB stack.
  ULONG64 SubmitTicks;
};

class CStreamEngine {
 public:
  // The number of capture paths (ASIO and WaveRT).
  static constexpr ULONG kCapturePaths = 2;

  // Events, semaphores, DPCs and the record lookaside list; PASSIVE_LEVEL.
  NTSTATUS Initialize(CAdapterCommon* Adapter, CUSBAudioCL* Function, PDEVICE_OBJECT FunctionalDeviceObject);
  // Stops both threads and waits for every DPC; then the object may go.
  void Shutdown();

  EngineTunables& Tunables() { return m_Tunables; }
  void SetCapturePath(ULONG Index, CCapturePath* Path);
  void SetRenderPath(ULONG Index, CRenderPath* Path);

  // Per-direction operations of the device core (0 render, else capture);
  // PASSIVE_LEVEL, under the device core's stream mutex.
  NTSTATUS ConfigureDirection(UCHAR Direction);
  void ResetSlots(UCHAR Direction);
  NTSTATUS StartDirectionThread(UCHAR Direction);
  void RunDirection(UCHAR Direction);
  // Timeout in 100-ns units.
  NTSTATUS WaitFirstCompletion(UCHAR Direction, LONGLONG Timeout);
  void StopDirectionThread(UCHAR Direction);
  void ReleaseDirectionFormat(UCHAR Direction);
  BOOLEAN IsThreadRunning(UCHAR Direction) const;

  // The next completion of the direction reports STATUS_UNSUCCESSFUL.
  void FailNextCompletion(UCHAR Direction);
  BOOLEAN DeviceGone() const { return m_DeviceGone != 0; }

  const StreamFormat& DeviceFormat(UCHAR Direction) const;
  ULONG TransferBytes(UCHAR Direction) const;
  void GetCounters(UCHAR Direction, EngineDirectionCounters* Counters) const;
  LONG FrameBalance();

 private:
  // State the two data directions share in form.
  struct Direction {
    KEVENT Stop;  // set: the thread must stop / is not running
    KEVENT Run;
    KEVENT Error;
    KEVENT FirstCompletion;
    KEVENT Idle;
    KSEMAPHORE Slots;
    KEVENT Exited;  // set by the thread as its last touch of the engine
    KSPIN_LOCK OutstandingLock;
    LONG Outstanding;
    KSPIN_LOCK CompletionLock;
    LIST_ENTRY Completions;
    KDPC Dpc;
    PKTHREAD Thread;
    LONG FailNext;
    // Touched only by the direction's DPC.
    FrameBook Frames;
    StreamFormat DeviceFormat;
    ULONG TransferBytes;
    EngineDirectionCounters Counters;
  };

  Direction& DirectionOf(UCHAR Value) { return IsCaptureDirection(Value) ? m_Capture : m_Render; }
  const Direction& DirectionOf(UCHAR Value) const { return IsCaptureDirection(Value) ? m_Capture : m_Render; }

  // Outstanding counts drive the idle events.
  static void CountUp(KSPIN_LOCK* Lock, LONG* Count, KEVENT* Idle);
  static void CountDown(KSPIN_LOCK* Lock, LONG* Count, KEVENT* Idle);
  StreamTransfer* AllocateRecord();
  void FreeRecord(StreamTransfer* Transfer);
  BOOLEAN IsSet(KEVENT* Event) { return KeReadStateEvent(Event) != 0; }
  // Waits for one of up to three events; returns its index, or -1 on timeout.
  LONG WaitForAny(ULONG Count, PVOID* Objects, PLARGE_INTEGER Timeout);
  void MarkDeviceGone(UCHAR DirectionValue, NTSTATUS Status);
  static BOOLEAN IsDeviceGoneStatus(NTSTATUS Status);

  // Completion recording (USB completion context) and the DPCs.
  void Record(UCHAR DirectionValue, NTSTATUS Status, ULONG Bytes, ULONG StartFrame, StreamTransfer* Transfer,
              ULONG Frames);
  static VOID CaptureCallback(NTSTATUS Status, ULONG Bytes, ULONG StartFrame, PVOID Context, ULONG Frames);
  static VOID RenderCallback(NTSTATUS Status, ULONG Bytes, ULONG StartFrame, PVOID Context, ULONG Frames);
  static VOID FeedbackCallback(NTSTATUS Status, ULONG Bytes, ULONG StartFrame, PVOID Context, ULONG Frames);
  static VOID CaptureDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2);
  static VOID RenderDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2);
  StreamTransfer* TakeCompletion(Direction& Which);
  // Processes the direction's recorded completions until none is left.
  void DrainCompletions(Direction& Which, void (CStreamEngine::*Process)(StreamTransfer*));
  NTSTATUS FrameCheck(Direction& Which, StreamTransfer* Transfer, ULONG Ms, ULONG InFlight);

  // Capture.
  static VOID CaptureThread(PVOID Context);
  void CaptureThreadLoop();
  // FALSE when the transfer was refused (its slot is back).
  BOOLEAN SubmitCapture(StreamTransfer* Transfer);
  void ProcessCapture(StreamTransfer* Transfer);
  void RecoverCapture();
  // After the thread's own submission was refused: a pause instead of a
  // spin (a refusal repeats until the stop, an error or the device changes).
  void PauseAfterRefusal(Direction& Which);

  // Render.
  static VOID RenderThread(PVOID Context);
  void RenderThreadLoop();
  ULONG CreateRenderContexts();
  void FreeRenderContexts();
  BOOLEAN SubmitRender(StreamTransfer* HandedBack);
  BOOLEAN ComputeRenderLength(StreamTransfer* Transfer, PULONG Length);
  void ProcessRender(StreamTransfer* Transfer);
  void RecoverRender();
  void StartFeedbackSide();
  void DeferFailedRender(StreamTransfer* Transfer);
  static VOID RenderWorkItem(PDEVICE_OBJECT DeviceObject, PVOID Context);
  BOOLEAN HasFeedbackReads() const;
  UCHAR RenderSilenceByte() const;
  // Every render path: queue the context / empty the queues.
  void QueueOnRenderPaths(StreamTransfer* Transfer);
  void EmptyRenderQueues();

  // Feedback reads and the latency probe.
  BOOLEAN SubmitFeedback(StreamTransfer* Transfer);
  void ProcessFeedback(NTSTATUS Status, ULONG Value, StreamTransfer* Transfer);
  static VOID FeedbackWorkItem(PDEVICE_OBJECT DeviceObject, PVOID Context);
  void RunLatencyProbe();
  void AccumulateProbe(ULONG CaptureBytes);

  CAdapterCommon* m_Adapter;
  CUSBAudioCL* m_Function;
  PDEVICE_OBJECT m_FunctionalDeviceObject;
  EngineTunables m_Tunables;
  BOOLEAN m_Initialized;
  volatile LONG m_DeviceGone;

  Direction m_Render;
  Direction m_Capture;

  // Feedback reads.
  KSEMAPHORE m_FeedbackSlots;
  KEVENT m_FeedbackRun;
  KEVENT m_FeedbackIdle;
  KSPIN_LOCK m_FeedbackLock;
  LONG m_FeedbackOutstanding;
  volatile LONG m_RenderSlotsReleased;

  // Render contexts not in flight, the head submitted next.
  KSPIN_LOCK m_IdleLock;
  LIST_ENTRY m_IdleList;
  ULONG m_RenderContexts;

  // Implicit feedback bounds and the frame balance.
  ULONG m_RenderNominalBytes;
  LONG m_RenderMinAdjust;
  LONG m_RenderMaxAdjust;
  ULONG m_CaptureNominalBytes;
  LONG m_CaptureMinDeviation;
  LONG m_CaptureMaxDeviation;
  KSPIN_LOCK m_BalanceLock;
  LONG m_FrameBalance;

  // Latency probe.
  KSPIN_LOCK m_ProbeLock;
  BOOLEAN m_ProbeActive;
  ULONG m_ProbeIndex;
  ULONG m_ProbeCount;
  KEVENT m_ProbeDone;

  CCapturePath* m_CapturePaths[kCapturePaths];
  CRenderPath* m_RenderPaths[kCapturePaths];

  // The record list lives in a block of its own: the list type is
  // cache-line aligned, more than pool memory is.
  PVOID m_LookasideBlock;
  PNPAGED_LOOKASIDE_LIST m_Records;
};
