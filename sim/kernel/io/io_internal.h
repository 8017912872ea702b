// Internal to the stand-ins: tests, tools and the fuzzer use the public headers instead.
// State shared by the parts of the I/O manager stand-in; not for drivers.
#pragma once
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include <wdm.h>

#include "sim/kernel/io/driver_loader.h"

// The I/O manager's per-device bookkeeping, reached through
// DEVICE_OBJECT.DeviceObjectExtension as on Windows.
struct _DEVOBJ_EXTENSION {
  CSHORT Type = IO_TYPE_DEVICE_OBJECT_EXTENSION;
  USHORT Size = sizeof(_DEVOBJ_EXTENSION);
  PDEVICE_OBJECT DeviceObject = nullptr;
  PDEVICE_OBJECT AttachedTo = nullptr;  // the next-lower device, guarded by StackLock()
  bool DeletePending = false;           // IoDeleteDevice was called
  std::u16string Name;                  // "\Device\..." or empty
  // File objects opened on this device (the stack's base counts every open
  // of the stack) that have not been closed yet.
  std::atomic<int> OpenFiles{0};
  // What the driver last told PoSetPowerState.
  std::atomic<DEVICE_POWER_STATE> DevicePower{PowerDeviceD0};
  std::atomic<SYSTEM_POWER_STATE> SystemPower{PowerSystemWorking};
};

namespace sim::io {

// Guards the AttachedDevice / AttachedTo links of every device stack.
std::mutex& StackLock();


// Bottom of the stack that dev belongs to (dev itself when nothing is below).
PDEVICE_OBJECT StackBase(PDEVICE_OBJECT dev);
inline _DEVOBJ_EXTENSION* Ext(PDEVICE_OBJECT dev) { return dev->DeviceObjectExtension; }

// Name of a driver for messages ("\Driver\x" as UTF-8).
std::string DriverNameUtf8(PDRIVER_OBJECT driver);
std::string ToUtf8(std::u16string_view s);
std::u16string FromUnicodeString(PCUNICODE_STRING s);

// Completion of an I/O-manager IRP once it reached the top of its stack (the
// part Windows does in the requesting thread's APC).
using FinalStage = std::function<void(PIRP irp)>;

// An IRP owned by the I/O manager itself: built for dev's stack, completed
// through final, never counted against a driver.
PIRP AllocateSystemIrp(CCHAR stackSize, FinalStage final);

// Sends an I/O-manager IRP to the top of target's stack and waits (PASSIVE).
// setup fills the first stack location (major, minor, parameters, file
// object). Returns the final status; information is stored when non-null.
NTSTATUS SendSynchronousIrp(PDEVICE_OBJECT target, KPROCESSOR_MODE mode, NTSTATUS initialStatus,
                            const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup,
                            ULONG_PTR* information = nullptr);

// Releases the buffers the I/O manager attached to an IRP it built: copies
// buffered output back (bounded by outputLength), frees the system buffer,
// unlocks and frees the MDL chain.
void ReleaseIrpBuffers(PIRP irp, ULONG outputLength);
// Buffers of requests the I/O manager builds, set up in the next stack
// location: by the device control code's method, or by the target device's
// DO_BUFFERED_IO / DO_DIRECT_IO for reads and writes.
void SetUpDeviceControlBuffers(PIRP irp, ULONG code, PVOID in, ULONG inLength, PVOID out, ULONG outLength,
                               KPROCESSOR_MODE mode);
void SetUpReadWrite(PIRP irp, PDEVICE_OBJECT dev, UCHAR major, PVOID buffer, ULONG length, LONGLONG offset,
                    KPROCESSOR_MODE mode);
// Installs the final stage of an IRP from AllocateSystemIrp.
void SetFinalStage(PIRP irp, FinalStage final);
// Frees an IRP allocated by the I/O manager without the in-flight checks.
void FreeSystemIrp(PIRP irp);

// Called by IoDeleteDevice (PnP forgets a PDO, interfaces of it go away).
void OnDeviceDeleted(PDEVICE_OBJECT dev);
// Called after the last file object of a stack was closed.
void OnStackFilesClosed(PDEVICE_OBJECT base);

// Leak accounting at driver unload.
size_t OutstandingIrps(PDRIVER_OBJECT driver);
size_t OutstandingMdls(PDRIVER_OBJECT driver);
size_t OutstandingWorkItems(PDRIVER_OBJECT driver);
// Everything alive now, whoever owns it (the testbed's teardown census).
size_t LiveIrpCount();
size_t LiveMdlCount();
// MmAllocatePagesForMdl(Ex) hands out at most `bytes` (whole pages) from
// now on; 0 lifts the limit.
void LimitPagesForMdl(SIZE_T bytes);
size_t LiveWorkItemCount();

// Object types of the I/O manager.
POBJECT_TYPE DeviceType();
POBJECT_TYPE FileType();
POBJECT_TYPE DriverType();

// Case-insensitive comparison of object names (upcasing UTF-16 units).
bool NamesEqual(std::u16string_view a, std::u16string_view b);
bool HasPrefix(std::u16string_view s, std::u16string_view prefix);

}  // namespace sim::io
