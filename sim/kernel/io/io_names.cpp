#include "sim/kernel/io/io_names.h"

#include <map>
#include <mutex>
#include <unordered_map>

#include "sim/kernel/io/device_interface.h"
#include "sim/kernel/io/io_internal.h"

namespace sim::io {
namespace {

char16_t Upcase(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

std::u16string Fold(std::u16string_view s) {
  std::u16string r(s);
  for (auto& c : r) c = Upcase(c);
  return r;
}

struct Names {
  std::mutex lock;
  std::map<std::u16string, PDEVICE_OBJECT> devices;  // folded name
  std::map<std::u16string, std::u16string> links;    // folded link -> target
};

Names& N() {
  static Names* n = new Names;
  return *n;
}

// Longest entry of map that is a prefix of path at a component boundary.
template <typename Map>
typename Map::const_iterator FindPrefix(const Map& map, const std::u16string& folded, size_t* used) {
  for (size_t end = folded.size();; ) {
    auto it = map.find(folded.substr(0, end));
    if (it != map.end()) {
      *used = end;
      return it;
    }
    size_t slash = folded.rfind(u'\\', end == 0 ? 0 : end - 1);
    if (slash == std::u16string::npos || slash == 0) return map.end();
    end = slash;
  }
}

}  // namespace

bool NamesEqual(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++) {
    if (Upcase(a[i]) != Upcase(b[i])) return false;
  }
  return true;
}

bool HasPrefix(std::u16string_view s, std::u16string_view prefix) {
  return s.size() >= prefix.size() && NamesEqual(s.substr(0, prefix.size()), prefix);
}

NTSTATUS InsertDeviceName(std::u16string_view name, PDEVICE_OBJECT dev) {
  std::lock_guard<std::mutex> l(N().lock);
  auto [it, inserted] = N().devices.emplace(Fold(name), dev);
  return inserted ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
}

void RemoveDeviceName(PDEVICE_OBJECT dev) {
  std::lock_guard<std::mutex> l(N().lock);
  for (auto it = N().devices.begin(); it != N().devices.end(); ++it) {
    if (it->second == dev) {
      N().devices.erase(it);
      return;
    }
  }
}

PDEVICE_OBJECT ReferenceDeviceByName(std::u16string_view name) {
  std::lock_guard<std::mutex> l(N().lock);
  auto it = N().devices.find(Fold(name));
  if (it == N().devices.end()) return nullptr;
  ObReferenceObject(it->second);
  return it->second;
}

std::u16string NormalizeLinkName(std::u16string_view path) {
  for (std::u16string_view p : {u"\\DosDevices\\", u"\\\\.\\", u"\\\\?\\", u"\\GLOBAL??\\", u"\\??\\"}) {
    if (HasPrefix(path, p)) return u"\\??\\" + std::u16string(path.substr(p.size()));
  }
  return std::u16string(path);
}

NTSTATUS ResolvePath(std::u16string_view path, PDEVICE_OBJECT* device, std::u16string* remainder) {
  *device = nullptr;
  std::u16string p = NormalizeLinkName(path);
  if (HasPrefix(p, u"\\??\\")) {
    // Device interface: "\??\<instance with #>#{guid}" then the reference string.
    size_t close = p.find(u'}');
    if (close != std::u16string::npos) {
      PDEVICE_OBJECT pdo = ReferenceInterfaceDevice(std::u16string_view(p).substr(0, close + 1));
      if (pdo) {
        *device = pdo;
        *remainder = p.substr(close + 1);
        return STATUS_SUCCESS;
      }
    }
    std::u16string target;
    size_t used = 0;
    {
      std::lock_guard<std::mutex> l(N().lock);
      auto it = FindPrefix(N().links, Fold(p), &used);
      if (it == N().links.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
      target = it->second;
    }
    return ResolvePath(target + p.substr(used), device, remainder);
  }
  std::lock_guard<std::mutex> l(N().lock);
  size_t used = 0;
  auto it = FindPrefix(N().devices, Fold(p), &used);
  if (it == N().devices.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
  ObReferenceObject(it->second);
  *device = it->second;
  *remainder = p.substr(used);
  return STATUS_SUCCESS;
}

}  // namespace sim::io

using namespace sim::io;

extern "C" {

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  std::u16string link = NormalizeLinkName(FromUnicodeString(SymbolicLinkName));
  std::u16string target = FromUnicodeString(DeviceName);
  std::lock_guard<std::mutex> l(N().lock);
  auto [it, inserted] = N().links.emplace(Fold(link), target);
  return inserted ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  std::u16string link = NormalizeLinkName(FromUnicodeString(SymbolicLinkName));
  std::lock_guard<std::mutex> l(N().lock);
  return N().links.erase(Fold(link)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

}  // extern "C"
