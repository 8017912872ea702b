#include "adapter/adapter_device.h"

#include "adapter/adapter_extension.h"
#include "adapter/trace.h"

namespace {

// One subdevice, the WaveRT filter, is ever registered.
constexpr ULONG kMaxSubdevices = 1;

PDEVICE_OBJECT g_PhysicalDeviceObject = nullptr;

void ResetAdapterExtension(AdapterExtension* extension) {
  extension->Adapter = nullptr;
  KeInitializeMutex(&extension->ExtensionMutex, 0);
  extension->RemovePending = 0;
  extension->DeviceFailed = 0;
}

}  // namespace

NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  NTSTATUS status =
      PcAddAdapterDevice(DriverObject, PhysicalDeviceObject, StartDevice, kMaxSubdevices, kAdapterDeviceExtensionSize);
  if (NT_SUCCESS(status)) g_PhysicalDeviceObject = PhysicalDeviceObject;
  Trace(TRACE_LEVEL_INFORMATION, TraceAddDevice, status, PhysicalDeviceObject);
  return status;
}

NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList) {
  UNREFERENCED_PARAMETER(Irp);
  UNREFERENCED_PARAMETER(ResourceList);
  ResetAdapterExtension(GetAdapterExtension(DeviceObject));
  NTSTATUS status = STATUS_SUCCESS;
  Trace(TRACE_LEVEL_INFORMATION, TraceStartDevice, status);
  return status;
}

PDEVICE_OBJECT LastPhysicalDeviceObject() { return g_PhysicalDeviceObject; }

void ForgetPhysicalDeviceObject() { g_PhysicalDeviceObject = nullptr; }
