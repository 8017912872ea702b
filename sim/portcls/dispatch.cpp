// PcDispatchIrp: port class's entry for every request of an adapter device.
#include "sim/portcls/handlers.h"
#include "sim/portcls/lower_device.h"

extern "C" NTSTATUS PcDispatchIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  sim::portcls::AdapterDevice* device = sim::portcls::FindAdapterDevice(DeviceObject, "PcDispatchIrp");
  if (device == nullptr) return sim::portcls::CompleteIrp(Irp, STATUS_INVALID_DEVICE_REQUEST);

  switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
    case IRP_MJ_PNP:
      return sim::portcls::HandlePnp(*device, Irp);
    case IRP_MJ_POWER:
      return sim::portcls::HandlePower(*device, Irp);
    case IRP_MJ_CREATE:
      return sim::portcls::HandleCreate(*device, Irp);
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
      return sim::portcls::HandleCloseOrCleanup(*device, Irp);
    default:
      // Requests port class has no object for go to the lower drivers.
      return sim::portcls::PassDown(device->lowerDeviceObject, Irp);
  }
}
