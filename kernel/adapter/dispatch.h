// The driver's request entry points. DriverEntry installs them over the
// routines port class put into the driver object; requests the driver does
// not handle itself go on to PcDispatchIrp unchanged.
#pragma once
#include "platform.h"

// True for a request on a file opened with the private name "\\asio" (any case).
BOOLEAN IsPrivateFileObject(PIRP Irp);

NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Overwrites the seven major functions above in the driver object.
void InstallDispatchHooks(PDRIVER_OBJECT DriverObject);
