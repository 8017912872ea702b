// Port class's record of an adapter device (the functional device object
// that PcAddAdapterDevice creates), and of the drivers that called
// PcInitializeAdapterDriver. Tests and later port class parts reach them
// through the lookup functions below.
#pragma once
#include <portcls.h>

#include <memory>

#include "sim/portcls/subdevice_table.h"

namespace sim::portcls {

struct AdapterDevice {
  AdapterDevice(PDEVICE_OBJECT fdo, PDEVICE_OBJECT pdo, PDEVICE_OBJECT lower, PCPFNSTARTDEVICE start, ULONG maxObjects)
      : functionalDeviceObject(fdo),
        physicalDeviceObject(pdo),
        lowerDeviceObject(lower),
        startDevice(start),
        subdevices(maxObjects) {}

  PDEVICE_OBJECT functionalDeviceObject;
  PDEVICE_OBJECT physicalDeviceObject;
  PDEVICE_OBJECT lowerDeviceObject;
  PCPFNSTARTDEVICE startDevice;
  bool started = false;
  SubdeviceTable subdevices;
  // PcRegisterAdapterPowerManagement's interface (referenced) and the device
  // power state port class last told it about.
  IAdapterPowerManagement* powerManagement = nullptr;
  DEVICE_POWER_STATE powerState = PowerDeviceD0;
};

// Drops the adapter's power management registration (device removal).
void ReleasePowerManagement(AdapterDevice& device);

// Sends IRP_MN_SET_POWER for a device power state to the adapter device's
// stack, as the power manager does when a device idles or the system
// sleeps, and waits for it. PASSIVE_LEVEL.
NTSTATUS SetDevicePower(PDEVICE_OBJECT fdo, DEVICE_POWER_STATE state);
// The power state port class last passed to PowerChangeState.
DEVICE_POWER_STATE DevicePower(PDEVICE_OBJECT fdo);

// The adapter device record of fdo, or null when fdo was not created by
// PcAddAdapterDevice (or is already removed); with a `call` name that is a
// verifier failure of that call. A driver that overwrote port class's part of
// the device extension is always reported.
AdapterDevice* FindAdapterDevice(PDEVICE_OBJECT fdo, const char* call);

// Called by the remove handling: forgets the record (the FDO is deleted next).
void DestroyAdapterDevice(PDEVICE_OBJECT fdo);

// Number of adapter devices that exist (all drivers).
size_t AdapterDeviceCount();

// Whether PcInitializeAdapterDriver succeeded for this driver object (and
// port class's unload has not run since).
bool IsAdapterDriver(PDRIVER_OBJECT driverObject);
// Port class's own DriverUnload, as PcInitializeAdapterDriver installs it.
PDRIVER_UNLOAD PortClassDriverUnload();
// How often port class's DriverUnload ran (all drivers).
size_t PortClassUnloadCount();
// Fault injection: the next PcInitializeAdapterDriver fails with `status`
// and leaves the driver object untouched.
void FailNextInitialize(NTSTATUS status);

}  // namespace sim::portcls
