// A whole simulated USB bus for tests and troxsim: the host controller with
// its named FDO ("\Device\USBFDO-n"), the bus driver, and one PDO per
// plugged device, reported to the PnP manager.
#pragma once

#include <wdm.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/usb/bus/host_controller.h"
#include "sim/usb/device/usb_device.h"

namespace sim::usb {

class UsbBus {
 public:
  explicit UsbBus(const ControllerInfo& info = {});
  // Unplugs every device, deletes the FDO, unloads both drivers and stops
  // the controller.
  ~UsbBus();
  UsbBus(const UsbBus&) = delete;
  UsbBus& operator=(const UsbBus&) = delete;

  HostController& Controller() { return *controller_; }
  PDEVICE_OBJECT Fdo() const { return fdo_; }
  const std::u16string& ControllerName() const { return name_; }
  PDRIVER_OBJECT BusDriver() const { return busDriver_; }

  // Attaches the device to a root port and reports its PDO with instance
  // path USB\VID_xxxx&PID_yyyy\<serial>. The device must outlive its plug.
  PDEVICE_OBJECT Plug(UsbDevice* device);
  // The device is gone: its transfers complete with STATUS_NO_SUCH_DEVICE,
  // new ones fail, the PnP manager gets the surprise removal, and the PDO is
  // deleted once its stack processed IRP_MN_REMOVE_DEVICE (bounded wait).
  // Returns false when the remove did not come in time (the PDO is kept).
  bool Unplug(PDEVICE_OBJECT pdo);

  DeviceSlot* Slot(PDEVICE_OBJECT pdo) const;
  static std::u16string InstancePathFor(UsbDevice* device, uint32_t port);

 private:
  std::unique_ptr<HostController> controller_;
  int index_ = 0;
  std::u16string name_;
  PDRIVER_OBJECT hcDriver_ = nullptr;
  PDRIVER_OBJECT busDriver_ = nullptr;
  PDEVICE_OBJECT fdo_ = nullptr;
  std::vector<PDEVICE_OBJECT> pdos_;
};

}  // namespace sim::usb
