// IRPs the I/O manager builds for callers (IoBuild*Request, its own
// synchronous requests) and their final completion stage.
#include <algorithm>
#include <cstdlib>

#include "sim/kernel/core/irql_checks.h"
#include "sim/kernel/core/thread.h"
#include "sim/kernel/core/verifier.h"
#include "sim/kernel/io/io_internal.h"
#include "sim/kernel/io/irp_tracker.h"

using sim::verifier::Fail;

namespace sim::io {

PIRP AllocateDriverIrp(CCHAR stackSize, IrpKind kind);  // irp.cpp

void ReleaseIrpBuffers(PIRP irp, ULONG outputLength) {
  if ((irp->Flags & IRP_BUFFERED_IO) && (irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(irp->IoStatus.Status) &&
      irp->UserBuffer && irp->AssociatedIrp.SystemBuffer) {
    ULONG_PTR n = irp->IoStatus.Information;
    if (n > outputLength) {
      Fail("IoCompleteRequest", "IRP %p: Information %llu exceeds the output buffer length %u", irp,
           static_cast<unsigned long long>(n), outputLength);
      n = outputLength;
    }
    memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, n);
  }
  if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer) {
    std::free(irp->AssociatedIrp.SystemBuffer);
    irp->AssociatedIrp.SystemBuffer = nullptr;
  }
  PMDL mdl = irp->MdlAddress;
  irp->MdlAddress = nullptr;
  DriverScope scope(nullptr);
  while (mdl) {
    PMDL next = mdl->Next;
    if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl);
    IoFreeMdl(mdl);
    mdl = next;
  }
}

namespace {

// Final stage of a thread IRP: what the requesting thread's completion APC
// does on Windows.
FinalStage ThreadFinal(ULONG outputLength) {
  return [outputLength](PIRP irp) {
    ReleaseIrpBuffers(irp, outputLength);
    PKEVENT event = irp->UserEvent;
    if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
    FreeSystemIrp(irp);
    if (event) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
  };
}

PVOID AllocSystemBuffer(ULONG length) { return std::calloc(1, std::max<ULONG>(length, 1)); }

PIRP NewThreadIrp(PDEVICE_OBJECT dev, PKEVENT event, PIO_STATUS_BLOCK iosb, IrpKind kind, ULONG outputLength) {
  PIRP irp = AllocateDriverIrp(dev->StackSize, kind);
  if (!irp) return nullptr;
  auto use = LookupIrp(irp);
  use->outputLength = outputLength;
  if (kind == IrpKind::Thread) use->final = ThreadFinal(outputLength);
  irp->UserEvent = event;
  irp->UserIosb = iosb;
  irp->RequestorMode = KernelMode;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  return irp;
}

// Read/write buffers by the device's I/O method.
void SetUpTransferBuffers(PIRP irp, PDEVICE_OBJECT dev, bool read, PVOID buffer, ULONG length,
                          KPROCESSOR_MODE mode) {
  if (length == 0) {
    irp->UserBuffer = buffer;
    return;
  }
  if (dev->Flags & DO_BUFFERED_IO) {
    irp->AssociatedIrp.SystemBuffer = AllocSystemBuffer(length);
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    if (read) {
      irp->Flags |= IRP_INPUT_OPERATION;
    } else {
      memcpy(irp->AssociatedIrp.SystemBuffer, buffer, length);
    }
    irp->UserBuffer = buffer;
  } else if (dev->Flags & DO_DIRECT_IO) {
    DriverScope scope(nullptr);
    PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, irp);
    MmProbeAndLockPages(mdl, mode, read ? IoWriteAccess : IoReadAccess);
    irp->UserBuffer = buffer;
  } else {
    irp->UserBuffer = buffer;
  }
}

}  // namespace

void SetUpDeviceControlBuffers(PIRP irp, ULONG code, PVOID in, ULONG inLength, PVOID out, ULONG outLength,
                               KPROCESSOR_MODE mode) {
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->Parameters.DeviceIoControl.IoControlCode = code;
  sp->Parameters.DeviceIoControl.InputBufferLength = inLength;
  sp->Parameters.DeviceIoControl.OutputBufferLength = outLength;
  switch (METHOD_FROM_CTL_CODE(code)) {
    case METHOD_BUFFERED:
      if (inLength || outLength) {
        irp->AssociatedIrp.SystemBuffer = AllocSystemBuffer(std::max(inLength, outLength));
        if (in && inLength) memcpy(irp->AssociatedIrp.SystemBuffer, in, inLength);
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        if (outLength) irp->Flags |= IRP_INPUT_OPERATION;
      }
      irp->UserBuffer = out;
      break;
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
      if (inLength) {
        irp->AssociatedIrp.SystemBuffer = AllocSystemBuffer(inLength);
        if (in) memcpy(irp->AssociatedIrp.SystemBuffer, in, inLength);
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
      }
      if (out && outLength) {
        DriverScope scope(nullptr);
        PMDL mdl = IoAllocateMdl(out, outLength, FALSE, FALSE, irp);
        MmProbeAndLockPages(mdl, mode,
                            METHOD_FROM_CTL_CODE(code) == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess);
      }
      irp->UserBuffer = out;
      break;
    default:  // METHOD_NEITHER
      sp->Parameters.DeviceIoControl.Type3InputBuffer = in;
      irp->UserBuffer = out;
      break;
  }
}

