// <usb.h> of mingw-w64 declares C functions without C linkage.
#pragma once
#include <wdm.h>
extern "C" {
#include_next <usb.h>
}
