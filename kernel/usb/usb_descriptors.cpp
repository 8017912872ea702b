#include "usb/usb_descriptors.h"
#include "base/trace.h"
#include "usb/usb_trace_events.h"

namespace {

constexpr ULONG kConfigurationDescriptorSize = 9;
constexpr ULONG kInterfaceDescriptorSize = 9;
constexpr ULONG kEndpointDescriptorSize = 7;

// Closes the run of endpoints that belongs to the interface descriptor at
// `interfaceOffset`. A bNumEndpoints that differs from the endpoint
// descriptors that follow is only traced: real devices ship such sets, and
// every reader of endpoints stops at the next interface descriptor anyway.
void CheckEndpointCount(const UCHAR* bytes, ULONG interfaceOffset, ULONG endpointsFound) {
  const USB_INTERFACE_DESCRIPTOR* itf = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(bytes + interfaceOffset);
  if (itf->bNumEndpoints == endpointsFound) return;
  Trace(TRACE_LEVEL_WARNING, TraceUsbConfigEndpointCountBad, itf->bInterfaceNumber, itf->bAlternateSetting,
        itf->bNumEndpoints, endpointsFound);
}

}  // namespace

NTSTATUS CheckConfigurationDescriptor(const USB_CONFIGURATION_DESCRIPTOR* config, ULONG length) {
  if (config == nullptr || length < kConfigurationDescriptorSize || config->wTotalLength != length ||
      config->bLength < kConfigurationDescriptorSize || config->bLength > length ||
      config->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
    Trace(TRACE_LEVEL_ERROR, TraceUsbConfigMalformed, 0, config != nullptr ? config->bLength : 0,
          config != nullptr ? config->bDescriptorType : 0, length);
    return STATUS_NOT_SUPPORTED;
  }
  const UCHAR* bytes = reinterpret_cast<const UCHAR*>(config);
  ULONG offset = 0;
  bool inInterface = false;
  ULONG interfaceOffset = 0;
  ULONG endpoints = 0;
  while (offset < length) {
    const ULONG remaining = length - offset;
    const ULONG descriptorLength = remaining >= 2 ? bytes[offset] : 0;
    const UCHAR type = remaining >= 2 ? bytes[offset + 1] : 0;
    bool sound = descriptorLength >= 2 && descriptorLength <= remaining;
    if (sound && type == USB_INTERFACE_DESCRIPTOR_TYPE) sound = descriptorLength >= kInterfaceDescriptorSize;
    if (sound && type == USB_ENDPOINT_DESCRIPTOR_TYPE)
      sound = descriptorLength >= kEndpointDescriptorSize && inInterface;
    if (!sound) {
      Trace(TRACE_LEVEL_ERROR, TraceUsbConfigMalformed, offset, descriptorLength, type, length);
      return STATUS_NOT_SUPPORTED;
    }
    if (type == USB_INTERFACE_DESCRIPTOR_TYPE) {
      if (inInterface) CheckEndpointCount(bytes, interfaceOffset, endpoints);
      inInterface = true;
      interfaceOffset = offset;
      endpoints = 0;
    } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE) {
      ++endpoints;
    }
    offset += descriptorLength;
  }
  if (inInterface) CheckEndpointCount(bytes, interfaceOffset, endpoints);
  return STATUS_SUCCESS;
}

PUSB_INTERFACE_DESCRIPTOR FindInterfaceDescriptor(PUSB_CONFIGURATION_DESCRIPTOR config, UCHAR interfaceNumber,
                                                  UCHAR alternateSetting) {
  if (config == nullptr) return nullptr;
  return USBD_ParseConfigurationDescriptorEx(config, config, interfaceNumber, alternateSetting, -1, -1, -1);
}
