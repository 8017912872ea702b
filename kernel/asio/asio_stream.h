// The ASIO stream of one device: the two rings between the engine and the
// private file's reads and writes, the preparation and start of ASIO
// streaming, the requests left pending until their data is there, the
// writer thread of render-only streaming, and the position clock. A member
// of the device core; the private requests drive it under the request mutex.
#pragma once
#include "platform.h"
#include "asio/sample_ring.h"
#include "common/asio_requests.h"
#include "engine/asio_ring_access.h"

class CAdapterCommon;

class CAsioStream : public CAsioRingAccess {
 public:
  void Initialize(CAdapterCommon* Adapter);
  // The device object whose DO_BUFFERED_IO flag says how request buffers come.
  void SetDevice(PDEVICE_OBJECT FunctionalDeviceObject) { m_FunctionalDeviceObject = FunctionalDeviceObject; }
  // The device core goes: the writer thread and the rings go too.
  void Shutdown();

  // The device-wide owner flag, changed only by compare-and-swap.
  BOOLEAN Claim() { return InterlockedCompareExchange(&m_Owner, 1, 0) == 0; }
  BOOLEAN Release() { return InterlockedCompareExchange(&m_Owner, 0, 1) == 1; }

  // PASSIVE_LEVEL, under the request mutex.
  NTSTATUS Prepare(const ASIO_PREPARE_RECORD& Record);
  NTSTATUS Start();
  void Stop();
  void Unprepare();
  void Go();
  ULONG GetPosition();
  void SyncPosition(ULONG Frames);
  BOOLEAN IsStreaming();
  BOOLEAN IsPrepared() const { return m_CaptureRing.HasStorage() || m_RenderRing.HasStorage(); }
  ULONG ResetNeeded() const { return m_ResetNeeded != 0 ? 1 : 0; }

  // IRP_MJ_READ and IRP_MJ_WRITE while streaming: STATUS_PENDING or a final
  // status (the caller completes the IRP then).
  NTSTATUS Read(PIRP Irp);
  NTSTATUS Write(PIRP Irp);

  // Driver-wide overrides (0: computed): the ASIO render path's lead and
  // the duplex render ring's prefill, in frames.
  static void SetRenderLeadOverride(ULONG Frames);
  static void SetRenderPrefillOverride(ULONG Frames);
  static void ResetOverrides();

  // CAsioRingAccess, for the ASIO render source and capture sink.
  ULONG DsdMode() override { return m_Dsd; }
  StreamFormat RenderFormat() override;
  StreamFormat CaptureFormat() override;
  BOOLEAN HasCaptureRing() override { return m_CaptureRing.HasStorage(); }
  BOOLEAN HasRenderRing() override { return m_RenderRing.HasStorage(); }
  BOOLEAN IsRenderRingStarted() override { return m_RenderRing.IsStarted(); }
  ULONG RenderRingRead(PUCHAR Buffer, ULONG Bytes, BOOLEAN Partial) override;
  ULONG CaptureRingWrite(const UCHAR* Buffer, ULONG Bytes) override;
  void CompletePendingReads() override;
  void Balance() override { CSampleRing::Balance(&m_CaptureRing, &m_RenderRing); }
  void WakeWriter() override;
  UCHAR RenderSilenceByte() override { return m_RenderRing.SilenceByte(); }
  void MarkResetNeeded() override;

  // Observation for tools and tests.
  CSampleRing& CaptureRing() { return m_CaptureRing; }
  CSampleRing& RenderRing() { return m_RenderRing; }

 private:
  NTSTATUS StartWriter();
  void StopWriter();
  static VOID WriterThread(PVOID Context);
  void ServiceWrites();
  void ResetFormat();
  // The ASIO render path takes the render ring at the capture clock's pace.
  BOOLEAN RenderFollowsCapture();
  void UndoReservation(BOOLEAN Capture, BOOLEAN Render);

  // The request's buffer in system space, or null.
  PUCHAR MapBuffer(PIRP Irp);
  // Pending list: a request goes in with a cancel routine (at the tail, or
  // back at the head when it was taken out unfinished), or is completed when
  // it cannot wait; FALSE then. It comes out without one; null when the list
  // is empty or every entry is being cancelled.
  BOOLEAN Insert(PIRP Irp, BOOLEAN AtHead);
  PIRP TakeHead();
  // The head with its buffer mapped; requests that cannot be mapped fail on the way.
  PIRP TakeMappedHead(PUCHAR* Buffer);
  void CancelAllPending();
  static VOID CancelPending(PDEVICE_OBJECT DeviceObject, PIRP Irp);
  static void CompleteIrp(PIRP Irp, NTSTATUS Status, CCHAR Boost);

  CAdapterCommon* m_Adapter;
  PDEVICE_OBJECT m_FunctionalDeviceObject;
  CSampleRing m_CaptureRing;
  CSampleRing m_RenderRing;
  volatile LONG m_Owner;

  KSPIN_LOCK m_PendingLock;
  LIST_ENTRY m_Pending;
  // Set while streaming and not interrupted: requests may wait in the list.
  BOOLEAN m_Accepting;

  KSPIN_LOCK m_StreamingLock;
  BOOLEAN m_Streaming;

  ULONG m_Rate;
  USHORT m_Dsd;
  USHORT m_FormatType;
  ULONG m_CaptureChannels;
  ULONG m_CaptureBits;
  ULONG m_RenderChannels;
  ULONG m_RenderBits;
  ULONG m_BufferFrames;
  ULONG m_LeadPercent;

  volatile LONG m_ResetNeeded;
  volatile LONG m_ClockNotStarted;
  LONGLONG m_ClockOrigin;
  ULONG m_LastPosition;

  PKTHREAD m_WriterThread;
  KEVENT m_WriterStop;
  KEVENT m_WriterWake;
};
