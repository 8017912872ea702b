#include "audiofunction/descriptor_walk.h"

DescriptorRange ConfigurationRange(const USB_CONFIGURATION_DESCRIPTOR* configuration) {
  if (configuration == nullptr) {
    return DescriptorRange{nullptr, nullptr};
  }
  const UCHAR* begin = reinterpret_cast<const UCHAR*>(configuration);
  return DescriptorRange{begin, begin + configuration->wTotalLength};
}

const USB_COMMON_DESCRIPTOR* DescriptorAt(const DescriptorRange& range, const UCHAR* at) {
  if (at == nullptr || at < range.Begin || at >= range.End) {
    return nullptr;
  }
  const SIZE_T room = static_cast<SIZE_T>(range.End - at);
  if (room < sizeof(USB_COMMON_DESCRIPTOR)) {
    return nullptr;
  }
  const USB_COMMON_DESCRIPTOR* descriptor = reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(at);
  if (descriptor->bLength < sizeof(USB_COMMON_DESCRIPTOR) || descriptor->bLength > room) {
    return nullptr;
  }
  return descriptor;
}

const USB_COMMON_DESCRIPTOR* FindDescriptor(const DescriptorRange& range, const UCHAR* from, UCHAR type) {
  for (const USB_COMMON_DESCRIPTOR* d = DescriptorAt(range, from); d != nullptr;
       d = DescriptorAt(range, DescriptorEnd(d))) {
    if (d->bDescriptorType == type) {
      return d;
    }
  }
  return nullptr;
}

const UCHAR* FindClassDescriptor(const DescriptorRange& range, const UCHAR* from, UCHAR type, UCHAR subtype) {
  for (const USB_COMMON_DESCRIPTOR* d = DescriptorAt(range, from); d != nullptr;
       d = DescriptorAt(range, DescriptorEnd(d))) {
    if (d->bDescriptorType == type && d->bLength >= 3 && reinterpret_cast<const UCHAR*>(d)[2] == subtype) {
      return reinterpret_cast<const UCHAR*>(d);
    }
  }
  return nullptr;
}

const USB_INTERFACE_DESCRIPTOR* FindInterface(const DescriptorRange& range, const UCHAR* from, LONG number,
                                              LONG alternate, LONG interfaceClass, LONG subclass) {
  for (const USB_COMMON_DESCRIPTOR* d = FindDescriptor(range, from, USB_INTERFACE_DESCRIPTOR_TYPE); d != nullptr;
       d = FindDescriptor(range, DescriptorEnd(d), USB_INTERFACE_DESCRIPTOR_TYPE)) {
    if (d->bLength < sizeof(USB_INTERFACE_DESCRIPTOR)) {
      continue;
    }
    const USB_INTERFACE_DESCRIPTOR* i = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(d);
    if ((number < 0 || i->bInterfaceNumber == number) && (alternate < 0 || i->bAlternateSetting == alternate) &&
        (interfaceClass < 0 || i->bInterfaceClass == interfaceClass) &&
        (subclass < 0 || i->bInterfaceSubClass == subclass)) {
      return i;
    }
  }
  return nullptr;
}

const UCHAR* NextInterfaceBoundary(const DescriptorRange& range, const UCHAR* from) {
  const USB_COMMON_DESCRIPTOR* d = DescriptorAt(range, from);
  if (d == nullptr) {
    return (from != nullptr && from >= range.Begin && from <= range.End) ? from : range.End;
  }
  // Without a further interface the bound is where the walk ends: the end of
  // the range or the first malformed descriptor.
  const UCHAR* at = DescriptorEnd(d);
  while ((d = DescriptorAt(range, at)) != nullptr) {
    if (d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) {
      return at;
    }
    at = DescriptorEnd(d);
  }
  return at;
}
