// Host-build stand-in for <usb200.h>: the USB 2.0 descriptors.
#pragma once
#include <usbspec.h>
