// IRP cancellation and the global cancel spin lock.
#include <atomic>
#include <thread>

#include "sim/kernel/core/irql_checks.h"
#include "sim/kernel/core/verifier.h"
#include "sim/kernel/io/irp_tracker.h"

using sim::verifier::Fail;

namespace {
KSPIN_LOCK g_cancelLock = 0;
std::atomic<PKTHREAD> g_cancelOwner{nullptr};
}  // namespace

extern "C" {

void IoAcquireCancelSpinLock(PKIRQL Irql) {
  KeAcquireSpinLock(&g_cancelLock, Irql);
  g_cancelOwner = KeGetCurrentThread();
}

void IoReleaseCancelSpinLock(KIRQL Irql) {
  if (g_cancelOwner != KeGetCurrentThread()) {
    Fail("IoReleaseCancelSpinLock", "the calling thread does not hold the cancel spin lock");
    return;
  }
  g_cancelOwner = nullptr;
  KeReleaseSpinLock(&g_cancelLock, Irql);
}

BOOLEAN IoCancelIrp(PIRP Irp) {
  if (!sim::kernel::CheckIrqlAtMost("IoCancelIrp", DISPATCH_LEVEL)) return FALSE;
  bool wasFreed = false;
  if (!sim::io::LookupIrp(Irp, &wasFreed)) {
    Fail("IoCancelIrp", wasFreed ? "IRP %p was already completed and freed" : "%p is not a known IRP", Irp);
    return FALSE;
  }
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (!routine) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  if (Irp->CurrentLocation > Irp->StackCount) {
    IoReleaseCancelSpinLock(irql);
    Fail("IoCancelIrp", "IRP %p has a cancel routine but is not held by any driver", Irp);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  PDEVICE_OBJECT dev = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
  {
    sim::io::DriverScope scope(dev ? dev->DriverObject : nullptr);
    routine(dev, Irp);
  }
  if (g_cancelOwner == KeGetCurrentThread()) {
    Fail("IoCancelIrp", "cancel routine %p returned without releasing the cancel spin lock",
         reinterpret_cast<void*>(routine));
    IoReleaseCancelSpinLock(irql);
  }
  return TRUE;
}

}  // extern "C"