void SetUpReadWrite(PIRP irp, PDEVICE_OBJECT dev, UCHAR major, PVOID buffer, ULONG length, LONGLONG offset,
                    KPROCESSOR_MODE mode) {
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = major;
  bool read = major == IRP_MJ_READ;
  SetUpTransferBuffers(irp, dev, read, buffer, length, mode);
  irp->Flags |= read ? IRP_READ_OPERATION : IRP_WRITE_OPERATION;
  if (read) {
    sp->Parameters.Read.Length = length;
    sp->Parameters.Read.ByteOffset.QuadPart = offset;
  } else {
    sp->Parameters.Write.Length = length;
    sp->Parameters.Write.ByteOffset.QuadPart = offset;
  }
}

NTSTATUS SendSynchronousIrp(PDEVICE_OBJECT target, KPROCESSOR_MODE mode, NTSTATUS initialStatus,
                            const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup, ULONG_PTR* information) {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(target);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = AllocateSystemIrp(top->StackSize, ThreadFinal(0));
  if (!irp) {
    ObDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  irp->IoStatus.Status = initialStatus;
  irp->RequestorMode = mode;
  irp->UserEvent = &event;
  irp->UserIosb = &iosb;
  irp->Flags |= IRP_SYNCHRONOUS_API;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  setup(irp, IoGetNextIrpStackLocation(irp));
  const UCHAR major = IoGetNextIrpStackLocation(irp)->MajorFunction;
  if (mode == UserMode) {
    sim::kernel::UserRequestScope user;
    IoCallDriver(top, irp);
  } else {
    IoCallDriver(top, irp);
  }
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(top);
  if (mode == UserMode) sim::kernel::CheckReturnToUserMode(major == IRP_MJ_CREATE ? "NtCreateFile" : "NtClose");
  if (information) *information = iosb.Information;
  return iosb.Status;
}

}  // namespace sim::io

using namespace sim::io;

extern "C" {

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  if (!sim::kernel::CheckIrqlAtMost("IoBuildDeviceIoControlRequest", PASSIVE_LEVEL)) return nullptr;
  PIRP irp = NewThreadIrp(DeviceObject, Event, IoStatusBlock, IrpKind::Thread, OutputBufferLength);
  if (!irp) return nullptr;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  irp->Flags |= IRP_SYNCHRONOUS_API;
  SetUpDeviceControlBuffers(irp, IoControlCode, InputBuffer, InputBufferLength, OutputBuffer, OutputBufferLength,
                            KernelMode);
  return irp;
}

PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                                  PLARGE_INTEGER StartingOffset, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  if (!sim::kernel::CheckIrqlAtMost("IoBuildSynchronousFsdRequest", PASSIVE_LEVEL)) return nullptr;
  ULONG out = MajorFunction == IRP_MJ_READ ? Length : 0;
  PIRP irp = NewThreadIrp(DeviceObject, Event, IoStatusBlock, IrpKind::Thread, out);
  if (!irp) return nullptr;
  irp->Flags |= IRP_SYNCHRONOUS_API;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = static_cast<UCHAR>(MajorFunction);
  if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
    SetUpReadWrite(irp, DeviceObject, static_cast<UCHAR>(MajorFunction), Buffer, Length,
                   StartingOffset ? StartingOffset->QuadPart : 0, KernelMode);
  }
  return irp;
}

PIRP IoBuildAsynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                                   PLARGE_INTEGER StartingOffset, PIO_STATUS_BLOCK IoStatusBlock) {
  if (!sim::kernel::CheckIrqlAtMost("IoBuildAsynchronousFsdRequest", DISPATCH_LEVEL)) return nullptr;
  ULONG out = MajorFunction == IRP_MJ_READ ? Length : 0;
  PIRP irp = NewThreadIrp(DeviceObject, nullptr, IoStatusBlock, IrpKind::AsyncFsd, out);
  if (!irp) return nullptr;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = static_cast<UCHAR>(MajorFunction);
  if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
    SetUpReadWrite(irp, DeviceObject, static_cast<UCHAR>(MajorFunction), Buffer, Length,
                   StartingOffset ? StartingOffset->QuadPart : 0, KernelMode);
  }
  return irp;
}

}  // extern "C"
