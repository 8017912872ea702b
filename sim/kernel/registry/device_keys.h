// Device instance paths of physical device objects, which is what
// IoOpenDeviceRegistryKey needs to find a device's hardware and software keys.
// The PnP manager registers each PDO it creates and forgets it on removal.
#pragma once

#include <string>
#include <string_view>

struct _DEVICE_OBJECT;

namespace sim::registry {

// path is the device instance ID, e.g. u"USB\\VID_1234&PID_5678\\0001".
void SetDeviceInstancePath(struct _DEVICE_OBJECT* pdo, const std::u16string& path);
void ClearDeviceInstancePath(struct _DEVICE_OBJECT* pdo);
// Empty when the device object is not a registered PDO.
std::u16string DeviceInstancePath(struct _DEVICE_OBJECT* pdo);

// The keys IoOpenDeviceRegistryKey opens for an instance path:
// "\Registry\Machine\SYSTEM\CurrentControlSet\Enum\<instance>" (the device's
// hardware key; PLUGPLAY_REGKEY_DEVICE opens its "Device Parameters" subkey)
// and the software key
// "\Registry\Machine\SYSTEM\CurrentControlSet\Control\Class\{media class}\<nnnn>",
// whose number is recorded in the hardware key's "Driver" value the first time
// it is needed (or read from there if set up in advance).
std::u16string HardwareKeyPath(std::u16string_view instancePath);
std::u16string DeviceParametersKeyPath(std::u16string_view instancePath);
std::u16string DriverKeyPath(std::u16string_view instancePath);  // assigns the number if needed

}  // namespace sim::registry
