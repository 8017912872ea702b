// Passing a request on to the next lower driver of the adapter device.
#pragma once
#include <wdm.h>

namespace sim::portcls {

// Hands the IRP down unchanged and returns the lower driver's status.
NTSTATUS PassDown(PDEVICE_OBJECT lower, PIRP irp);

// Sends the IRP down and waits until the lower drivers completed it; the IRP
// is then back in the caller's hands (not completed) and its status returned.
NTSTATUS PassDownAndWait(PDEVICE_OBJECT lower, PIRP irp);

// Completes the IRP with the status (Information 0) and returns the status.
NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status);

}  // namespace sim::portcls
