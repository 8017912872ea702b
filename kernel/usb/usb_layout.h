// The 64-bit Windows sizes of the USB records the driver exchanges with the USB
// stack. Both builds compile this (the host build against the stand-in headers,
// the Windows build against the real ones), so they agree on every layout the
// driver relies on: URB lengths are computed from these sizes.
#pragma once
#include "platform.h"
#include <usb.h>
#include <usbbusif.h>
#include <usbioctl.h>
#include <usbuser.h>

static_assert(sizeof(struct _URB_HEADER) == 24);
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 136);
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 136);
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 128);
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 40);
static_assert(sizeof(struct _URB_ISOCH_TRANSFER) == 152);
static_assert(sizeof(USBD_ISO_PACKET_DESCRIPTOR) == 12);
// An isochronous URB grows by one packet descriptor per packet.
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket) + sizeof(USBD_ISO_PACKET_DESCRIPTOR) ==
              sizeof(struct _URB_ISOCH_TRANSFER));
static_assert(sizeof(USBD_PIPE_INFORMATION) == 24);
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 48);
static_assert(sizeof(USB_CONTROLLER_INFO_0) == 24);
static_assert(sizeof(USBUSER_REQUEST_HEADER) == 16);
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V1) == 72);

// Packets an isochronous URB really holds: NumberOfPackets, bounded by what
// its header length has room for (a caller may have claimed more).
inline ULONG IsoPacketsThatFit(const struct _URB_ISOCH_TRANSFER& Urb) {
  constexpr ULONG first = FIELD_OFFSET(struct _URB_ISOCH_TRANSFER, IsoPacket);
  const ULONG room = Urb.Hdr.Length > first ? (Urb.Hdr.Length - first) / sizeof(USBD_ISO_PACKET_DESCRIPTOR) : 0;
  return Urb.NumberOfPackets < room ? Urb.NumberOfPackets : room;
}
