#include "sim/kernel/registry/zw_support.h"

#include "sim/kernel/core/irql_checks.h"

namespace sim::registry {

NTSTATUS ToStatus(Result r) {
  switch (r) {
    case Result::kOk: return STATUS_SUCCESS;
    case Result::kNotFound: return STATUS_OBJECT_NAME_NOT_FOUND;
    case Result::kKeyDeleted: return STATUS_KEY_DELETED;
    case Result::kCannotDelete: return STATUS_CANNOT_DELETE;
    case Result::kInvalidName: return STATUS_OBJECT_NAME_INVALID;
    case Result::kChildMustBeVolatile: return STATUS_CHILD_MUST_BE_VOLATILE;
    case Result::kNoMoreEntries: return STATUS_NO_MORE_ENTRIES;
  }
  return STATUS_UNSUCCESSFUL;
}

NTSTATUS ReadName(PCUNICODE_STRING s, std::u16string_view* out) {
  *out = {};
  if (!s) return STATUS_SUCCESS;
  if (s->Length % 2) return STATUS_OBJECT_NAME_INVALID;
  if (s->Length > s->MaximumLength || (s->Length && !s->Buffer)) return STATUS_INVALID_PARAMETER;
  *out = std::u16string_view(reinterpret_cast<const char16_t*>(s->Buffer), s->Length / 2);
  return STATUS_SUCCESS;
}

bool CheckPassive(const char* call) { return sim::kernel::CheckIrqlAtMost(call, PASSIVE_LEVEL); }

}  // namespace sim::registry
