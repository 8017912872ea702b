// Device interfaces: IoRegisterDeviceInterface / IoSetDeviceInterfaceState
// and the list user mode (SetupAPI) sees.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include <wdm.h>

namespace sim::io {

struct DeviceInterface {
  GUID classGuid;
  std::u16string symbolicLink;     // "\??\USB#VID_...#SERIAL#{guid}\Ref" as drivers see it
  std::u16string userPath;         // "\\?\USB#VID_...#SERIAL#{guid}\Ref" as user mode opens it
  std::u16string referenceString;  // "Ref", or empty
  std::u16string instancePath;     // "USB\VID_...\SERIAL"
  PDEVICE_OBJECT pdo;
  bool enabled;
};

// Interfaces of the class, enabled ones only unless includeDisabled.
std::vector<DeviceInterface> EnumerateInterfaces(const GUID& classGuid, bool includeDisabled = false);

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" in lower case.
std::u16string GuidToString(const GUID& guid);

// The PDO behind "\??\<instance>#{guid}" (case-insensitive) when some
// interface of that class on that device is enabled; referenced.
PDEVICE_OBJECT ReferenceInterfaceDevice(std::u16string_view linkBase);

// Removal: every interface of the device is disabled; deletion forgets them.
void DisableDeviceInterfaces(PDEVICE_OBJECT pdo);
void ForgetDeviceInterfaces(PDEVICE_OBJECT pdo);

}  // namespace sim::io
