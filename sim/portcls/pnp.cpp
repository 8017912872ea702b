// Plug and Play requests of the adapter device.
#include "sim/portcls/handlers.h"
#include "sim/portcls/lower_device.h"
#include "sim/portcls/resource_list.h"

namespace sim::portcls {
namespace {

// The lower drivers start first; then the adapter's StartDevice gets the
// device's resources as a resource list object.
NTSTATUS StartDevice(AdapterDevice& device, PIRP irp) {
  NTSTATUS status = PassDownAndWait(device.lowerDeviceObject, irp);
  if (NT_SUCCESS(status)) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ResourceList* resources = ResourceList::Create(stack->Parameters.StartDevice.AllocatedResourcesTranslated,
                                                   stack->Parameters.StartDevice.AllocatedResources);
    status = device.startDevice(device.functionalDeviceObject, irp, resources);
    resources->Release();
    device.started = NT_SUCCESS(status);
    // A started device is in D0; port class says so to the adapter.
    if (device.started && device.powerManagement != nullptr && device.powerState != PowerDeviceD0) {
      POWER_STATE d0;
      d0.DeviceState = PowerDeviceD0;
      device.powerManagement->PowerChangeState(d0);
    }
    device.powerState = PowerDeviceD0;
  }
  return CompleteIrp(irp, status);
}

// The bus driver fills the capabilities; then the adapter may change them.
NTSTATUS QueryCapabilities(AdapterDevice& device, PIRP irp) {
  NTSTATUS status = PassDownAndWait(device.lowerDeviceObject, irp);
  if (NT_SUCCESS(status) && device.powerManagement != nullptr) {
    PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    status = device.powerManagement->QueryDeviceCapabilities(caps);
  }
  return CompleteIrp(irp, status);
}

// The lower drivers see the removal first; then port class lets go of the
// stack and deletes the adapter device with everything registered on it.
NTSTATUS RemoveDevice(AdapterDevice& device, PIRP irp) {
  PDEVICE_OBJECT fdo = device.functionalDeviceObject;
  PDEVICE_OBJECT lower = device.lowerDeviceObject;
  device.started = false;
  device.subdevices.Clear();
  irp->IoStatus.Status = STATUS_SUCCESS;
  NTSTATUS status = PassDown(lower, irp);
  IoDetachDevice(lower);
  DestroyAdapterDevice(fdo);
  IoDeleteDevice(fdo);
  return status;
}

}  // namespace

NTSTATUS HandlePnp(AdapterDevice& device, PIRP irp) {
  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: return StartDevice(device, irp);
    case IRP_MN_REMOVE_DEVICE: return RemoveDevice(device, irp);
    case IRP_MN_QUERY_CAPABILITIES: return QueryCapabilities(device, irp);
    case IRP_MN_SURPRISE_REMOVAL:
      device.started = false;
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(device.lowerDeviceObject, irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
      // Port class agrees and lets the lower drivers decide.
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(device.lowerDeviceObject, irp);
    default:
      // Capabilities, relations, IDs, interfaces ...: the bus driver answers.
      return PassDown(device.lowerDeviceObject, irp);
  }
}

}  // namespace sim::portcls
