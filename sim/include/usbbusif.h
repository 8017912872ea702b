// Host-build stand-in for <usbbusif.h>: the USBDI bus interface that a USB
// device's PDO hands out through IRP_MN_QUERY_INTERFACE.
#pragma once

#include <wdm.h>
#include <usb.h>

#define USB_BUSIFFN

typedef PVOID PUSB_DEVICE_HANDLE;

typedef NTSTATUS(USB_BUSIFFN *PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB)(PVOID BusContext, PURB Urb);
typedef VOID(USB_BUSIFFN *PUSB_BUSIFFN_GETUSBDI_VERSION)(PVOID BusContext,
                                                         PUSBD_VERSION_INFORMATION VersionInformation,
                                                         PULONG HcdCapabilities);
// CurrentFrame: the 1 ms bus frame number.
typedef NTSTATUS(USB_BUSIFFN *PUSB_BUSIFFN_QUERY_BUS_TIME)(PVOID BusContext, PULONG CurrentFrame);
typedef NTSTATUS(USB_BUSIFFN *PUSB_BUSIFFN_ENUM_LOG_ENTRY)(PVOID BusContext, ULONG DriverTag, ULONG EnumTag,
                                                           ULONG P1, ULONG P2);
typedef NTSTATUS(USB_BUSIFFN *PUSB_BUSIFFN_QUERY_BUS_INFORMATION)(PVOID BusContext, ULONG Level, PVOID BusInformationBuffer,
                                                                  PULONG BusInformationBufferLength,
                                                                  PULONG BusInformationActualLength);
typedef BOOLEAN(USB_BUSIFFN *PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED)(PVOID BusContext);

#define USB_HCD_CAPS_SUPPORTS_RT_THREADS 0x00000001

typedef struct _USB_BUS_INFORMATION_LEVEL_0 {
  ULONG TotalBandwidth;
  ULONG ConsumedBandwidth;
} USB_BUS_INFORMATION_LEVEL_0, *PUSB_BUS_INFORMATION_LEVEL_0;

typedef struct _USB_BUS_INFORMATION_LEVEL_1 {
  ULONG TotalBandwidth;
  ULONG ConsumedBandwidth;
  ULONG ControllerNameLength;
  WCHAR ControllerNameUnicodeString[1];
} USB_BUS_INFORMATION_LEVEL_1, *PUSB_BUS_INFORMATION_LEVEL_1;

#define USB_BUSIF_USBDI_VERSION_0 0x0000
#define USB_BUSIF_USBDI_VERSION_1 0x0001
#define USB_BUSIF_USBDI_VERSION_2 0x0002
#define USB_BUSIF_USBDI_VERSION_3 0x0003

DEFINE_GUID(USB_BUS_INTERFACE_USBDI_GUID, 0xb1a96a13, 0x3de0, 0x4574, 0x9b, 0x01, 0xc0, 0x8f, 0xea, 0xb3, 0x18,
            0xd6);

typedef struct _USB_BUS_INTERFACE_USBDI_V0 {
  USHORT Size;
  USHORT Version;
  PVOID BusContext;
  PINTERFACE_REFERENCE InterfaceReference;
  PINTERFACE_DEREFERENCE InterfaceDereference;
  PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
  PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
  PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
  PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
} USB_BUS_INTERFACE_USBDI_V0, *PUSB_BUS_INTERFACE_USBDI_V0;

typedef struct _USB_BUS_INTERFACE_USBDI_V1 {
  USHORT Size;
  USHORT Version;
  PVOID BusContext;
  PINTERFACE_REFERENCE InterfaceReference;
  PINTERFACE_DEREFERENCE InterfaceDereference;
  PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
  PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
  PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
  PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
  PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED IsDeviceHighSpeed;
} USB_BUS_INTERFACE_USBDI_V1, *PUSB_BUS_INTERFACE_USBDI_V1;

static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V0) == 64, "USB_BUS_INTERFACE_USBDI_V0 layout");
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V1) == 72, "USB_BUS_INTERFACE_USBDI_V1 layout");
