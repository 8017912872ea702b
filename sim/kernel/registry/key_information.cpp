#include "sim/kernel/registry/key_information.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "sim/kernel/core/time_base.h"

namespace sim::registry {
namespace {

constexpr ULONG AlignUp(ULONG x, ULONG a) { return (x + a - 1) & ~(a - 1); }

ULONG Bytes(const std::u16string& s) { return static_cast<ULONG>(s.size() * sizeof(WCHAR)); }

// Copies as much of a name as fits after offset; false if it was cut short.
bool CopyName(PVOID buffer, ULONG length, ULONG offset, const std::u16string& name) {
  ULONG room = length > offset ? length - offset : 0;
  ULONG n = std::min(room, Bytes(name)) & ~1u;
  if (n) std::memcpy(static_cast<char*>(buffer) + offset, name.data(), n);
  return n == Bytes(name);
}

// Copies as much of the data as fits after offset, as Windows does; false if
// it was cut short.
bool CopyData(PVOID buffer, ULONG length, ULONG offset, const std::vector<uint8_t>& data) {
  ULONG room = length > offset ? length - offset : 0;
  ULONG n = std::min(room, static_cast<ULONG>(data.size()));
  if (n) std::memcpy(static_cast<char*>(buffer) + offset, data.data(), n);
  return n == data.size();
}

void WriteUlong(PVOID buffer, ULONG offset, ULONG v) { std::memcpy(static_cast<char*>(buffer) + offset, &v, 4); }

LARGE_INTEGER SystemTimeOf(int64_t clockTime) {
  LARGE_INTEGER t;
  t.QuadPart = sim::kernel::BootSystemTime() + clockTime;
  return t;
}

}  // namespace

NTSTATUS FillValueInformation(const Value& value, KEY_VALUE_INFORMATION_CLASS cls, PVOID buffer, ULONG length,
                              PULONG resultLength) {
  const ULONG nameBytes = Bytes(value.name);
  const ULONG dataBytes = static_cast<ULONG>(value.data.size());
  ULONG minimum, required, dataOffset = 0;
  switch (cls) {
    case KeyValueBasicInformation:
      minimum = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
      required = minimum + nameBytes;
      break;
    case KeyValueFullInformation:
    case KeyValueFullInformationAlign64:
      minimum = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
      required = minimum + nameBytes;
      if (dataBytes) {
        dataOffset = AlignUp(required, cls == KeyValueFullInformation ? 4 : 8);
        required = dataOffset + dataBytes;
      }
      break;
    case KeyValuePartialInformation:
      minimum = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
      required = minimum + dataBytes;
      break;
    default:
      return STATUS_INVALID_PARAMETER;
  }
  *resultLength = required;
  if (length < minimum) return STATUS_BUFFER_TOO_SMALL;

  NTSTATUS status = STATUS_SUCCESS;
  switch (cls) {
    case KeyValueBasicInformation: {
      auto* info = static_cast<PKEY_VALUE_BASIC_INFORMATION>(buffer);
      info->TitleIndex = 0;
      info->Type = value.type;
      info->NameLength = nameBytes;
      if (!CopyName(buffer, length, minimum, value.name)) status = STATUS_BUFFER_OVERFLOW;
      break;
    }
    case KeyValueFullInformation:
    case KeyValueFullInformationAlign64: {
      auto* info = static_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
      info->TitleIndex = 0;
      info->Type = value.type;
      info->DataOffset = dataOffset;
      info->DataLength = dataBytes;
      info->NameLength = nameBytes;
      if (!CopyName(buffer, length, minimum, value.name)) status = STATUS_BUFFER_OVERFLOW;
      if (dataBytes && !CopyData(buffer, length, dataOffset, value.data)) status = STATUS_BUFFER_OVERFLOW;
      break;
    }
    default: {
      auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
      info->TitleIndex = 0;
      info->Type = value.type;
      info->DataLength = dataBytes;
      if (dataBytes && !CopyData(buffer, length, minimum, value.data)) status = STATUS_BUFFER_OVERFLOW;
      break;
    }
  }
  return status;
}

NTSTATUS FillKeyInformation(const KeyInfo& info, const std::u16string& fullPath, KEY_INFORMATION_CLASS cls,
                            PVOID buffer, ULONG length, PULONG resultLength) {
  const ULONG nameBytes = Bytes(info.name);
  const ULONG classBytes = Bytes(info.className);
  constexpr ULONG kNoClass = 0xFFFFFFFFu;
  ULONG minimum, required, classOffset = kNoClass;
  switch (cls) {
    case KeyBasicInformation:
      minimum = offsetof(KEY_BASIC_INFORMATION, Name);
      required = minimum + nameBytes;
      break;
    case KeyNodeInformation:
      minimum = offsetof(KEY_NODE_INFORMATION, Name);
      required = minimum + nameBytes;
      if (classBytes) {
        classOffset = AlignUp(required, 4);
        required = classOffset + classBytes;
      }
      break;
    case KeyFullInformation:
      minimum = offsetof(KEY_FULL_INFORMATION, Class);
      required = minimum + classBytes;
      if (classBytes) classOffset = minimum;
      break;
    case KeyNameInformation:
      minimum = offsetof(KEY_NAME_INFORMATION, Name);
      required = minimum + Bytes(fullPath);
      break;
    default:
      return STATUS_INVALID_PARAMETER;
  }
  *resultLength = required;
  if (length < minimum) return STATUS_BUFFER_TOO_SMALL;

  NTSTATUS status = STATUS_SUCCESS;
  switch (cls) {
    case KeyBasicInformation: {
      auto* k = static_cast<PKEY_BASIC_INFORMATION>(buffer);
      k->LastWriteTime = SystemTimeOf(info.lastWriteTime);
      k->TitleIndex = 0;
      k->NameLength = nameBytes;
      if (!CopyName(buffer, length, minimum, info.name)) status = STATUS_BUFFER_OVERFLOW;
      break;
    }
    case KeyNodeInformation: {
      auto* k = static_cast<PKEY_NODE_INFORMATION>(buffer);
      k->LastWriteTime = SystemTimeOf(info.lastWriteTime);
      k->TitleIndex = 0;
      k->ClassOffset = classOffset;
      k->ClassLength = classBytes;
      k->NameLength = nameBytes;
      if (!CopyName(buffer, length, minimum, info.name)) status = STATUS_BUFFER_OVERFLOW;
      if (classBytes) {
        if (length < required)
          status = STATUS_BUFFER_OVERFLOW;
        else
          std::memcpy(static_cast<char*>(buffer) + classOffset, info.className.data(), classBytes);
      }
      break;
    }
    case KeyFullInformation: {
      auto* k = static_cast<PKEY_FULL_INFORMATION>(buffer);
      k->LastWriteTime = SystemTimeOf(info.lastWriteTime);
      k->TitleIndex = 0;
      k->ClassOffset = classOffset;
      k->ClassLength = classBytes;
      k->SubKeys = info.subKeys;
      k->MaxNameLen = info.maxSubKeyNameChars * sizeof(WCHAR);
      k->MaxClassLen = info.maxClassChars * sizeof(WCHAR);
      k->Values = info.values;
      k->MaxValueNameLen = info.maxValueNameChars * sizeof(WCHAR);
      k->MaxValueDataLen = info.maxValueDataBytes;
      if (!CopyName(buffer, length, minimum, info.className)) status = STATUS_BUFFER_OVERFLOW;
      break;
    }
    default: {
      WriteUlong(buffer, 0, Bytes(fullPath));
      if (!CopyName(buffer, length, minimum, fullPath)) status = STATUS_BUFFER_OVERFLOW;
      break;
    }
  }
  return status;
}

}  // namespace sim::registry
