// The dispatch routines of the two stand-in drivers: the host controller
// driver (its named FDO answers IOCTL_USB_USER_REQUEST) and the bus driver
// (the PDOs of plugged devices answer URBs, PnP and power).
#pragma once

#include <wdm.h>

#include <string>

namespace sim::usb {

class HostController;

inline constexpr uint32_t kFdoSignature = 0x4F444655;  // 'UFDO'

struct FdoExtension {
  uint32_t signature;
  HostController* controller;
};

NTSTATUS HostControllerDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
NTSTATUS BusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

}  // namespace sim::usb
