// Checks of descriptor data read from the device. Descriptors come from
// outside the system: nothing is walked before these checks have passed.
#pragma once
#include "platform.h"
#include <usb.h>
#include <usbdlib.h>

// STATUS_SUCCESS when the `length` bytes at `config` are a sound
// configuration descriptor set: wTotalLength equal to `length` and at least
// 9, every descriptor at least 2 bytes long and inside wTotalLength,
// interface and endpoint descriptors at least their standard size, and each
// interface's bNumEndpoints equal to the endpoint descriptors that follow it.
// Otherwise STATUS_NOT_SUPPORTED (traced).
NTSTATUS CheckConfigurationDescriptor(const USB_CONFIGURATION_DESCRIPTOR* config, ULONG length);

// The interface descriptor with that number and alternate setting inside a
// checked configuration descriptor, or null.
PUSB_INTERFACE_DESCRIPTOR FindInterfaceDescriptor(PUSB_CONFIGURATION_DESCRIPTOR config, UCHAR interfaceNumber,
                                                  UCHAR alternateSetting);
