// Device addition and start of the adapter device.
#pragma once
#include "platform.h"

// The AddDevice routine given to PcInitializeAdapterDriver.
NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);

// The StartDevice routine given to PcAddAdapterDevice.
NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList);

// The physical device object of the most recent successful AddDevice (the
// driver serves one device at a time); null before the first.
PDEVICE_OBJECT LastPhysicalDeviceObject();

// Forgets the remembered physical device object (driver unload).
void ForgetPhysicalDeviceObject();
