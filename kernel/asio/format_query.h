// The device's container format for a sample type at a rate, per direction:
// what IOCTL_ASIO_GET_FORMAT answers and what a prepare sizes its rings by.
#pragma once
#include "platform.h"
#include "audiofunction/usb_audio_cl.h"
#include "common/asio_requests.h"

// Record->FormatType and Record->SampleRate are kept; the channels and bits
// of each direction the device has are filled (0 for a direction it lacks).
// The rate's own failure, or STATUS_NO_MATCH when a direction has no
// setting for the type and rate.
NTSTATUS QueryAsioFormat(CUSBAudioCL& Function, USHORT FormatType, ULONG Rate, ASIO_FORMAT_RECORD* Record);
