#include "adapter/dispatch.h"

NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return PcDispatchIrp(DeviceObject, Irp); }

NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return PcDispatchIrp(DeviceObject, Irp); }

NTSTATUS DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return PcDispatchIrp(DeviceObject, Irp); }

NTSTATUS DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return PcDispatchIrp(DeviceObject, Irp); }

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return PcDispatchIrp(DeviceObject, Irp); }

NTSTATUS DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return PcDispatchIrp(DeviceObject, Irp); }

NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return PcDispatchIrp(DeviceObject, Irp); }

void InstallDispatchHooks(PDRIVER_OBJECT DriverObject) {
  DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  DriverObject->MajorFunction[IRP_MJ_READ] = DispatchRead;
  DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
  DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
}
