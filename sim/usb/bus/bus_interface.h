// USB_BUS_INTERFACE_USBDI_GUID versions 0 and 1, as a USB device's PDO
// answers IRP_MN_QUERY_INTERFACE.
#pragma once

#include <wdm.h>

namespace sim::usb {

struct PdoExtension;

// Fills the caller's interface for the PDO; the interface is referenced once.
NTSTATUS QueryUsbdiBusInterface(PdoExtension* ext, PIO_STACK_LOCATION sp);

}  // namespace sim::usb
