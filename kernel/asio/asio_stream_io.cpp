// Reads and writes of the ASIO stream: the pending list with its cancel
// routine, the completion of reads from capture data, duplex writes and the
// render-only writer's service.
#include "asio/asio_stream.h"

#include "adapter/adapter_common.h"
#include "asio/asio_trace_events.h"
#include "base/pool.h"
#include "base/trace.h"

namespace {

ULONG RequestLength(PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  return stack->MajorFunction == IRP_MJ_READ ? stack->Parameters.Read.Length : stack->Parameters.Write.Length;
}

// What a request carries must be whole frames: a partial frame would shift
// every sample after it into the next channel.
BOOLEAN IsWholeFrames(ULONG Length, ULONG BytesPerFrame) { return BytesPerFrame != 0 && Length % BytesPerFrame == 0; }

}  // namespace

void CAsioStream::CompleteIrp(PIRP Irp, NTSTATUS Status, CCHAR Boost) {
  Irp->IoStatus.Status = Status;
  if (Status == STATUS_CANCELLED || !NT_SUCCESS(Status)) {
    Irp->IoStatus.Information = 0;
  }
  IoCompleteRequest(Irp, Boost);
}

PUCHAR CAsioStream::MapBuffer(PIRP Irp) {
  if (m_FunctionalDeviceObject != nullptr && (m_FunctionalDeviceObject->Flags & DO_BUFFERED_IO) != 0) {
    return static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
  }
  if (Irp->MdlAddress == nullptr) {
    return nullptr;
  }
  return static_cast<PUCHAR>(
      MmGetSystemAddressForMdlSafe(Irp->MdlAddress, static_cast<MM_PAGE_PRIORITY>(DriverPagePriority())));
}

BOOLEAN CAsioStream::Insert(PIRP Irp, BOOLEAN AtHead) {
  Irp->Tail.Overlay.DriverContext[0] = this;
  NTSTATUS refusal = STATUS_SUCCESS;
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_PendingLock, &handle);
  if (!m_Accepting) {
    // A request put back was pending when streaming stopped: it is cancelled
    // as the others were. A new one learns why it cannot wait.
    refusal = !AtHead && m_ResetNeeded != 0 ? STATUS_REINITIALIZATION_NEEDED : STATUS_CANCELLED;
  } else {
    IoSetCancelRoutine(Irp, CancelPending);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
      // Cancelled while out of the list: nobody else will complete it.
      refusal = STATUS_CANCELLED;
    } else if (AtHead) {
      InsertHeadList(&m_Pending, &Irp->Tail.Overlay.ListEntry);
    } else {
      InsertTailList(&m_Pending, &Irp->Tail.Overlay.ListEntry);
    }
  }
  KeReleaseInStackQueuedSpinLock(&handle);
  if (refusal != STATUS_SUCCESS) {
    CompleteIrp(Irp, refusal, IO_NO_INCREMENT);
    return FALSE;
  }
  return TRUE;
}

PIRP CAsioStream::TakeHead() {
  PIRP irp = nullptr;
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_PendingLock, &handle);
  while (irp == nullptr && !IsListEmpty(&m_Pending)) {
    PLIST_ENTRY entry = RemoveHeadList(&m_Pending);
    PIRP candidate = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (IoSetCancelRoutine(candidate, nullptr) == nullptr) {
      // Its cancel routine runs and will unlink it: leave it linked to itself.
      InitializeListHead(entry);
    } else {
      irp = candidate;
    }
  }
  KeReleaseInStackQueuedSpinLock(&handle);
  return irp;
}

PIRP CAsioStream::TakeMappedHead(PUCHAR* Buffer) {
  for (;;) {
    PIRP irp = TakeHead();
    if (irp == nullptr) {
      return nullptr;
    }
    *Buffer = MapBuffer(irp);
    if (*Buffer != nullptr) {
      return irp;
    }
    CompleteIrp(irp, STATUS_UNSUCCESSFUL, IO_NO_INCREMENT);
  }
}

VOID CAsioStream::CancelPending(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  auto* stream = static_cast<CAsioStream*>(Irp->Tail.Overlay.DriverContext[0]);
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&stream->m_PendingLock, &handle);
  RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
  KeReleaseInStackQueuedSpinLock(&handle);
  CompleteIrp(Irp, STATUS_CANCELLED, IO_NO_INCREMENT);
}

void CAsioStream::CancelAllPending() {
  LIST_ENTRY cancelled;
  InitializeListHead(&cancelled);
  ULONG count = 0;
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_PendingLock, &handle);
  m_Accepting = FALSE;
  while (!IsListEmpty(&m_Pending)) {
    PLIST_ENTRY entry = RemoveHeadList(&m_Pending);
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
      InitializeListHead(entry);
    } else {
      InsertTailList(&cancelled, entry);
    }
  }
  KeReleaseInStackQueuedSpinLock(&handle);
  while (!IsListEmpty(&cancelled)) {
    PLIST_ENTRY entry = RemoveHeadList(&cancelled);
    CompleteIrp(CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry), STATUS_CANCELLED, IO_NO_INCREMENT);
    ++count;
  }
  if (count != 0) {
    Trace(TRACE_LEVEL_INFORMATION, TraceAsioReset, count);
  }
}

void CAsioStream::MarkResetNeeded() {
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_PendingLock, &handle);
  InterlockedExchange(&m_ResetNeeded, 1);
  KeReleaseInStackQueuedSpinLock(&handle);
  CancelAllPending();
}

