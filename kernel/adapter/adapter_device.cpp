#include "adapter/adapter_device.h"

#include "adapter/adapter_common.h"
#include "adapter/adapter_extension.h"
#include "adapter/adapter_trace_events.h"
#include "adapter/wave_subdevice.h"
#include "base/trace.h"

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
  AdapterExtension* extension = GetAdapterExtension(DeviceObject);
  ResetAdapterExtension(extension);

  CAdapterCommon* adapter = new (DriverPoolType(), kPoolTagAdapterObject) CAdapterCommon();
  if (adapter == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceStartDevice, STATUS_INSUFFICIENT_RESOURCES);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IAdapterCommon* common = nullptr;
  NTSTATUS status = adapter->QueryInterface(IID_IAdapterCommon, reinterpret_cast<PVOID*>(&common));
  if (NT_SUCCESS(status)) {
    status = common->Init(g_PhysicalDeviceObject, DeviceObject);
    if (!NT_SUCCESS(status)) {
      Trace(TRACE_LEVEL_ERROR, TraceAdapterStartFailed, 4, status);
    }
  }
  if (NT_SUCCESS(status)) {
    status = PcRegisterAdapterPowerManagement(static_cast<PUNKNOWN>(common), DeviceObject);
    if (!NT_SUCCESS(status)) {
      Trace(TRACE_LEVEL_ERROR, TraceAdapterStartFailed, 5, status);
    }
  }
  if (NT_SUCCESS(status)) {
    // A device whose filter could not be registered still serves the
    // private interface.
    InstallWaveSubdevice(DeviceObject, common);
    extension->Adapter = common;
  }
  if (common != nullptr) {
    common->Release();
  }
  adapter->Release();
  Trace(TRACE_LEVEL_INFORMATION, TraceStartDevice, status);
  return status;
}

PDEVICE_OBJECT LastPhysicalDeviceObject() { return g_PhysicalDeviceObject; }

void ForgetPhysicalDeviceObject() { g_PhysicalDeviceObject = nullptr; }
