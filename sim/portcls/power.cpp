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
    // Port class tells the adapter about every change of the device state
    // it handles, then records it.
    const POWER_STATE state = stack->Parameters.Power.State;
    if (device.powerManagement != nullptr && state.DeviceState != device.powerState) {
      device.powerManagement->PowerChangeState(state);
    }
    device.powerState = state.DeviceState;
    PoSetPowerState(device.functionalDeviceObject, DevicePowerState, state);
  } else if (stack->MinorFunction == IRP_MN_QUERY_POWER && stack->Parameters.Power.Type == DevicePowerState &&
             device.powerManagement != nullptr) {
    irp->IoStatus.Status = device.powerManagement->QueryPowerChangeState(stack->Parameters.Power.State);
  }
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(device.lowerDeviceObject, irp);
}

}  // namespace sim::portcls
