// <usbdlib.h> of the mingw-w64 DDK: needs <usb.h> first and declares the
// usbd.sys functions without C linkage.
#pragma once
#include <usb.h>
extern "C" {
#include_next <usbdlib.h>
}