NTSTATUS CAsioStream::Read(PIRP Irp) {
  if (!m_CaptureRing.HasStorage()) {
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  if (m_ResetNeeded != 0) {
    return STATUS_REINITIALIZATION_NEEDED;
  }
  const ULONG length = RequestLength(Irp);
  if (!IsWholeFrames(length, m_CaptureRing.BytesPerFrame())) {
    return STATUS_INVALID_PARAMETER;
  }
  if (length == 0) {
    // Nothing to wait for; it does not count as the clock's first read.
    return STATUS_SUCCESS;
  }
  if (MapBuffer(Irp) == nullptr) {
    Trace(TRACE_LEVEL_WARNING, TraceAsioUnmappable, IRP_MJ_READ, length);
    return STATUS_UNSUCCESSFUL;
  }
  Irp->IoStatus.Information = 0;
  IoMarkIrpPending(Irp);
  Insert(Irp, FALSE);
  return STATUS_PENDING;
}

void CAsioStream::CompletePendingReads() {
  if (!m_CaptureRing.IsStarted()) {
    return;
  }
  for (;;) {
    PUCHAR buffer = nullptr;
    PIRP irp = TakeMappedHead(&buffer);
    if (irp == nullptr) {
      return;
    }
    const ULONG length = RequestLength(irp);
    ULONG done = static_cast<ULONG>(irp->IoStatus.Information);
    done += m_CaptureRing.Read(buffer + done, length - done, TRUE);
    irp->IoStatus.Information = done;
    if (done < length) {
      Insert(irp, TRUE);
      return;
    }
    if (m_ClockNotStarted != 0) {
      m_ClockOrigin = KeQueryPerformanceCounter(nullptr).QuadPart;
      InterlockedExchange(&m_ClockNotStarted, 0);
      m_RenderRing.SetStarted(TRUE);
    }
    CompleteIrp(irp, STATUS_SUCCESS, IO_SOUND_INCREMENT);
  }
}

NTSTATUS CAsioStream::Write(PIRP Irp) {
  if (!m_RenderRing.HasStorage()) {
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  const BOOLEAN duplex = m_CaptureRing.HasStorage();
  if (duplex && m_ResetNeeded != 0) {
    return STATUS_REINITIALIZATION_NEEDED;
  }
  const ULONG length = RequestLength(Irp);
  if (!IsWholeFrames(length, m_RenderRing.BytesPerFrame())) {
    return STATUS_INVALID_PARAMETER;
  }
  if (length == 0) {
    return STATUS_SUCCESS;
  }
  PUCHAR buffer = MapBuffer(Irp);
  if (buffer == nullptr) {
    Trace(TRACE_LEVEL_WARNING, TraceAsioUnmappable, IRP_MJ_WRITE, length);
    return STATUS_UNSUCCESSFUL;
  }
  if (duplex) {
    // All of it at once: what does not fit is owed as silence. Render paced
    // by the host drains the ring at another clock than the reads fill it:
    // owed silence would never be paid back and would silence it for good,
    // so there what does not fit is dropped (a slip) and accepted all the same.
    if (RenderFollowsCapture()) {
      Irp->IoStatus.Information = m_RenderRing.Write(buffer, length, FALSE);
    } else {
      m_RenderRing.Write(buffer, length, TRUE);
      Irp->IoStatus.Information = length;
    }
    return STATUS_SUCCESS;
  }
  Irp->IoStatus.Information = 0;
  IoMarkIrpPending(Irp);
  if (Insert(Irp, FALSE)) {
    KeSetEvent(&m_WriterWake, IO_NO_INCREMENT, FALSE);
  }
  return STATUS_PENDING;
}

void CAsioStream::ServiceWrites() {
  for (;;) {
    PUCHAR buffer = nullptr;
    PIRP irp = TakeMappedHead(&buffer);
    if (irp == nullptr) {
      return;
    }
    const ULONG length = RequestLength(irp);
    ULONG done = static_cast<ULONG>(irp->IoStatus.Information);
    done += m_RenderRing.Write(buffer + done, length - done, TRUE);
    irp->IoStatus.Information = done;
    if (done < length) {
      // The ring is full: it may play now, and the rest waits for room.
      Insert(irp, TRUE);
      m_RenderRing.SetStarted(TRUE);
      return;
    }
    CompleteIrp(irp, STATUS_SUCCESS, IO_SOUND_INCREMENT);
  }
}

ULONG CAsioStream::RenderRingRead(PUCHAR Buffer, ULONG Bytes, BOOLEAN Partial) {
  // A shortfall of host-paced render is a slip, not a debt (see Write).
  return m_RenderRing.Read(Buffer, Bytes, Partial || !RenderFollowsCapture());
}

BOOLEAN CAsioStream::RenderFollowsCapture() {
  return m_Adapter->RenderPath(CAdapterCommon::kAsioClient).IsCaptureClocked();
}

ULONG CAsioStream::CaptureRingWrite(const UCHAR* Buffer, ULONG Bytes) { return m_CaptureRing.Write(Buffer, Bytes, FALSE); }

void CAsioStream::WakeWriter() {
  if (m_WriterThread != nullptr) {
    KeSetEvent(&m_WriterWake, IO_NO_INCREMENT, FALSE);
  }
}
