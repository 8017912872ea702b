// Host-build stand-in for <usb100.h>: the USB 1.x descriptors.
#pragma once
#include <usbspec.h>
