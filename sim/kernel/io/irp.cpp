// IRP allocation, sending and completion.
#include <cstdio>
#include <cstdlib>

#include "sim/kernel/core/irql_checks.h"
#include "sim/kernel/core/thread.h"
#include "sim/kernel/core/verifier.h"
#include "sim/kernel/io/io_internal.h"
#include "sim/kernel/io/irp_tracker.h"

using sim::verifier::Fail;

namespace sim::io {
namespace {

PIRP NewIrpMemory(CCHAR stackSize) {
  USHORT size = IoSizeOfIrp(stackSize);
  auto irp = static_cast<PIRP>(std::calloc(1, size));
  if (irp) IoInitializeIrp(irp, size, stackSize);
  return irp;
}

void ReleaseIrpMemory(void* irp) { std::free(irp); }

// A dispatch routine returns STATUS_PENDING exactly when its stack location
// is marked pending; checked once completion has passed the level (until
// then a completion routine below may still mark it).
void CheckPending(PDRIVER_OBJECT driver, UCHAR major, PIRP irp, bool returnedPending, bool marked) {
  if (returnedPending && !marked) {
    Fail("IoCallDriver",
         "dispatch routine of %s returned STATUS_PENDING for IRP %p (major 0x%02x) without IoMarkIrpPending",
         DriverNameUtf8(driver).c_str(), irp, major);
  } else if (!returnedPending && marked) {
    Fail("IoCallDriver",
         "dispatch routine of %s marked IRP %p (major 0x%02x) pending but did not return STATUS_PENDING",
         DriverNameUtf8(driver).c_str(), irp, major);
  }
}

}  // namespace

PIRP AllocateSystemIrp(CCHAR stackSize, FinalStage final) {
  PIRP irp = NewIrpMemory(stackSize);
  if (!irp) return nullptr;
  auto use = TrackIrp(irp, IrpKind::System, nullptr);
  use->final = std::move(final);
  return irp;
}

void SetFinalStage(PIRP irp, FinalStage final) {
  auto use = LookupIrp(irp);
  std::lock_guard<std::mutex> l(use->lock);
  use->final = std::move(final);
}

void FreeSystemIrp(PIRP irp) { UntrackIrp(irp, ReleaseIrpMemory); }

// Allocated by the I/O manager on behalf of a driver (IoBuild*Request).
PIRP AllocateDriverIrp(CCHAR stackSize, IrpKind kind) {
  PIRP irp = NewIrpMemory(stackSize);
  if (irp) TrackIrp(irp, kind, CurrentDriver());
  return irp;
}

}  // namespace sim::io

using namespace sim::io;

extern "C" {

void IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  memset(Irp, 0, PacketSize);
  Irp->Type = IO_TYPE_IRP;
  Irp->Size = PacketSize;
  Irp->StackCount = StackSize;
  Irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
  InitializeListHead(&Irp->ThreadListEntry);
  Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;
  // Memory the caller owns (IoInitializeIrp called directly) is tracked too,
  // so that sending and completing it are checked; IoAllocateIrp re-tracks.
  if (LookupIrp(Irp)) {
    RenewIrp(Irp);
  } else {
    TrackIrp(Irp, IrpKind::Initialized, CurrentDriver());
  }
}

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  if (!sim::kernel::CheckIrqlAtMost("IoAllocateIrp", DISPATCH_LEVEL)) return nullptr;
  if (StackSize < 1) {
    Fail("IoAllocateIrp", "stack size %d: an IRP needs at least one stack location", StackSize);
    return nullptr;
  }
  PIRP irp = AllocateDriverIrp(StackSize, IrpKind::Allocated);
  if (irp && ChargeQuota) irp->AllocationFlags |= IRP_QUOTA_CHARGED;
  return irp;
}

