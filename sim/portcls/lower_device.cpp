#include "sim/portcls/lower_device.h"

namespace sim::portcls {
namespace {

NTSTATUS SignalWhenDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  if (irp->PendingReturned) KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  // The IRP goes back to the waiting dispatch routine.
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS PassDown(PDEVICE_OBJECT lower, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lower, irp);
}

NTSTATUS PassDownAndWait(PDEVICE_OBJECT lower, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalWhenDone, &done, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(lower, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = irp->IoStatus.Status;
  }
  return status;
}

NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace sim::portcls
