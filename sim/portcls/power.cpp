// Power requests of the adapter device: passed down with the power IRP
// protocol (PoStartNextPowerIrp, PoCallDriver).
#include "sim/portcls/handlers.h"

namespace sim::portcls {

NTSTATUS HandlePower(AdapterDevice& device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
    irp->IoStatus.Status = STATUS_SUCCESS;
  }
  if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
    PoSetPowerState(device.functionalDeviceObject, DevicePowerState, stack->Parameters.Power.State);
  }
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(device.lowerDeviceObject, irp);
}

}  // namespace sim::portcls
