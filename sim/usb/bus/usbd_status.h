// How the USB stack turns a URB status into the IRP's NTSTATUS.
#pragma once

#include <ntstatus.h>
#include <usb.h>

namespace sim::usb {

NTSTATUS NtStatusFromUsbd(USBD_STATUS status);

}  // namespace sim::usb
