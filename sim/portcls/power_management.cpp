// The adapter's power management interface: registered once per adapter
// device, told about every device power state change port class handles,
// and asked for the device's capabilities.
#include "sim/portcls/adapter_device.h"
#include "sim/kernel/core/verifier.h"

#include <utility>

namespace sim::portcls {

void ReleasePowerManagement(AdapterDevice& device) {
  if (device.powerManagement != nullptr) {
    IAdapterPowerManagement* power = device.powerManagement;
    device.powerManagement = nullptr;
    power->Release();
  }
}

DEVICE_POWER_STATE DevicePower(PDEVICE_OBJECT fdo) {
  AdapterDevice* device = FindAdapterDevice(fdo, nullptr);
  return device != nullptr ? device->powerState : PowerDeviceUnspecified;
}

}  // namespace sim::portcls

extern "C" NTSTATUS PcRegisterAdapterPowerManagement(PUNKNOWN pUnknown, PVOID pvContext1) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    sim::verifier::Fail("PcRegisterAdapterPowerManagement", "called at IRQL %u, must be PASSIVE_LEVEL",
                        static_cast<unsigned>(KeGetCurrentIrql()));
    return STATUS_INVALID_DEVICE_STATE;
  }
  if (pUnknown == nullptr || pvContext1 == nullptr) return STATUS_INVALID_PARAMETER;
  sim::portcls::AdapterDevice* device =
      sim::portcls::FindAdapterDevice(static_cast<PDEVICE_OBJECT>(pvContext1), "PcRegisterAdapterPowerManagement");
  if (device == nullptr) return STATUS_INVALID_PARAMETER;
  PVOID power = nullptr;
  NTSTATUS status = pUnknown->QueryInterface(IID_IAdapterPowerManagement, &power);
  if (!NT_SUCCESS(status)) return status;
  if (power == nullptr) return STATUS_INVALID_PARAMETER;
  // A second registration replaces the first, as port class does.
  sim::portcls::ReleasePowerManagement(*device);
  device->powerManagement = static_cast<IAdapterPowerManagement*>(power);
  return STATUS_SUCCESS;
}

namespace sim::portcls {
namespace {

void PowerRequestDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status) {
  auto* done = static_cast<std::pair<KEVENT, NTSTATUS>*>(context);
  done->second = status->Status;
  KeSetEvent(&done->first, IO_NO_INCREMENT, FALSE);
}

}  // namespace

NTSTATUS SetDevicePower(PDEVICE_OBJECT fdo, DEVICE_POWER_STATE state) {
  AdapterDevice* device = FindAdapterDevice(fdo, "SetDevicePower");
  if (device == nullptr) return STATUS_INVALID_PARAMETER;
  std::pair<KEVENT, NTSTATUS> done{};
  KeInitializeEvent(&done.first, NotificationEvent, FALSE);
  POWER_STATE requested;
  requested.DeviceState = state;
  NTSTATUS status =
      PoRequestPowerIrp(device->physicalDeviceObject, IRP_MN_SET_POWER, requested, PowerRequestDone, &done, nullptr);
  if (!NT_SUCCESS(status)) return status;
  KeWaitForSingleObject(&done.first, Executive, KernelMode, FALSE, nullptr);
  return done.second;
}

}  // namespace sim::portcls
