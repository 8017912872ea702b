// Pieces shared by the kernel registry routines: store results as NTSTATUS,
// counted-string arguments, and the PASSIVE_LEVEL rule.
#pragma once

#include <wdm.h>

#include <string_view>

#include "sim/kernel/registry/registry_store.h"

namespace sim::registry {

NTSTATUS ToStatus(Result r);

// The characters of a UNICODE_STRING argument (null = empty). Fails with
// STATUS_OBJECT_NAME_INVALID for an odd length and STATUS_INVALID_PARAMETER
// for a length beyond MaximumLength or a missing buffer.
NTSTATUS ReadName(PCUNICODE_STRING s, std::u16string_view* out);

// False after a verifier failure naming call when not at PASSIVE_LEVEL.
bool CheckPassive(const char* call);

// Status returned after a verifier failure the call did not act on.
inline constexpr NTSTATUS kRefusedStatus = STATUS_UNSUCCESSFUL;

}  // namespace sim::registry
