// Bounded walks over the configuration descriptor copy. The descriptors come
// from the device: a walk stops at the first descriptor whose bLength is
// below 2 or that runs past the end, so nothing outside the copy is read and
// everything after a malformed descriptor is invisible.
#pragma once
#include "platform.h"
#include <usb.h>

// A window [Begin, End) of the configuration descriptor; positions handed to
// the functions below are descriptor starts (or End) of a walk from Begin.
struct DescriptorRange {
  const UCHAR* Begin;
  const UCHAR* End;
};

// The whole configuration descriptor (wTotalLength bytes); empty for null.
DescriptorRange ConfigurationRange(const USB_CONFIGURATION_DESCRIPTOR* configuration);

// The well-formed descriptor that starts at `at`, or null.
const USB_COMMON_DESCRIPTOR* DescriptorAt(const DescriptorRange& range, const UCHAR* at);

// Position just after a descriptor.
inline const UCHAR* DescriptorEnd(const void* descriptor) {
  return static_cast<const UCHAR*>(descriptor) + static_cast<const USB_COMMON_DESCRIPTOR*>(descriptor)->bLength;
}

// The first well-formed descriptor at or after `from` with that type (and,
// for class-specific ones, that subtype in byte 2); null when none.
const USB_COMMON_DESCRIPTOR* FindDescriptor(const DescriptorRange& range, const UCHAR* from, UCHAR type);
const UCHAR* FindClassDescriptor(const DescriptorRange& range, const UCHAR* from, UCHAR type, UCHAR subtype);

// The first complete interface descriptor at or after `from` that matches;
// -1 matches any value.
const USB_INTERFACE_DESCRIPTOR* FindInterface(const DescriptorRange& range, const UCHAR* from, LONG number,
                                              LONG alternate, LONG interfaceClass, LONG subclass);

// Start of the next interface descriptor after `from` (exclusive), or where
// the well-formed part of the range ends. Bounds the descriptors that belong
// to the interface descriptor at `from`.
const UCHAR* NextInterfaceBoundary(const DescriptorRange& range, const UCHAR* from);
