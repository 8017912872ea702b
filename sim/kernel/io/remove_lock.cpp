// Remove locks: a count of requests inside a driver that removal drains.
#include "sim/kernel/core/irql_checks.h"
#include "sim/kernel/core/verifier.h"
#include "sim/kernel/io/io_internal.h"

using sim::verifier::Fail;

extern "C" {

void IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes, ULONG HighWatermark,
                              ULONG RemlockSize) {
  UNREFERENCED_PARAMETER(AllocateTag);
  UNREFERENCED_PARAMETER(MaxLockedMinutes);
  UNREFERENCED_PARAMETER(HighWatermark);
  if (RemlockSize != sizeof(IO_REMOVE_LOCK)) {
    Fail("IoInitializeRemoveLock", "size %u does not match IO_REMOVE_LOCK", RemlockSize);
    return;
  }
  Lock->Common.Removed = FALSE;
  Lock->Common.IoCount = 1;  // the bias that IoReleaseRemoveLockAndWait drops
  KeInitializeEvent(&Lock->Common.RemoveEvent, SynchronizationEvent, FALSE);
}

NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line, ULONG RemlockSize) {
  UNREFERENCED_PARAMETER(Tag);
  UNREFERENCED_PARAMETER(File);
  UNREFERENCED_PARAMETER(Line);
  UNREFERENCED_PARAMETER(RemlockSize);
  if (!sim::kernel::CheckIrqlAtMost("IoAcquireRemoveLock", DISPATCH_LEVEL)) return STATUS_UNSUCCESSFUL;
  if (RemoveLock->Common.IoCount <= 0 && RemoveLock->Common.Removed) {
    Fail("IoAcquireRemoveLock", "remove lock %p was already released for removal", RemoveLock);
    return STATUS_DELETE_PENDING;
  }
  InterlockedIncrement(&RemoveLock->Common.IoCount);
  if (RemoveLock->Common.Removed) {
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0) {
      KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
    return STATUS_DELETE_PENDING;
  }
  return STATUS_SUCCESS;
}

void IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  UNREFERENCED_PARAMETER(Tag);
  UNREFERENCED_PARAMETER(RemlockSize);
  LONG count = InterlockedDecrement(&RemoveLock->Common.IoCount);
  if (count < 0 || (count == 0 && !RemoveLock->Common.Removed)) {
    Fail("IoReleaseRemoveLock", "remove lock %p released more often than acquired", RemoveLock);
    InterlockedIncrement(&RemoveLock->Common.IoCount);
    return;
  }
  if (count == 0) KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
}

void IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  UNREFERENCED_PARAMETER(Tag);
  UNREFERENCED_PARAMETER(RemlockSize);
  if (!sim::kernel::CheckIrqlAtMost("IoReleaseRemoveLockAndWait", PASSIVE_LEVEL)) return;
  if (RemoveLock->Common.IoCount < 2) {
    Fail("IoReleaseRemoveLockAndWait", "remove lock %p is not held by the caller", RemoveLock);
    return;
  }
  RemoveLock->Common.Removed = TRUE;
  InterlockedDecrement(&RemoveLock->Common.IoCount);  // the caller's own acquisition
  if (InterlockedDecrement(&RemoveLock->Common.IoCount) > 0) {
    KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
  }
}

BOOLEAN IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
  // WDM 6.0 (Windows Vista) and later minor versions up to Windows 10's.
  return MajorVersion < 6 || (MajorVersion == 6 && MinorVersion <= 0x30);
}

}  // extern "C"
