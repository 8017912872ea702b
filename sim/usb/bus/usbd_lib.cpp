// The usbd.sys helpers a client driver calls to walk descriptors and build
// its select-configuration request.
#include <usbdlib.h>
#include <wdm.h>

namespace {

constexpr ULONG kUsbdTag = 0x44425355;  // 'USBD'

}  // namespace

extern "C" {

PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                             LONG DescriptorType) {
  if (DescriptorBuffer == nullptr || StartPosition == nullptr) return nullptr;
  PUCHAR end = static_cast<PUCHAR>(DescriptorBuffer) + TotalLength;
  PUCHAR p = static_cast<PUCHAR>(StartPosition);
  // A descriptor must lie wholly inside the buffer; a zero bLength would
  // never advance, so it ends the walk as well.
  while (p + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
    auto* common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(p);
    if (common->bLength < sizeof(USB_COMMON_DESCRIPTOR) || p + common->bLength > end) return nullptr;
    if (common->bDescriptorType == DescriptorType) return common;
    p += common->bLength;
  }
  return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol) {
  if (ConfigurationDescriptor == nullptr) return nullptr;
  PVOID start = StartPosition ? StartPosition : ConfigurationDescriptor;
  for (;;) {
    auto* d = USBD_ParseDescriptors(ConfigurationDescriptor, ConfigurationDescriptor->wTotalLength, start,
                                    USB_INTERFACE_DESCRIPTOR_TYPE);
    if (d == nullptr) return nullptr;
    auto* iface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
    if (d->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
        (InterfaceNumber == -1 || iface->bInterfaceNumber == InterfaceNumber) &&
        (AlternateSetting == -1 || iface->bAlternateSetting == AlternateSetting) &&
        (InterfaceClass == -1 || iface->bInterfaceClass == InterfaceClass) &&
        (InterfaceSubClass == -1 || iface->bInterfaceSubClass == InterfaceSubClass) &&
        (InterfaceProtocol == -1 || iface->bInterfaceProtocol == InterfaceProtocol)) {
      return iface;
    }
    start = reinterpret_cast<PUCHAR>(d) + d->bLength;
  }
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                            UCHAR InterfaceNumber, UCHAR AlternateSetting) {
  return USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, InterfaceNumber,
                                             AlternateSetting, -1, -1, -1);
}

ULONG USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor, PUCHAR BufferEnd) {
  if (InterfaceDescriptor == nullptr) return 0;
  PUCHAR p = reinterpret_cast<PUCHAR>(InterfaceDescriptor);
  ULONG length = InterfaceDescriptor->bLength;
  p += InterfaceDescriptor->bLength;
  while (p + sizeof(USB_COMMON_DESCRIPTOR) <= BufferEnd) {
    auto* common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(p);
    if (common->bLength == 0 || common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) break;
    length += common->bLength;
    p += common->bLength;
  }
  return length;
}

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr) return nullptr;
  ULONG interfaces = 0;
  for (auto* e = InterfaceList; e->InterfaceDescriptor != nullptr; ++e) ++interfaces;
  // Room for every interface with all its pipes (what
  // GET_SELECT_CONFIGURATION_REQUEST_SIZE gives for the same list).
  SIZE_T size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
  for (auto* e = InterfaceList; e->InterfaceDescriptor != nullptr; ++e) {
    size += GET_USBD_INTERFACE_SIZE(e->InterfaceDescriptor->bNumEndpoints);
  }
  if (interfaces == 0) size = sizeof(struct _URB_SELECT_CONFIGURATION);
  if (size > 0xFFFF) return nullptr;
  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kUsbdTag));
  if (urb == nullptr) return nullptr;
  memset(urb, 0, size);
  urb->UrbHeader.Length = static_cast<USHORT>(size);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
  auto* info = &urb->UrbSelectConfiguration.Interface;
  for (auto* e = InterfaceList; e->InterfaceDescriptor != nullptr; ++e) {
    UCHAR n = e->InterfaceDescriptor->bNumEndpoints;
    info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(n));
    info->InterfaceNumber = e->InterfaceDescriptor->bInterfaceNumber;
    info->AlternateSetting = e->InterfaceDescriptor->bAlternateSetting;
    info->NumberOfPipes = n;
    for (UCHAR i = 0; i < n; ++i) {
      info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
      info->Pipes[i].PipeFlags = 0;
    }
    e->Interface = info;
    info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(info) + info->Length);
  }
  return urb;
}

void USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
  if (VersionInformation == nullptr) return;
  VersionInformation->USBDI_Version = 0x600;          // the Windows 7 and later USBDI
  VersionInformation->Supported_USB_Version = 0x200;  // USB 2.0
}

}  // extern "C"
