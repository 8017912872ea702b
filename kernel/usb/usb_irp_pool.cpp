// The pool of reusable transfer IRPs. Free IRPs are threaded through their
// own list entry; completion puts them back at the tail, so the pool grows to
// the largest number of transfers ever in flight at once.
#include "usb/usbcl.h"
#include "base/trace.h"
#include "usb/usb_trace_events.h"

PIRP CUSBCL::AllocatePoolIrp() {
  if (m_LowerDevice == nullptr) return nullptr;
  return IoAllocateIrp(m_LowerDevice->StackSize, FALSE);
}

void CUSBCL::AddIrpToPool(PIRP Irp) {
  KLOCK_QUEUE_HANDLE lockHandle;
  KeAcquireInStackQueuedSpinLock(&m_IrpPoolLock, &lockHandle);
  InsertTailList(&m_FreeIrps, &Irp->Tail.Overlay.ListEntry);
  KeReleaseInStackQueuedSpinLock(&lockHandle);
}

PIRP CUSBCL::TakeIrp() {
  PIRP irp = nullptr;
  KLOCK_QUEUE_HANDLE lockHandle;
  KeAcquireInStackQueuedSpinLock(&m_IrpPoolLock, &lockHandle);
  if (!IsListEmpty(&m_FreeIrps)) {
    PLIST_ENTRY entry = RemoveHeadList(&m_FreeIrps);
    irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    IoReuseIrp(irp, STATUS_SUCCESS);
  }
  KeReleaseInStackQueuedSpinLock(&lockHandle);
  if (irp == nullptr) {
    // Allocated outside the lock; counted below like a pooled one.
    irp = AllocatePoolIrp();
    if (irp == nullptr) return nullptr;
  }
  KeAcquireInStackQueuedSpinLock(&m_IrpPoolLock, &lockHandle);
  if (m_IrpsInUse++ == 0) KeClearEvent(&m_IrpsIdle);
  KeReleaseInStackQueuedSpinLock(&lockHandle);
  return irp;
}

void CUSBCL::ReturnIrp(PIRP Irp) {
  KLOCK_QUEUE_HANDLE lockHandle;
  KeAcquireInStackQueuedSpinLock(&m_IrpPoolLock, &lockHandle);
  InsertTailList(&m_FreeIrps, &Irp->Tail.Overlay.ListEntry);
  const bool idle = --m_IrpsInUse == 0;
  KeReleaseInStackQueuedSpinLock(&lockHandle);
  // The very last touch of this object: a destructor waiting for the pool to go idle may free
  // it as soon as the event is set, so the lock must already be released.
  if (idle) KeSetEvent(&m_IrpsIdle, IO_NO_INCREMENT, FALSE);
}

void CUSBCL::FreeIrpPool() {
  // Runs after every transfer has ended: nothing else touches the list.
  while (!IsListEmpty(&m_FreeIrps)) {
    PLIST_ENTRY entry = RemoveHeadList(&m_FreeIrps);
    IoFreeIrp(CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry));
  }
}
