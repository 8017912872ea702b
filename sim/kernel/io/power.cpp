// Power IRP helpers. Since Windows Vista power IRPs travel like any other
// IRP; PoStartNextPowerIrp has nothing left to do.
#include "sim/kernel/core/irql_checks.h"
#include "sim/kernel/io/io_internal.h"

extern "C" {

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return IofCallDriver(DeviceObject, Irp); }

void PoStartNextPowerIrp(PIRP Irp) { UNREFERENCED_PARAMETER(Irp); }

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  POWER_STATE previous;
  auto* ext = sim::io::Ext(DeviceObject);
  if (Type == DevicePowerState) {
    previous.DeviceState = ext->DevicePower.exchange(State.DeviceState);
  } else {
    previous.SystemState = ext->SystemPower.exchange(State.SystemState);
  }
  return previous;
}

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
  if (!sim::kernel::CheckIrqlAtMost("PoRequestPowerIrp", DISPATCH_LEVEL)) return STATUS_UNSUCCESSFUL;
  if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER) return STATUS_INVALID_PARAMETER_2;
  if (Irp) *Irp = nullptr;
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
  PIRP irp = sim::io::AllocateSystemIrp(top->StackSize, nullptr);
  sim::io::SetFinalStage(irp, [DeviceObject, MinorFunction, PowerState, CompletionFunction, Context](PIRP done) {
    IO_STATUS_BLOCK iosb = done->IoStatus;
    sim::io::FreeSystemIrp(done);
    if (CompletionFunction) CompletionFunction(DeviceObject, MinorFunction, PowerState, Context, &iosb);
  });
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = IRP_MJ_POWER;
  sp->MinorFunction = MinorFunction;
  sp->Parameters.Power.Type = DevicePowerState;
  sp->Parameters.Power.State = PowerState;
  IoCallDriver(top, irp);
  ObDereferenceObject(top);
  return STATUS_PENDING;
}

}  // extern "C"
