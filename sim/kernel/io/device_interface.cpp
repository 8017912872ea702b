#include "sim/kernel/io/device_interface.h"

#include <mutex>

#include "sim/kernel/core/irql_checks.h"
#include "sim/kernel/core/pool.h"
#include "sim/kernel/core/verifier.h"
#include "sim/kernel/io/io_internal.h"
#include "sim/kernel/io/pnp.h"

namespace sim::io {
namespace {

struct Entry {
  DeviceInterface iface;
  std::u16string linkBase;  // symbolic link without the reference string
};

struct Registry {
  std::mutex lock;
  std::vector<Entry> entries;
};

Registry& R() {
  static Registry* r = new Registry;
  return *r;
}

void AppendHex(std::u16string& s, unsigned long long v, int digits) {
  static const char16_t kHex[] = u"0123456789abcdef";
  for (int i = digits - 1; i >= 0; i--) s.push_back(kHex[(v >> (4 * i)) & 0xF]);
}

}  // namespace

std::u16string GuidToString(const GUID& g) {
  std::u16string s = u"{";
  AppendHex(s, g.Data1, 8);
  s += u'-';
  AppendHex(s, g.Data2, 4);
  s += u'-';
  AppendHex(s, g.Data3, 4);
  s += u'-';
  AppendHex(s, g.Data4[0], 2);
  AppendHex(s, g.Data4[1], 2);
  s += u'-';
  for (int i = 2; i < 8; i++) AppendHex(s, g.Data4[i], 2);
  s += u'}';
  return s;
}

std::vector<DeviceInterface> EnumerateInterfaces(const GUID& classGuid, bool includeDisabled) {
  std::lock_guard<std::mutex> l(R().lock);
  std::vector<DeviceInterface> out;
  for (auto& e : R().entries) {
    if (IsEqualGUID(e.iface.classGuid, classGuid) && (includeDisabled || e.iface.enabled)) out.push_back(e.iface);
  }
  return out;
}

PDEVICE_OBJECT ReferenceInterfaceDevice(std::u16string_view linkBase) {
  std::lock_guard<std::mutex> l(R().lock);
  for (auto& e : R().entries) {
    if (e.iface.enabled && NamesEqual(e.linkBase, linkBase)) {
      ObReferenceObject(e.iface.pdo);
      return e.iface.pdo;
    }
  }
  return nullptr;
}

void DisableDeviceInterfaces(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> l(R().lock);
  for (auto& e : R().entries) {
    if (e.iface.pdo == pdo) e.iface.enabled = false;
  }
}

void ForgetDeviceInterfaces(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> l(R().lock);
  std::erase_if(R().entries, [pdo](const Entry& e) { return e.iface.pdo == pdo; });
}

}  // namespace sim::io

using namespace sim::io;

extern "C" {

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, CONST GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
  if (!sim::kernel::CheckIrqlAtMost("IoRegisterDeviceInterface", PASSIVE_LEVEL)) return STATUS_UNSUCCESSFUL;
  std::u16string instance = sim::pnp::InstancePath(PhysicalDeviceObject);
  if (instance.empty()) {
    sim::verifier::Fail("IoRegisterDeviceInterface", "%p is not a physical device object reported by a bus driver",
                        PhysicalDeviceObject);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  std::u16string ref = ReferenceString ? FromUnicodeString(ReferenceString) : std::u16string();
  if (ref.find(u'\\') != std::u16string::npos) return STATUS_INVALID_DEVICE_REQUEST;
  std::u16string mangled = instance;
  for (auto& c : mangled) {
    if (c == u'\\') c = u'#';
  }
  std::u16string base = u"\\??\\" + mangled + u"#" + GuidToString(*InterfaceClassGuid);
  std::u16string link = ref.empty() ? base : base + u"\\" + ref;
  {
    std::lock_guard<std::mutex> l(R().lock);
    bool known = false;
    for (auto& e : R().entries) known = known || NamesEqual(e.iface.symbolicLink, link);
    if (!known) {
      DeviceInterface iface{*InterfaceClassGuid, link, u"\\\\?\\" + link.substr(4), ref, instance,
                            PhysicalDeviceObject, false};
      R().entries.push_back(Entry{iface, base});
    }
  }
  // The caller frees the name with RtlFreeUnicodeString.
  size_t bytes = link.size() * sizeof(WCHAR);
  auto buffer = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), sim::pool::kRtlStringTag));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  memcpy(buffer, link.data(), bytes);
  buffer[link.size()] = 0;
  SymbolicLinkName->Buffer = buffer;
  SymbolicLinkName->Length = static_cast<USHORT>(bytes);
  SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  if (!sim::kernel::CheckIrqlAtMost("IoSetDeviceInterfaceState", PASSIVE_LEVEL)) return STATUS_UNSUCCESSFUL;
  std::u16string link = FromUnicodeString(SymbolicLinkName);
  std::lock_guard<std::mutex> l(R().lock);
  for (auto& e : R().entries) {
    if (NamesEqual(e.iface.symbolicLink, link)) {
      if (Enable && sim::pnp::IsRemoved(e.iface.pdo)) return STATUS_DELETE_PENDING;
      bool was = e.iface.enabled;
      e.iface.enabled = Enable != FALSE;
      return Enable && was ? STATUS_OBJECT_NAME_EXISTS : STATUS_SUCCESS;
    }
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

}  // extern "C"
