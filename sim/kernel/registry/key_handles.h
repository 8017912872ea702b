// Kernel handles to registry keys. They live in the kernel handle table with
// an object type of their own and are closed with ZwClose; the ones still
// open can be listed, which is how tests find leaked key handles.
#pragma once

#include <wdm.h>

#include <string>
#include <vector>

#include "sim/kernel/registry/registry_store.h"

namespace sim::registry {

POBJECT_TYPE KeyObjectType();

// Generic rights and MAXIMUM_ALLOWED mapped to key rights; the WOW64 view
// bits dropped (there is one view).
ACCESS_MASK MapKeyAccess(ACCESS_MASK desired);

HANDLE InsertKeyHandle(KeyRef key, ACCESS_MASK granted);
// STATUS_INVALID_HANDLE for an unknown handle, STATUS_OBJECT_TYPE_MISMATCH for
// a handle to something else, STATUS_ACCESS_DENIED when the handle was not
// granted every right in required.
NTSTATUS ReferenceKeyHandle(HANDLE handle, ACCESS_MASK required, KeyRef* key);

struct OpenKeyHandle {
  HANDLE handle;
  std::u16string path;  // of the key when the handle was opened
  ACCESS_MASK access;
};
std::vector<OpenKeyHandle> OpenKeyHandles();
size_t OpenKeyHandleCount();
// One line per open key handle (UTF-8), for test failure messages.
std::string DescribeOpenKeyHandles();

}  // namespace sim::registry
