// RtlQueryRegistryValues and the other RtlXxx registry helpers.
#include <wdm.h>

#include <cstring>
#include <string>
#include <vector>

#include "sim/kernel/core/pool.h"
#include "sim/kernel/core/verifier.h"
#include "sim/kernel/registry/key_handles.h"
#include "sim/kernel/registry/registry_names.h"
#include "sim/kernel/registry/zw_support.h"

using namespace sim::registry;

namespace {


std::u16string_view Chars(PCWSTR s) {
  if (!s) return {};
  size_t n = 0;
  while (s[n]) ++n;
  return std::u16string_view(reinterpret_cast<const char16_t*>(s), n);
}

// Base path of each RelativeTo value other than ABSOLUTE and HANDLE.
std::u16string RelativeBase(ULONG relativeTo) {
  switch (relativeTo) {
    case RTL_REGISTRY_SERVICES: return u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
    case RTL_REGISTRY_CONTROL: return u"\\Registry\\Machine\\System\\CurrentControlSet\\Control";
    case RTL_REGISTRY_WINDOWS_NT: return u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion";
    case RTL_REGISTRY_DEVICEMAP: return u"\\Registry\\Machine\\Hardware\\DeviceMap";
    case RTL_REGISTRY_USER: return CurrentUserKeyPath();
    default: return {};
  }
}

// Opens (or, with create, creates the last component of) the key that
// RelativeTo and Path name. A Path with a leading backslash is absolute
// whatever RelativeTo says.
NTSTATUS OpenRelative(ULONG relativeTo, PCWSTR path, bool create, ACCESS_MASK handleAccess, KeyRef* key) {
  ULONG kind = relativeTo & ~static_cast<ULONG>(RTL_REGISTRY_OPTIONAL);
  if (kind & RTL_REGISTRY_HANDLE)
    return ReferenceKeyHandle(reinterpret_cast<HANDLE>(const_cast<PWSTR>(path)), handleAccess, key);
  if (kind >= RTL_REGISTRY_MAXIMUM) return STATUS_INVALID_PARAMETER;
  std::u16string full;
  std::u16string_view p = Chars(path);
  if (kind == RTL_REGISTRY_ABSOLUTE || (!p.empty() && p[0] == u'\\')) {
    full = std::u16string(p);
  } else {
    full = RelativeBase(kind);
    if (!p.empty()) full += u'\\' + std::u16string(p);
  }
  if (full.empty() || full[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  if (create) return ToStatus(CreateKey(nullptr, full, false, false, key));
  return ToStatus(OpenKey(nullptr, full, key));
}

bool IsStringType(ULONG type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// How a DIRECT entry stores data: into a UNICODE_STRING, into EntryContext
// itself (up to 4 bytes), or into a sized buffer (more).
enum class DirectForm { kString, kSmall, kSized };

DirectForm FormOf(ULONG type, ULONG length, ULONG flags) {
  if (IsStringType(type) && !(flags & RTL_QUERY_REGISTRY_NOSTRING)) return DirectForm::kString;
  return length <= sizeof(ULONG) ? DirectForm::kSmall : DirectForm::kSized;
}

const char* DirectFormName(DirectForm f) {
  switch (f) {
    case DirectForm::kString: return "a UNICODE_STRING";
    case DirectForm::kSmall: return "up to 4 bytes";
    case DirectForm::kSized: return "a sized buffer";
  }
  return "?";
}

std::string NameForMessage(PCWSTR name) { return name ? ToUtf8(Chars(name)) : std::string("(all values)"); }

NTSTATUS StoreDirectString(const void* data, ULONG length, PUNICODE_STRING target) {
  ULONG chars = length / sizeof(WCHAR);
  ULONG used = chars;
  const auto* units = static_cast<const WCHAR*>(data);
  if (used && units[used - 1] == 0) --used;
  ULONG usedBytes = used * sizeof(WCHAR);
  if (!target->Buffer) {
    // Allocated like Rtl strings: the caller frees it with RtlFreeUnicodeString.
    ULONG size = usedBytes + sizeof(WCHAR);
    if (size > MAXUSHORT) return STATUS_BUFFER_TOO_SMALL;
    target->Buffer = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, size, sim::pool::kRtlStringTag));
    if (!target->Buffer) return STATUS_INSUFFICIENT_RESOURCES;
    target->MaximumLength = static_cast<USHORT>(size);
  } else if (length - length % sizeof(WCHAR) > target->MaximumLength) {
    // The stored bytes, terminator included, must fit the caller's buffer.
    return STATUS_BUFFER_TOO_SMALL;
  }
  if (usedBytes) std::memcpy(target->Buffer, data, usedBytes);
  if (usedBytes + sizeof(WCHAR) <= target->MaximumLength) target->Buffer[used] = 0;
  target->Length = static_cast<USHORT>(usedBytes);
  return STATUS_SUCCESS;
}

NTSTATUS StoreDirect(const RTL_QUERY_REGISTRY_TABLE& entry, ULONG type, const void* data, ULONG length) {
  switch (FormOf(type, length, entry.Flags)) {
    case DirectForm::kString:
      return StoreDirectString(data, length, static_cast<PUNICODE_STRING>(entry.EntryContext));
    case DirectForm::kSmall:
      if (length) std::memmove(entry.EntryContext, data, length);
      return STATUS_SUCCESS;
    case DirectForm::kSized: {
      LONG size;
      std::memcpy(&size, entry.EntryContext, sizeof size);
      auto* out = static_cast<UCHAR*>(entry.EntryContext);
      if (size < 0) {
        // Negative size: the data alone.
        if (static_cast<ULONGLONG>(-static_cast<LONGLONG>(size)) < length) return STATUS_BUFFER_TOO_SMALL;
        std::memmove(out, data, length);
      } else {
        // Positive size: length, type, then the data.
        if (static_cast<ULONGLONG>(size) < static_cast<ULONGLONG>(length) + 2 * sizeof(ULONG))
          return STATUS_BUFFER_TOO_SMALL;
        std::memmove(out + 2 * sizeof(ULONG), data, length);
        std::memcpy(out, &length, sizeof(ULONG));
        std::memcpy(out + sizeof(ULONG), &type, sizeof(ULONG));
      }
      return STATUS_SUCCESS;
    }
  }
  return STATUS_INTERNAL_ERROR;
}

// name is null for a NOVALUE entry. The routine gets copies it may scribble on.
NTSTATUS CallRoutine(const RTL_QUERY_REGISTRY_TABLE& entry, const std::u16string_view* name, ULONG type,
                     const void* data, ULONG length, PVOID context) {
  std::u16string nameCopy(name ? *name : std::u16string_view{});
  const auto* bytes = static_cast<const UCHAR*>(data);
  std::vector<UCHAR> copy(bytes, bytes + (bytes ? length : 0));
  return entry.QueryRoutine(name ? reinterpret_cast<PWSTR>(nameCopy.data()) : nullptr, type,
                            copy.empty() ? nullptr : copy.data(), length, context, entry.EntryContext);
}

// Hands one value (or default) to the entry: stored directly or passed to
// the query routine, with multi-strings split unless NOEXPAND.
NTSTATUS ProcessValue(const RTL_QUERY_REGISTRY_TABLE& entry, std::u16string_view name, ULONG type, const void* data,
                      ULONG length, PVOID context) {
  if (entry.Flags & RTL_QUERY_REGISTRY_DIRECT) return StoreDirect(entry, type, data, length);
  if (type == REG_MULTI_SZ && !(entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND)) {
    const auto* units = static_cast<const WCHAR*>(data);
    ULONG count = length / sizeof(WCHAR), start = 0;
    while (start < count && units[start]) {
      ULONG end = start;
      while (end < count && units[end]) ++end;
      std::vector<WCHAR> one(units + start, units + end);
      one.push_back(0);
      NTSTATUS status =
          CallRoutine(entry, &name, REG_SZ, one.data(), static_cast<ULONG>(one.size() * sizeof(WCHAR)), context);
      if (!NT_SUCCESS(status)) return status;
      start = end + 1;
    }
    return STATUS_SUCCESS;
  }
  // REG_EXPAND_SZ reaches the routine as REG_SZ; the stand-in has no
  // environment to expand from, so the text is passed unchanged.
  if (type == REG_EXPAND_SZ && !(entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND)) type = REG_SZ;
  return CallRoutine(entry, &name, type, data, length, context);
}

// A DIRECT entry without TYPECHECK trusts the stored type: a value whose
// type makes Windows write another form than the entry's default has
// (a UNICODE_STRING over a ULONG, say) corrupts the caller's memory.
bool DirectTypeIsSafe(const RTL_QUERY_REGISTRY_TABLE& entry, ULONG type, ULONG length) {
  if (!(entry.Flags & RTL_QUERY_REGISTRY_DIRECT) || (entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK)) return true;
  ULONG defaultType = entry.DefaultType & ~RTL_QUERY_REGISTRY_TYPECHECK_MASK;
  if (defaultType == REG_NONE) return true;
  DirectForm expected = FormOf(defaultType, IsStringType(defaultType) ? 0 : entry.DefaultLength, entry.Flags);
  DirectForm actual = FormOf(type, length, entry.Flags);
  bool safe = expected == actual || (expected == DirectForm::kSized && actual == DirectForm::kSmall);
  if (!safe)
    sim::verifier::Fail("RtlQueryRegistryValues",
                        "value \"%s\" of type %u would be stored as %s into a RTL_QUERY_REGISTRY_DIRECT entry whose "
                        "default (type %u) is %s; without RTL_QUERY_REGISTRY_TYPECHECK this overwrites the "
                        "caller's EntryContext",
                        NameForMessage(entry.Name).c_str(), type, DirectFormName(actual), defaultType,
                        DirectFormName(expected));
  return safe;
}

ULONG DefaultLengthOf(const RTL_QUERY_REGISTRY_TABLE& entry, ULONG type) {
  if (entry.DefaultLength || !IsStringType(type)) return entry.DefaultLength;
  const auto* s = static_cast<const WCHAR*>(entry.DefaultData);
  size_t n = 0;
  if (type == REG_MULTI_SZ) {
    while (s[n] || s[n + 1]) ++n;
    n += 2;
  } else {
    while (s[n]) ++n;
    ++n;
  }
  return static_cast<ULONG>(n * sizeof(WCHAR));
}

NTSTATUS QueryEntry(const RTL_QUERY_REGISTRY_TABLE& entry, const KeyRef& key, PVOID context) {
  const ULONG flags = entry.Flags;
  if (!entry.Name) {
    if (flags & RTL_QUERY_REGISTRY_DIRECT) return STATUS_INVALID_PARAMETER;
    if (flags & RTL_QUERY_REGISTRY_NOVALUE) return CallRoutine(entry, nullptr, REG_NONE, nullptr, 0, context);
    // No name: every value of the key.
    Value v;
    uint32_t i = 0;
    for (; key && EnumValue(key, i, &v) == Result::kOk; ++i) {
      NTSTATUS status = ProcessValue(entry, v.name, v.type, v.data.data(), static_cast<ULONG>(v.data.size()), context);
      if (!NT_SUCCESS(status)) return status;
    }
    if (i == 0 && (flags & RTL_QUERY_REGISTRY_REQUIRED)) return STATUS_OBJECT_NAME_NOT_FOUND;
    return STATUS_SUCCESS;
  }

  std::u16string_view name = Chars(entry.Name);
  Value v;
  if (key && QueryValue(key, name, &v) == Result::kOk) {
    ULONG length = static_cast<ULONG>(v.data.size());
    if (flags & RTL_QUERY_REGISTRY_TYPECHECK) {
      ULONG expected = (entry.DefaultType & RTL_QUERY_REGISTRY_TYPECHECK_MASK) >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
      if (expected != v.type) return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (!DirectTypeIsSafe(entry, v.type, length)) return STATUS_OBJECT_TYPE_MISMATCH;
    NTSTATUS status = ProcessValue(entry, name, v.type, v.data.data(), length, context);
    if (NT_SUCCESS(status) && (flags & RTL_QUERY_REGISTRY_DELETE)) DeleteValue(key, name);
    return status;
  }
  if (flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
  ULONG defaultType = entry.DefaultType & ~RTL_QUERY_REGISTRY_TYPECHECK_MASK;
  if (defaultType == REG_NONE || !entry.DefaultData) return STATUS_SUCCESS;
  return ProcessValue(entry, name, defaultType, entry.DefaultData, DefaultLengthOf(entry, defaultType), context);
}

}  // namespace

extern "C" {

NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                PVOID Environment) {
  UNREFERENCED_PARAMETER(Environment);
  if (!CheckPassive("RtlQueryRegistryValues")) return kRefusedStatus;
  if (!QueryTable) return STATUS_INVALID_PARAMETER;
  KeyRef top;
  // RTL_REGISTRY_OPTIONAL does not make a missing key a success.
  NTSTATUS status = OpenRelative(RelativeTo, Path, false, KEY_QUERY_VALUE, &top);
  if (!NT_SUCCESS(status)) return status;

  KeyRef current = top;  // null while a missing optional subkey is selected
  for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable;
       entry->QueryRoutine || (entry->Flags & (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_DIRECT)); ++entry) {
    if ((entry->Flags & RTL_QUERY_REGISTRY_DIRECT) && !entry->EntryContext) return STATUS_INVALID_PARAMETER;
    if (entry->Flags & RTL_QUERY_REGISTRY_TOPKEY) current = top;
    if (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) {
      if (!entry->Name) return STATUS_INVALID_PARAMETER;
      KeyRef sub;
      Result r = OpenKey(top, Chars(entry->Name), &sub);
      if (r != Result::kOk && r != Result::kNotFound) return ToStatus(r);
      if (r == Result::kNotFound && (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED)) return STATUS_OBJECT_NAME_NOT_FOUND;
      current = sub;
      if (entry->QueryRoutine && current) {
        // A subkey entry with a routine sees every value of the subkey.
        RTL_QUERY_REGISTRY_TABLE all = *entry;
        all.Name = nullptr;
        all.Flags &= ~(RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_NOVALUE | RTL_QUERY_REGISTRY_REQUIRED);
        status = QueryEntry(all, current, Context);
        if (!NT_SUCCESS(status)) return status;
      }
      continue;
    }
    status = QueryEntry(*entry, current, Context);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType, PVOID ValueData,
                               ULONG ValueLength) {
  if (!CheckPassive("RtlWriteRegistryValue")) return kRefusedStatus;
  if (ValueLength && !ValueData) {
    sim::verifier::Fail("RtlWriteRegistryValue", "ValueData is NULL with ValueLength %u", ValueLength);
    return STATUS_INVALID_PARAMETER;
  }
  KeyRef key;
  NTSTATUS status = OpenRelative(RelativeTo, Path, true, KEY_SET_VALUE, &key);
  if (!NT_SUCCESS(status)) return status;
  Result r = SetValue(key, Chars(ValueName), ValueType, ValueData, ValueLength);
  return r == Result::kInvalidName ? STATUS_INVALID_PARAMETER : ToStatus(r);
}

NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
  if (!CheckPassive("RtlDeleteRegistryValue")) return kRefusedStatus;
  KeyRef key;
  NTSTATUS status = OpenRelative(RelativeTo, Path, false, KEY_SET_VALUE, &key);
  if (!NT_SUCCESS(status)) return status;
  return ToStatus(DeleteValue(key, Chars(ValueName)));
}

NTSTATUS RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path) {
  if (!CheckPassive("RtlCheckRegistryKey")) return kRefusedStatus;
  KeyRef key;
  return OpenRelative(RelativeTo, Path, false, 0, &key);
}

NTSTATUS RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path) {
  if (!CheckPassive("RtlCreateRegistryKey")) return kRefusedStatus;
  KeyRef key;
  return OpenRelative(RelativeTo, Path, true, 0, &key);
}

}  // extern "C"
