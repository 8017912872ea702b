// Registration of the one WaveRT subdevice under the name that carries the
// device sample rate.
#pragma once
#include "platform.h"
#include "adapter/adapter_interface.h"

// The subdevice name for a rate: the bare GUID text for 0, null for a rate
// without a name.
PCWSTR WaveSubdeviceName(ULONG Rate);

// Registers the WaveRT filter for the adapter's current rate. Neither caller
// passes the result on: a device without a filter still serves the private
// interface.
NTSTATUS InstallWaveSubdevice(PDEVICE_OBJECT DeviceObject, IAdapterCommon* Adapter);
