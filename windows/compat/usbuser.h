// <usbuser.h> of mingw-w64 uses USBD_STATUS and USB_CONTROLLER_FLAVOR from
// <usb.h> without including it.
#pragma once
#include <usb.h>
#include_next <usbuser.h>
