// The adapter device's extension: port class owns the first
// PORT_CLASS_DEVICE_EXTENSION_SIZE bytes, the driver's AdapterExtension
// follows them.
#pragma once
#include "platform.h"

struct IAdapterCommon;

struct AdapterExtension {
  // Set at the end of a successful start; not an owning reference.
  IAdapterCommon* Adapter;
  // Serialises RemovePending and DeviceFailed against private creates.
  KMUTEX ExtensionMutex;
  // 1 once a query-remove, remove or surprise removal was seen; 0 after start.
  ULONG RemovePending;
  // 1 once streaming saw the device gone; 0 after start.
  ULONG DeviceFailed;
};

// The extension size given to PcAddAdapterDevice.
constexpr ULONG kAdapterDeviceExtensionSize =
    static_cast<ULONG>(PORT_CLASS_DEVICE_EXTENSION_SIZE + sizeof(AdapterExtension));
static_assert(kAdapterDeviceExtensionSize == 584, "port class area plus the adapter's extension");

inline AdapterExtension* GetAdapterExtension(PDEVICE_OBJECT functionalDeviceObject) {
  return reinterpret_cast<AdapterExtension*>(static_cast<PUCHAR>(functionalDeviceObject->DeviceExtension) +
                                             PORT_CLASS_DEVICE_EXTENSION_SIZE);
}