void IoFreeIrp(PIRP Irp) {
  bool wasFreed = false;
  auto use = LookupIrp(Irp, &wasFreed);
  if (!use) {
    Fail("IoFreeIrp", wasFreed ? "IRP %p freed twice" : "%p is not an IRP from IoAllocateIrp", Irp);
    return;
  }
  {
    std::lock_guard<std::mutex> l(use->lock);
    if (use->kind == IrpKind::Initialized) {
      Fail("IoFreeIrp", "IRP %p was set up with IoInitializeIrp on the caller's memory", Irp);
      return;
    }
    if (use->state == IrpState::Sent || (use->state == IrpState::Completing && use->routinesRunning == 0)) {
      Fail("IoFreeIrp", "IRP %p is still in flight: sent to a driver and not completed", Irp);
      return;
    }
    if (use->kind == IrpKind::Thread || use->kind == IrpKind::System) {
      Fail("IoFreeIrp", "IRP %p belongs to the I/O manager, which frees it at completion", Irp);
      return;
    }
  }
  // The system buffer of an asynchronous FSD request goes with the IRP.
  if ((Irp->Flags & IRP_DEALLOCATE_BUFFER) && Irp->AssociatedIrp.SystemBuffer) {
    std::free(Irp->AssociatedIrp.SystemBuffer);
    Irp->AssociatedIrp.SystemBuffer = nullptr;
  }
  if (Irp->CancelRoutine) {
    Fail("IoFreeIrp", "IRP %p still has a cancel routine set", Irp);
    return;
  }
  UntrackIrp(Irp, [](void* p) { std::free(p); });
}

void IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
  auto use = LookupIrp(Irp);
  if (!use) {
    Fail("IoReuseIrp", "%p is not a known IRP", Irp);
    return;
  }
  {
    std::lock_guard<std::mutex> l(use->lock);
    if (use->state == IrpState::Sent || (use->state == IrpState::Completing && use->routinesRunning == 0)) {
      Fail("IoReuseIrp", "IRP %p is still in flight: sent to a driver and not completed", Irp);
      return;
    }
  }
  if (Irp->CancelRoutine) {
    Fail("IoReuseIrp", "IRP %p still has a cancel routine set", Irp);
    return;
  }
  UCHAR allocationFlags = Irp->AllocationFlags;
  USHORT size = Irp->Size;
  CCHAR stack = Irp->StackCount;
  RenewIrp(Irp);
  memset(Irp, 0, size);
  Irp->Type = IO_TYPE_IRP;
  Irp->Size = size;
  Irp->StackCount = stack;
  Irp->CurrentLocation = static_cast<CHAR>(stack + 1);
  InitializeListHead(&Irp->ThreadListEntry);
  Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + stack;
  Irp->AllocationFlags = allocationFlags;
  Irp->IoStatus.Status = Iostatus;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (!sim::kernel::CheckIrqlAtMost("IoCallDriver", DISPATCH_LEVEL)) return STATUS_INVALID_DEVICE_STATE;
  bool wasFreed = false;
  auto use = LookupIrp(Irp, &wasFreed);
  if (!use) {
    Fail("IoCallDriver", wasFreed ? "IRP %p was already completed and freed" : "%p is not a known IRP", Irp);
    return STATUS_INVALID_PARAMETER;
  }
  if (!DeviceObject || DeviceObject->Type != IO_TYPE_DEVICE) {
    Fail("IoCallDriver", "%p is not a device object", DeviceObject);
    return STATUS_INVALID_PARAMETER;
  }
  if (Irp->CurrentLocation <= 1) {
    Fail("IoCallDriver", "IRP %p has no stack location left for device %p (StackCount %d)", Irp, DeviceObject,
         Irp->StackCount);
    return STATUS_INVALID_PARAMETER;
  }
  {
    std::lock_guard<std::mutex> l(use->lock);
    if (use->state == IrpState::Done) {
      Fail("IoCallDriver", "IRP %p was already completed", Irp);
      return STATUS_INVALID_PARAMETER;
    }
    use->state = IrpState::Sent;
  }
  Irp->CurrentLocation--;
  PIO_STACK_LOCATION sp = --Irp->Tail.Overlay.CurrentStackLocation;
  sp->DeviceObject = DeviceObject;
  CHAR level = Irp->CurrentLocation;
  UCHAR major = sp->MajorFunction;
  PDRIVER_OBJECT driver = DeviceObject->DriverObject;
  {
    std::lock_guard<std::mutex> l(use->lock);
    size_t i = static_cast<size_t>(level);
    use->passed[i] = false;
    use->returnedPending[i] = -1;
    use->dispatcher[i] = driver;
    use->major[i] = major;
  }
  PDRIVER_DISPATCH dispatch = major <= IRP_MJ_MAXIMUM_FUNCTION ? driver->MajorFunction[major] : nullptr;
  NTSTATUS status;
  {
    DriverScope scope(driver);
    if (dispatch) {
      const sim::kernel::ThreadBalance before = sim::kernel::TakeBalance();
      status = dispatch(DeviceObject, Irp);
      char what[160];
      snprintf(what, sizeof what, "the dispatch routine of %s for major 0x%02x", DriverNameUtf8(driver).c_str(), major);
      sim::kernel::CheckBalance("IoCallDriver", what, before);
    } else {
      Irp->IoStatus.Status = status = STATUS_INVALID_DEVICE_REQUEST;
      Irp->IoStatus.Information = 0;
      IofCompleteRequest(Irp, IO_NO_INCREMENT);
    }
  }
  bool check = false;
  bool marked = false;
  {
    std::lock_guard<std::mutex> l(use->lock);
    size_t i = static_cast<size_t>(level);
    if (use->passed[i]) {
      check = true;
      marked = use->pendingAtPass[i];
    } else {
      use->returnedPending[i] = status == STATUS_PENDING ? 1 : 0;
    }
  }
  if (check) CheckPending(driver, major, Irp, status == STATUS_PENDING, marked);
  return status;
}

void IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  UNREFERENCED_PARAMETER(PriorityBoost);
  if (!sim::kernel::CheckIrqlAtMost("IoCompleteRequest", DISPATCH_LEVEL)) return;
  bool wasFreed = false;
  auto use = LookupIrp(Irp, &wasFreed);
  if (!use) {
    Fail("IoCompleteRequest",
         wasFreed ? "IRP %p completed twice: it was already completed and freed" : "%p is not a known IRP", Irp);
    return;
  }
  {
    std::lock_guard<std::mutex> l(use->lock);
    if (use->state == IrpState::Done || (use->state == IrpState::Completing && use->routinesRunning == 0) ||
        Irp->CurrentLocation > Irp->StackCount + 1) {
      Fail("IoCompleteRequest", "IRP %p completed twice", Irp);
      return;
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
      Fail("IoCompleteRequest", "IRP %p completed with STATUS_PENDING as its final status", Irp);
      return;
    }
    use->state = IrpState::Completing;
  }
  if (Irp->CancelRoutine) {
    Fail("IoCompleteRequest", "IRP %p completed while its cancel routine is still set", Irp);
    Irp->CancelRoutine = nullptr;
  }
  while (Irp->CurrentLocation <= Irp->StackCount) {
    CHAR level = Irp->CurrentLocation;
    PIO_STACK_LOCATION sp = Irp->Tail.Overlay.CurrentStackLocation;
    UCHAR control = sp->Control;
    PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
    PVOID context = sp->Context;
    int returned;
    PDRIVER_OBJECT dispatcher;
    UCHAR major;
    {
      std::lock_guard<std::mutex> l(use->lock);
      size_t i = static_cast<size_t>(level);
      use->passed[i] = true;
      use->pendingAtPass[i] = (control & SL_PENDING_RETURNED) != 0;
      returned = use->returnedPending[i];
      dispatcher = use->dispatcher[i];
      major = use->major[i];
    }
    if (returned >= 0) CheckPending(dispatcher, major, Irp, returned == 1, (control & SL_PENDING_RETURNED) != 0);
    Irp->PendingReturned = (control & SL_PENDING_RETURNED) != 0;
    sp->Control = 0;
    sp->CompletionRoutine = nullptr;
    sp->Context = nullptr;
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
    NTSTATUS st = Irp->IoStatus.Status;
    bool invoke = routine && ((NT_SUCCESS(st) && (control & SL_INVOKE_ON_SUCCESS)) ||
                              (!NT_SUCCESS(st) && (control & SL_INVOKE_ON_ERROR)) ||
                              (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
    if (!invoke) {
      if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) IoMarkIrpPending(Irp);
      continue;
    }
    PDEVICE_OBJECT dev = Irp->CurrentLocation == Irp->StackCount + 1
                             ? nullptr
                             : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
    {
      std::lock_guard<std::mutex> l(use->lock);
      use->routinesRunning++;
    }
    NTSTATUS r;
    {
      DriverScope scope(dev ? dev->DriverObject : use->owner);
      const sim::kernel::ThreadBalance before = sim::kernel::TakeBalance();
      r = routine(dev, Irp, context);
      char what[96];
      snprintf(what, sizeof what, "completion routine %p", reinterpret_cast<void*>(routine));
      sim::kernel::CheckBalance("IoCompleteRequest", what, before);
    }
    std::lock_guard<std::mutex> l(use->lock);
    use->routinesRunning--;
    if (use->freed || use->retired) {
      if (r != STATUS_MORE_PROCESSING_REQUIRED) {
        Fail("IoCompleteRequest",
             "completion routine %p freed or reused IRP %p but returned 0x%08x, not STATUS_MORE_PROCESSING_REQUIRED",
             reinterpret_cast<void*>(routine), Irp, static_cast<unsigned>(r));
      }
      return;
    }
    if (r == STATUS_MORE_PROCESSING_REQUIRED) {
      if (use->state == IrpState::Completing) use->state = IrpState::Halted;
      return;
    }
    if (use->state != IrpState::Completing) {
      Fail("IoCompleteRequest", "completion routine %p sent or completed IRP %p again but returned 0x%08x",
           reinterpret_cast<void*>(routine), Irp, static_cast<unsigned>(r));
      return;
    }
  }
  FinalStage final;
  IrpKind kind;
  {
    std::lock_guard<std::mutex> l(use->lock);
    use->state = IrpState::Done;
    final = use->final;
    kind = use->kind;
  }
  if (kind == IrpKind::Thread || kind == IrpKind::System) {
    if (final) final(Irp);
    return;
  }
  Fail("IoCompleteRequest",
       "IRP %p (allocated by %s) was completed to the top of its stack with no owner: its completion routine "
       "must return STATUS_MORE_PROCESSING_REQUIRED and free or reuse it",
       Irp, DriverNameUtf8(use->owner).c_str());
}

