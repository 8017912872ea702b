// Compile-time check of the 64-bit Windows sizes of the USB records the
// driver exchanges with the USB stack. The host build asserts the same sizes
// against its own headers (tests/driver/usb_layout_test.cpp), so both builds
// agree on every layout the product relies on.
#include <ntddk.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
#include <usbuser.h>
#include <usbbusif.h>

static_assert(sizeof(struct _URB_HEADER) == 24);
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 136);
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 136);
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 128);
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 40);
static_assert(sizeof(struct _URB_ISOCH_TRANSFER) == 152);
static_assert(sizeof(USBD_PIPE_INFORMATION) == 24);
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 48);
static_assert(sizeof(USB_CONTROLLER_INFO_0) == 24);
static_assert(sizeof(USBUSER_REQUEST_HEADER) == 16);
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V1) == 72);
static_assert(sizeof(USBD_ISO_PACKET_DESCRIPTOR) == 12);
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket) + sizeof(USBD_ISO_PACKET_DESCRIPTOR) ==
              sizeof(struct _URB_ISOCH_TRANSFER));
