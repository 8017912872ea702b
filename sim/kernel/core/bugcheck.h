// What KeBugCheckEx and PsTerminateSystemThread throw when they must not
// return: the stand-in's own threads catch these around driver routines.
#pragma once
#include <wdm.h>

namespace sim::kernel {

// Thrown by KeBugCheckEx once a recording verifier handler has returned.
struct BugCheck {
  ULONG code;
  ULONG_PTR parameters[4];
};

// Thrown by PsTerminateSystemThread to unwind to the thread's entry.
struct ThreadTermination {
  NTSTATUS status;
};

}  // namespace sim::kernel