// Wraps the caller's routine so that its device object stays referenced (and
// the driver loaded) until the routine ran.
namespace {
struct CompletionEx {
  PIO_COMPLETION_ROUTINE routine;
  PVOID context;
  PDEVICE_OBJECT device;
  UCHAR control;
};

NTSTATUS CompletionExRoutine(PDEVICE_OBJECT dev, PIRP irp, PVOID context) {
  auto* ex = static_cast<CompletionEx*>(context);
  NTSTATUS st = irp->IoStatus.Status;
  bool invoke = (NT_SUCCESS(st) && (ex->control & SL_INVOKE_ON_SUCCESS)) ||
                (!NT_SUCCESS(st) && (ex->control & SL_INVOKE_ON_ERROR)) ||
                (irp->Cancel && (ex->control & SL_INVOKE_ON_CANCEL));
  NTSTATUS r = STATUS_SUCCESS;
  if (invoke) {
    r = ex->routine(dev, irp, ex->context);
  } else if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) {
    IoMarkIrpPending(irp);
  }
  ObDereferenceObject(ex->device);
  delete ex;
  return r;
}
}  // namespace

NTSTATUS IoSetCompletionRoutineEx(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine,
                                  PVOID Context, BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError,
                                  BOOLEAN InvokeOnCancel) {
  auto* ex = new CompletionEx{CompletionRoutine, Context, DeviceObject, 0};
  if (InvokeOnSuccess) ex->control |= SL_INVOKE_ON_SUCCESS;
  if (InvokeOnError) ex->control |= SL_INVOKE_ON_ERROR;
  if (InvokeOnCancel) ex->control |= SL_INVOKE_ON_CANCEL;
  ObReferenceObject(DeviceObject);
  IoSetCompletionRoutine(Irp, CompletionExRoutine, ex, TRUE, TRUE, TRUE);
  return STATUS_SUCCESS;
}

BOOLEAN IoIsOperationSynchronous(PIRP Irp) {
  return (Irp->Flags & IRP_SYNCHRONOUS_API) != 0 ||
         (IoGetCurrentIrpStackLocation(Irp)->FileObject &&
          (IoGetCurrentIrpStackLocation(Irp)->FileObject->Flags & FO_SYNCHRONOUS_IO) != 0);
}

PEPROCESS IoGetRequestorProcess(PIRP Irp) {
  UNREFERENCED_PARAMETER(Irp);
  return PsGetCurrentProcess();
}

}  // extern "C"
