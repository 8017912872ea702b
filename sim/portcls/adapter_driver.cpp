// PcInitializeAdapterDriver and port class's own DriverUnload.
#include <atomic>
#include <mutex>
#include <set>

#include "sim/kernel/core/verifier.h"
#include "sim/portcls/adapter_device.h"

namespace sim::portcls {
namespace {

std::mutex g_mutex;
size_t g_unloadCount = 0;
std::atomic<NTSTATUS> g_failNextInitialize{STATUS_SUCCESS};

std::set<PDRIVER_OBJECT>& Drivers() {
  static std::set<PDRIVER_OBJECT> drivers;
  return drivers;
}

void PortClassUnload(PDRIVER_OBJECT DriverObject) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Drivers().erase(DriverObject);
  ++g_unloadCount;
}

}  // namespace

bool IsAdapterDriver(PDRIVER_OBJECT driverObject) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return Drivers().count(driverObject) != 0;
}

PDRIVER_UNLOAD PortClassDriverUnload() { return PortClassUnload; }

size_t PortClassUnloadCount() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_unloadCount;
}

void FailNextInitialize(NTSTATUS status) { g_failNextInitialize = status; }

}  // namespace sim::portcls

extern "C" NTSTATUS PcInitializeAdapterDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName,
                                              PDRIVER_ADD_DEVICE AddDevice) {
  UNREFERENCED_PARAMETER(RegistryPathName);
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    sim::verifier::Fail("PcInitializeAdapterDriver", "called at IRQL %u, must be PASSIVE_LEVEL",
                        static_cast<unsigned>(KeGetCurrentIrql()));
    return STATUS_INVALID_DEVICE_STATE;
  }
  if (DriverObject == nullptr || AddDevice == nullptr) return STATUS_INVALID_PARAMETER;
  NTSTATUS injected = sim::portcls::g_failNextInitialize.exchange(STATUS_SUCCESS);
  if (!NT_SUCCESS(injected)) return injected;

  // Port class handles every request of the adapter's devices; the adapter
  // may hook single major functions and forward to PcDispatchIrp.
  for (PDRIVER_DISPATCH& dispatch : DriverObject->MajorFunction) dispatch = PcDispatchIrp;
  DriverObject->DriverExtension->AddDevice = AddDevice;
  DriverObject->DriverUnload = sim::portcls::PortClassUnload;
  {
    std::lock_guard<std::mutex> lock(sim::portcls::g_mutex);
    sim::portcls::Drivers().insert(DriverObject);
  }
  return STATUS_SUCCESS;
}
