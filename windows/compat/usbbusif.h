// <usbbusif.h> of the mingw-w64 DDK uses the URB and descriptor types
// without including their headers.
#pragma once
#include <usb.h>
#include <usbdlib.h>
extern "C" {
#include_next <usbbusif.h>
}
