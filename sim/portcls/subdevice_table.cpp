#include "sim/portcls/subdevice_table.h"

namespace sim::portcls {
namespace {

char16_t Fold(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c; }

bool EqualNoCase(const std::u16string& a, const char16_t* b, size_t bLength) {
  if (a.size() != bLength) return false;
  for (size_t i = 0; i < bLength; ++i) {
    if (Fold(a[i]) != Fold(b[i])) return false;
  }
  return true;
}

}  // namespace

SubdeviceTable::~SubdeviceTable() { Clear(); }

NTSTATUS SubdeviceTable::Add(const std::u16string& name, PUNKNOWN subdevice) {
  for (const Entry& e : entries_) {
    if (EqualNoCase(e.name, name.data(), name.size())) return STATUS_OBJECT_NAME_COLLISION;
  }
  if (entries_.size() >= maxObjects_) return STATUS_INSUFFICIENT_RESOURCES;
  subdevice->AddRef();
  entries_.push_back({name, subdevice});
  return STATUS_SUCCESS;
}

PUNKNOWN SubdeviceTable::FindByFileName(PCUNICODE_STRING fileName) const {
  if (fileName == nullptr || fileName->Buffer == nullptr) return nullptr;
  const char16_t* chars = reinterpret_cast<const char16_t*>(fileName->Buffer);
  size_t length = fileName->Length / sizeof(WCHAR);
  if (length == 0 || chars[0] != u'\\') return nullptr;
  for (const Entry& e : entries_) {
    if (EqualNoCase(e.name, chars + 1, length - 1)) return e.subdevice;
  }
  return nullptr;
}

void SubdeviceTable::Clear() {
  std::vector<Entry> entries;
  entries.swap(entries_);
  for (Entry& e : entries) e.subdevice->Release();
}

}  // namespace sim::portcls
