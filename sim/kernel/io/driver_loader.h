// Loading and unloading drivers into the kernel stand-in.
#pragma once
#include <string_view>

#include <wdm.h>

namespace sim::io {

// Creates the driver object ("\Driver\<service>", every major function set to
// the I/O manager's invalid-request handler) and calls entry at PASSIVE_LEVEL
// on a system thread. registryPath defaults to
// "\Registry\Machine\System\CurrentControlSet\Services\<service>". On failure
// the driver object is deleted again, with the same leak checks as unload.
NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, std::u16string_view serviceName, std::u16string_view registryPath,
                    PDRIVER_OBJECT* driver);
inline NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, std::u16string_view serviceName, PDRIVER_OBJECT* driver) {
  return LoadDriver(entry, serviceName, {}, driver);
}

// Calls DriverUnload (when set) on a system thread, then checks, as Driver
// Verifier does, that the driver left no device objects, IRPs, MDLs, work
// items behind (and no pool, once it is the last driver loaded: pool blocks
// carry no owner), and deletes the driver object.
void UnloadDriver(PDRIVER_OBJECT driver);

}  // namespace sim::io
