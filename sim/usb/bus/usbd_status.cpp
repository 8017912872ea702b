#include "sim/usb/bus/usbd_status.h"

namespace sim::usb {

NTSTATUS NtStatusFromUsbd(USBD_STATUS status) {
  if (USBD_SUCCESS(status)) return STATUS_SUCCESS;
  switch (status) {
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INTERFACE_NOT_FOUND:
    case USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR:
      return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_CANCELED:
      return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE:
      return STATUS_NO_SUCH_DEVICE;
    case USBD_STATUS_BUFFER_TOO_SMALL:
      return STATUS_BUFFER_TOO_SMALL;
    case USBD_STATUS_INSUFFICIENT_RESOURCES:
      return STATUS_INSUFFICIENT_RESOURCES;
    case USBD_STATUS_NOT_SUPPORTED:
      return STATUS_NOT_SUPPORTED;
    case USBD_STATUS_TIMEOUT:
      return STATUS_IO_TIMEOUT;
    case USBD_STATUS_DEV_NOT_RESPONDING:
      return STATUS_DEVICE_NOT_CONNECTED;
    default:
      // Stalls, transaction errors, bad start frames, failed isochronous
      // requests: the generic failure.
      return STATUS_UNSUCCESSFUL;
  }
}

}  // namespace sim::usb
