// Device instance paths and IoOpenDeviceRegistryKey.
#include "sim/kernel/registry/device_keys.h"

#include <wdm.h>

#include <cstdio>
#include <mutex>
#include <unordered_map>

#include "sim/kernel/registry/key_handles.h"
#include "sim/kernel/registry/registry_store.h"
#include "sim/kernel/registry/zw_support.h"

namespace sim::registry {
namespace {

constexpr char16_t kControlSet[] = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet";
constexpr char16_t kHardwareProfile[] = u"\\Hardware Profiles\\Current\\System\\CurrentControlSet";
// The setup class of sound, video and game controllers.
constexpr char16_t kMediaClass[] = u"{4d36e96c-e325-11ce-bfc1-08002be10318}";

struct Devices {
  // Also serialises the numbering of driver keys; recursive because the
  // registry writes made meanwhile may run watch callbacks on this thread.
  std::recursive_mutex lock;
  std::unordered_map<struct _DEVICE_OBJECT*, std::u16string> paths;
};

Devices& D() {
  static Devices* d = new Devices;
  return *d;
}

// "Control\Class\{class}\nnnn" relative to a control set, from the
// hardware key's "Driver" value, numbering a new one if there is none.
std::u16string DriverKeySuffixLocked(std::u16string_view instancePath) {
  std::u16string hardware = HardwareKeyPath(instancePath);
  if (auto driver = GetString(hardware, u"Driver"); driver && !driver->empty())
    return u"\\Control\\Class\\" + *driver;
  std::u16string classKey = std::u16string(kControlSet) + u"\\Control\\Class\\" + kMediaClass;
  for (unsigned n = 0; n < 10000; ++n) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04u", n);
    std::u16string number(buf, buf + 4);
    if (KeyExists(classKey + u"\\" + number)) continue;
    std::u16string driver = std::u16string(kMediaClass) + u"\\" + number;
    SetString(hardware, u"Driver", driver);
    CreateKeyPath(classKey + u"\\" + number);
    return u"\\Control\\Class\\" + driver;
  }
  return {};
}

}  // namespace

void SetDeviceInstancePath(struct _DEVICE_OBJECT* pdo, const std::u16string& path) {
  std::lock_guard<std::recursive_mutex> l(D().lock);
  D().paths[pdo] = path;
}

void ClearDeviceInstancePath(struct _DEVICE_OBJECT* pdo) {
  std::lock_guard<std::recursive_mutex> l(D().lock);
  D().paths.erase(pdo);
}

std::u16string DeviceInstancePath(struct _DEVICE_OBJECT* pdo) {
  std::lock_guard<std::recursive_mutex> l(D().lock);
  auto it = D().paths.find(pdo);
  return it == D().paths.end() ? std::u16string() : it->second;
}

std::u16string HardwareKeyPath(std::u16string_view instancePath) {
  return std::u16string(kControlSet) + u"\\Enum\\" + std::u16string(instancePath);
}

std::u16string DeviceParametersKeyPath(std::u16string_view instancePath) {
  return HardwareKeyPath(instancePath) + u"\\Device Parameters";
}

std::u16string DriverKeyPath(std::u16string_view instancePath) {
  std::lock_guard<std::recursive_mutex> l(D().lock);
  return std::u16string(kControlSet) + DriverKeySuffixLocked(instancePath);
}

}  // namespace sim::registry

using namespace sim::registry;

extern "C" NTSTATUS IoOpenDeviceRegistryKey(struct _DEVICE_OBJECT* DeviceObject, ULONG DevInstKeyType,
                                            ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey) {
  if (!CheckPassive("IoOpenDeviceRegistryKey")) return kRefusedStatus;
  if (!DevInstRegKey) return STATUS_INVALID_PARAMETER;
  ULONG which = DevInstKeyType & (PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER);
  bool profile = (DevInstKeyType & PLUGPLAY_REGKEY_CURRENT_HWPROFILE) != 0;
  if ((DevInstKeyType & ~static_cast<ULONG>(PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER |
                                            PLUGPLAY_REGKEY_CURRENT_HWPROFILE)) ||
      (which != PLUGPLAY_REGKEY_DEVICE && which != PLUGPLAY_REGKEY_DRIVER))
    return STATUS_INVALID_PARAMETER;
  std::u16string instance = DeviceInstancePath(DeviceObject);
  if (instance.empty()) return STATUS_INVALID_DEVICE_REQUEST;

  std::u16string path;
  if (which == PLUGPLAY_REGKEY_DEVICE) {
    path = profile ? std::u16string(kControlSet) + kHardwareProfile + u"\\Enum\\" + instance
                   : DeviceParametersKeyPath(instance);
  } else {
    std::lock_guard<std::recursive_mutex> l(D().lock);
    std::u16string suffix = DriverKeySuffixLocked(instance);
    if (suffix.empty()) return STATUS_INSUFFICIENT_RESOURCES;
    path = std::u16string(kControlSet) + (profile ? std::u16string(kHardwareProfile) : std::u16string()) + suffix;
  }
  KeyRef key;
  NTSTATUS status = ToStatus(CreateKey(nullptr, path, false, true, &key));
  if (!NT_SUCCESS(status)) return status;
  *DevInstRegKey = InsertKeyHandle(std::move(key), MapKeyAccess(DesiredAccess));
  return STATUS_SUCCESS;
}
