// The PnP manager of the stand-in: bus drivers report the PDOs they create,
// tests and the simulator start and remove devices, and the PnP IRPs go to
// the device stack as Windows sends them.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <wdm.h>

namespace sim::pnp {

enum class DeviceState { Reported, Started, StartFailed, SurpriseRemoved, Removed };

// A bus driver reports a PDO it created with IoCreateDevice, with its device
// instance path (u"USB\\VID_7F3A&PID_0C62\\SERIAL") and hardware IDs.
NTSTATUS ReportPdo(PDEVICE_OBJECT pdo, const std::u16string& instancePath,
                   const std::vector<std::u16string>& hardwareIds,
                   const std::vector<std::u16string>& compatibleIds = {});

// Calls the function driver's AddDevice for the PDO, then sends
// IRP_MN_START_DEVICE (empty resource lists) to the top of the stack and
// waits; a failed start is followed by IRP_MN_REMOVE_DEVICE as on Windows.
// After a successful start IRP_MN_QUERY_CAPABILITIES goes to the stack.
// PASSIVE_LEVEL.
NTSTATUS StartDevice(PDEVICE_OBJECT pdo, PDRIVER_OBJECT functionDriver);

enum class QueryRemoveOutcome { Remove, Cancel };
// Orderly removal: open handles to the stack veto it (STATUS_DEVICE_BUSY,
// nothing sent) after RemovalEvent::QueryRemove gave their owners a chance
// to close them. Otherwise IRP_MN_QUERY_REMOVE_DEVICE; when it fails, or the
// outcome is Cancel, IRP_MN_CANCEL_REMOVE_DEVICE follows, else
// IRP_MN_REMOVE_DEVICE. Returns the query's status (or the veto).
NTSTATUS QueryRemove(PDEVICE_OBJECT pdo, QueryRemoveOutcome outcome);
// QueryRemove(pdo, QueryRemoveOutcome::Remove).
NTSTATUS Remove(PDEVICE_OBJECT pdo);
// The device is gone: IRP_MN_SURPRISE_REMOVAL now, IRP_MN_REMOVE_DEVICE once
// every file object opened on the stack has been closed (possibly at once).
NTSTATUS SurpriseRemove(PDEVICE_OBJECT pdo);
// Returns once a PnP operation in progress (a start, a removal) has ended:
// the PnP manager runs one at a time.
void WaitForOperation();
// Waits (bounded) until IRP_MN_REMOVE_DEVICE has been processed.
bool WaitRemoved(PDEVICE_OBJECT pdo, int64_t deadline);

enum class RemovalEvent { QueryRemove, RemoveCancelled, RemoveComplete, SurpriseRemoved };
// Target-device notifications (what user mode registers for with
// RegisterDeviceNotification). Runs on the thread doing the removal.
using RemovalCallback = std::function<void(PDEVICE_OBJECT pdo, RemovalEvent event)>;
int RegisterRemovalCallback(PDEVICE_OBJECT pdo, RemovalCallback callback);
void UnregisterRemovalCallback(int id);

// Empty / false for a device object that is not a reported PDO.
std::u16string InstancePath(PDEVICE_OBJECT pdo);
std::vector<std::u16string> HardwareIds(PDEVICE_OBJECT pdo);
bool IsReported(PDEVICE_OBJECT pdo);
bool IsRemoved(PDEVICE_OBJECT pdo);
DeviceState State(PDEVICE_OBJECT pdo);
// What IRP_MN_QUERY_CAPABILITIES returned after the last start.
DEVICE_CAPABILITIES Capabilities(PDEVICE_OBJECT pdo);
// The reported PDO whose instance path matches (case-insensitive), or null.
PDEVICE_OBJECT FindPdo(const std::u16string& instancePath);

}  // namespace sim::pnp
