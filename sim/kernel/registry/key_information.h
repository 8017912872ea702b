// Filling the KEY_VALUE_xxx_INFORMATION and KEY_xxx_INFORMATION buffers of
// ZwQueryValueKey / ZwEnumerateValueKey / ZwQueryKey / ZwEnumerateKey with the
// Windows size rules: *resultLength is always the full size; a buffer shorter
// than the fixed part gives STATUS_BUFFER_TOO_SMALL and nothing written; one
// that holds the fixed part but not all of the name or data gives
// STATUS_BUFFER_OVERFLOW with the fixed part and as much of the name and data
// as fits written.
#pragma once

#include <wdm.h>

#include <string>

#include "sim/kernel/registry/registry_store.h"

namespace sim::registry {

NTSTATUS FillValueInformation(const Value& value, KEY_VALUE_INFORMATION_CLASS cls, PVOID buffer, ULONG length,
                              PULONG resultLength);
// fullPath is used by KeyNameInformation only.
NTSTATUS FillKeyInformation(const KeyInfo& info, const std::u16string& fullPath, KEY_INFORMATION_CLASS cls,
                            PVOID buffer, ULONG length, PULONG resultLength);

}  // namespace sim::registry
