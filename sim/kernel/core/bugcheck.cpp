// Bug checks, assertions and debug output.
#include "sim/kernel/core/bugcheck.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "sim/kernel/core/trace_setting.h"
#include "sim/kernel/core/verifier.h"

extern "C" {

void KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR BugCheckParameter1, ULONG_PTR BugCheckParameter2,
                  ULONG_PTR BugCheckParameter3, ULONG_PTR BugCheckParameter4) {
  sim::verifier::Fail("KeBugCheckEx", "bug check 0x%08X (0x%llx, 0x%llx, 0x%llx, 0x%llx)", BugCheckCode,
                      (unsigned long long)BugCheckParameter1, (unsigned long long)BugCheckParameter2,
                      (unsigned long long)BugCheckParameter3, (unsigned long long)BugCheckParameter4);
  // A recording handler returned: unwind to the stand-in thread that called
  // the driver (or to the test).
  throw sim::kernel::BugCheck{BugCheckCode,
                              {BugCheckParameter1, BugCheckParameter2, BugCheckParameter3, BugCheckParameter4}};
}

void KeBugCheck(ULONG BugCheckCode) { KeBugCheckEx(BugCheckCode, 0, 0, 0, 0); }

ULONG DbgPrint(PCSTR Format, ...) {
  if (!sim::kernel::TraceLevel()) return STATUS_SUCCESS;
  va_list ap;
  va_start(ap, Format);
  vfprintf(stderr, Format, ap);
  va_end(ap);
  return STATUS_SUCCESS;
}

void RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PSTR Message) {
  sim::verifier::Fail("ASSERT", "%s%s%s at %s:%u", Message ? Message : "", Message ? ": " : "",
                      static_cast<const char*>(FailedAssertion), static_cast<const char*>(FileName), LineNumber);
}

void FatalListEntryError(PVOID p1, PVOID p2, PVOID p3) {
  // Windows raises a fast-fail (bug check 0x139, KERNEL_SECURITY_CHECK_FAILURE).
  sim::verifier::Fail("LIST_ENTRY", "corrupted list links around %p (neighbours %p, %p)", p2, p1, p3);
}

}  // extern "C"
