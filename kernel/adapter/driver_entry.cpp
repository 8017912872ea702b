// Entry and unload of the driver.
#include "platform.h"

#include "adapter/adapter_device.h"
#include "adapter/dispatch.h"
#include "asio/asio_stream.h"
#include "base/pool.h"
#include "base/trace.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

// The unload routine port class installed; the driver's own unload calls it.
PDRIVER_UNLOAD g_PortClassUnload = nullptr;

void DriverUnload(PDRIVER_OBJECT DriverObject) {
  Trace(TRACE_LEVEL_INFORMATION, TraceDriverUnload);
  TraceCleanup();
  ForgetPhysicalDeviceObject();
  PDRIVER_UNLOAD portClassUnload = g_PortClassUnload;
  g_PortClassUnload = nullptr;
  if (portClassUnload != nullptr) portClassUnload(DriverObject);
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  TraceInitialize();
  SelectPoolPolicy();
  CAsioStream::ResetOverrides();
  Trace(TRACE_LEVEL_INFORMATION, TraceDriverEntry, DriverPoolType(), DriverPagePriority());

  NTSTATUS status = PcInitializeAdapterDriver(DriverObject, RegistryPath, AddDevice);
  if (!NT_SUCCESS(status)) {
    Trace(TRACE_LEVEL_ERROR, TraceDriverEntryFailed, status);
    TraceCleanup();
    return status;
  }

  InstallDispatchHooks(DriverObject);
  g_PortClassUnload = DriverObject->DriverUnload;
  DriverObject->DriverUnload = DriverUnload;
  return status;
}
