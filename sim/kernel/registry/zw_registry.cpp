// The ZwXxx registry routines over the registry store.
#include <wdm.h>

#include "sim/kernel/core/verifier.h"
#include "sim/kernel/registry/key_handles.h"
#include "sim/kernel/registry/key_information.h"
#include "sim/kernel/registry/zw_support.h"

using namespace sim::registry;

namespace {

// Resolves the start key and the path of OBJECT_ATTRIBUTES: absolute names
// start with a backslash, names relative to RootDirectory must not.
NTSTATUS ReadAttributes(const char* call, POBJECT_ATTRIBUTES attributes, KeyRef* base, std::u16string_view* path) {
  if (!attributes) {
    sim::verifier::Fail(call, "ObjectAttributes is NULL");
    return STATUS_INVALID_PARAMETER;
  }
  if (attributes->Length != sizeof(OBJECT_ATTRIBUTES)) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = ReadName(attributes->ObjectName, path);
  if (!NT_SUCCESS(status)) return status;
  if (attributes->RootDirectory) {
    status = ReferenceKeyHandle(attributes->RootDirectory, 0, base);
    if (!NT_SUCCESS(status)) return status;
    if (!path->empty() && (*path)[0] == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  } else {
    base->reset();
    if (path->empty() || (*path)[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  }
  return STATUS_SUCCESS;
}

// The value name is not optional: the default value has an empty name.
bool CheckValueName(const char* call, PUNICODE_STRING name) {
  if (name) return true;
  sim::verifier::Fail(call, "ValueName is NULL; the default value is named by an empty UNICODE_STRING");
  return false;
}

bool CheckOut(const char* call, const void* p, const char* what) {
  if (p) return true;
  sim::verifier::Fail(call, "%s is NULL; Windows would fault writing through it", what);
  return false;
}

}  // namespace

extern "C" {

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
  if (!CheckPassive("ZwOpenKey")) return kRefusedStatus;
  if (!CheckOut("ZwOpenKey", KeyHandle, "KeyHandle")) return STATUS_INVALID_PARAMETER;
  KeyRef base, key;
  std::u16string_view path;
  NTSTATUS status = ReadAttributes("ZwOpenKey", ObjectAttributes, &base, &path);
  if (!NT_SUCCESS(status)) return status;
  status = ToStatus(OpenKey(base, path, &key));
  if (!NT_SUCCESS(status)) return status;
  *KeyHandle = InsertKeyHandle(std::move(key), MapKeyAccess(DesiredAccess));
  return STATUS_SUCCESS;
}

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                     ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
  UNREFERENCED_PARAMETER(TitleIndex);
  if (!CheckPassive("ZwCreateKey")) return kRefusedStatus;
  if (!CheckOut("ZwCreateKey", KeyHandle, "KeyHandle")) return STATUS_INVALID_PARAMETER;
  if (CreateOptions & ~static_cast<ULONG>(REG_LEGAL_OPTION)) return STATUS_INVALID_PARAMETER;
  KeyRef base, key;
  std::u16string_view path, className;
  NTSTATUS status = ReadAttributes("ZwCreateKey", ObjectAttributes, &base, &path);
  if (!NT_SUCCESS(status)) return status;
  status = ReadName(Class, &className);
  if (!NT_SUCCESS(status)) return status;
  bool created = false;
  status = ToStatus(CreateKey(base, path, (CreateOptions & REG_OPTION_VOLATILE) != 0, false, &key, &created, className));
  if (!NT_SUCCESS(status)) return status;
  *KeyHandle = InsertKeyHandle(std::move(key), MapKeyAccess(DesiredAccess));
  if (Disposition) *Disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return STATUS_SUCCESS;
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength) {
  if (!CheckPassive("ZwQueryValueKey")) return kRefusedStatus;
  if (!CheckValueName("ZwQueryValueKey", ValueName)) return STATUS_INVALID_PARAMETER;
  if (!CheckOut("ZwQueryValueKey", ResultLength, "ResultLength")) return STATUS_INVALID_PARAMETER;
  if (Length && !CheckOut("ZwQueryValueKey", KeyValueInformation, "KeyValueInformation with a non-zero Length"))
    return STATUS_INVALID_PARAMETER;
  KeyRef key;
  NTSTATUS status = ReferenceKeyHandle(KeyHandle, KEY_QUERY_VALUE, &key);
  if (!NT_SUCCESS(status)) return status;
  std::u16string_view name;
  status = ReadName(ValueName, &name);
  if (!NT_SUCCESS(status)) return status;
  Value value;
  status = ToStatus(QueryValue(key, name, &value));
  if (!NT_SUCCESS(status)) return status;
  return FillValueInformation(value, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize) {
  UNREFERENCED_PARAMETER(TitleIndex);
  if (!CheckPassive("ZwSetValueKey")) return kRefusedStatus;
  if (!CheckValueName("ZwSetValueKey", ValueName)) return STATUS_INVALID_PARAMETER;
  if (DataSize && !CheckOut("ZwSetValueKey", Data, "Data with a non-zero DataSize")) return STATUS_INVALID_PARAMETER;
  KeyRef key;
  NTSTATUS status = ReferenceKeyHandle(KeyHandle, KEY_SET_VALUE, &key);
  if (!NT_SUCCESS(status)) return status;
  std::u16string_view name;
  status = ReadName(ValueName, &name);
  if (!NT_SUCCESS(status)) return status;
  Result r = SetValue(key, name, Type, Data, DataSize);
  return r == Result::kInvalidName ? STATUS_INVALID_PARAMETER : ToStatus(r);
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
  if (!CheckPassive("ZwDeleteValueKey")) return kRefusedStatus;
  if (!CheckValueName("ZwDeleteValueKey", ValueName)) return STATUS_INVALID_PARAMETER;
  KeyRef key;
  NTSTATUS status = ReferenceKeyHandle(KeyHandle, KEY_SET_VALUE, &key);
  if (!NT_SUCCESS(status)) return status;
  std::u16string_view name;
  status = ReadName(ValueName, &name);
  if (!NT_SUCCESS(status)) return status;
  return ToStatus(DeleteValue(key, name));
}

NTSTATUS ZwDeleteKey(HANDLE KeyHandle) {
  if (!CheckPassive("ZwDeleteKey")) return kRefusedStatus;
  KeyRef key;
  NTSTATUS status = ReferenceKeyHandle(KeyHandle, DELETE, &key);
  if (!NT_SUCCESS(status)) return status;
  return ToStatus(DeleteKey(key));
}

NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                        PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
  if (!CheckPassive("ZwEnumerateKey")) return kRefusedStatus;
  if (!CheckOut("ZwEnumerateKey", ResultLength, "ResultLength")) return STATUS_INVALID_PARAMETER;
  if (Length && !CheckOut("ZwEnumerateKey", KeyInformation, "KeyInformation with a non-zero Length"))
    return STATUS_INVALID_PARAMETER;
  if (KeyInformationClass != KeyBasicInformation && KeyInformationClass != KeyNodeInformation &&
      KeyInformationClass != KeyFullInformation)
    return STATUS_INVALID_PARAMETER;
  KeyRef key;
  NTSTATUS status = ReferenceKeyHandle(KeyHandle, KEY_ENUMERATE_SUB_KEYS, &key);
  if (!NT_SUCCESS(status)) return status;
  KeyInfo info;
  status = ToStatus(EnumSubKey(key, Index, &info));
  if (!NT_SUCCESS(status)) return status;
  return FillKeyInformation(info, {}, KeyInformationClass, KeyInformation, Length, ResultLength);
}

NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                             PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  if (!CheckPassive("ZwEnumerateValueKey")) return kRefusedStatus;
  if (!CheckOut("ZwEnumerateValueKey", ResultLength, "ResultLength")) return STATUS_INVALID_PARAMETER;
  if (Length && !CheckOut("ZwEnumerateValueKey", KeyValueInformation, "KeyValueInformation with a non-zero Length"))
    return STATUS_INVALID_PARAMETER;
  KeyRef key;
  NTSTATUS status = ReferenceKeyHandle(KeyHandle, KEY_QUERY_VALUE, &key);
  if (!NT_SUCCESS(status)) return status;
  Value value;
  status = ToStatus(EnumValue(key, Index, &value));
  if (!NT_SUCCESS(status)) return status;
  return FillValueInformation(value, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
}

NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                    ULONG Length, PULONG ResultLength) {
  if (!CheckPassive("ZwQueryKey")) return kRefusedStatus;
  if (!CheckOut("ZwQueryKey", ResultLength, "ResultLength")) return STATUS_INVALID_PARAMETER;
  if (Length && !CheckOut("ZwQueryKey", KeyInformation, "KeyInformation with a non-zero Length"))
    return STATUS_INVALID_PARAMETER;
  KeyRef key;
  // Only the key's name can be asked for without query access.
  NTSTATUS status =
      ReferenceKeyHandle(KeyHandle, KeyInformationClass == KeyNameInformation ? 0 : KEY_QUERY_VALUE, &key);
  if (!NT_SUCCESS(status)) return status;
  KeyInfo info;
  status = ToStatus(QueryKey(key, &info));
  if (!NT_SUCCESS(status)) return status;
  return FillKeyInformation(info, KeyPath(key), KeyInformationClass, KeyInformation, Length, ResultLength);
}

NTSTATUS ZwFlushKey(HANDLE KeyHandle) {
  if (!CheckPassive("ZwFlushKey")) return kRefusedStatus;
  KeyRef key;
  NTSTATUS status = ReferenceKeyHandle(KeyHandle, 0, &key);
  if (!NT_SUCCESS(status)) return status;
  // The store has no lazy writer: everything is already as durable as it gets.
  return IsDeleted(key) ? STATUS_KEY_DELETED : STATUS_SUCCESS;
}

}  // extern "C"
