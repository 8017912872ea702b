// Host-build stand-in for <usbdi.h>: the USB driver interface (URBs and the
// bus driver's I/O control codes).
#pragma once

#include <usb.h>
#include <usbioctl.h>

#define USBD_STATUS_CANCELLING ((USBD_STATUS)0x00020000L)
#define USBD_STATUS_CANCELING ((USBD_STATUS)0x00020000L)
#define USBD_STATUS_NO_MEMORY ((USBD_STATUS)0x80000100L)
#define USBD_STATUS_ERROR ((USBD_STATUS)0x80000000L)
#define USBD_STATUS_REQUEST_FAILED ((USBD_STATUS)0x80000500L)
#define USBD_STATUS_HALTED ((USBD_STATUS)0xC0000000L)
#define USBD_STATUS(Status) ((ULONG)(Status)&0x0FFFFFFFL)

#define URB_FUNCTION_RESERVED0 0x0016
#define URB_FUNCTION_RESERVED 0x001D
#define URB_FUNCTION_LAST 0x0029
