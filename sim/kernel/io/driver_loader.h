// Loading and unloading drivers into the kernel stand-in.
#pragma once
#include <string_view>

#include <wdm.h>

namespace sim::io {

// The driver whose code the calling thread is running (for attributing IRPs,
// MDLs, work items and pool at unload), or null.
PDRIVER_OBJECT CurrentDriver();
// While alive, the calling thread runs `driver`'s code: what it allocates is
// charged to the driver, as in the driver's own dispatch routines.
class DriverScope {
 public:
  explicit DriverScope(PDRIVER_OBJECT driver);
  ~DriverScope();
  DriverScope(const DriverScope&) = delete;
  DriverScope& operator=(const DriverScope&) = delete;

 private:
  PDRIVER_OBJECT previous_;
};

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
