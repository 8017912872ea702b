// The device extension of the PDOs the bus driver creates for plugged devices.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <string>

namespace sim::usb {

class HostController;
class DeviceSlot;

inline constexpr uint32_t kPdoSignature = 0x4F445055;  // 'UPDO'

struct PdoExtension {
  uint32_t signature;
  HostController* controller;
  DeviceSlot* slot;
  bool started;
  bool removed;
  bool uniqueSerial;
  std::u16string controllerName;  // "\\Device\\USBFDO-n"
};

inline PdoExtension* PdoExt(PDEVICE_OBJECT pdo) {
  auto* ext = static_cast<PdoExtension*>(pdo->DeviceExtension);
  return (ext != nullptr && ext->signature == kPdoSignature) ? ext : nullptr;
}

// The cancel routine of every transfer IRP the controller queues.
void TransferCancelRoutine(PDEVICE_OBJECT device, PIRP irp);

}  // namespace sim::usb
