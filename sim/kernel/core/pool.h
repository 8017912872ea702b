// Pool tracking of the kernel stand-in. Blocks come from the host allocator
// (so AddressSanitizer guards each block itself); a side table records tag,
// size and pool type of each outstanding block.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include <wdm.h>

namespace sim::pool {

// A pool tag from its four characters as they appear in memory and in pool
// tools ("Strg" is the multi-character constant 'gtrS').
constexpr ULONG MakeTag(const char (&s)[5]) {
  return (ULONG)(unsigned char)s[0] | (ULONG)(unsigned char)s[1] << 8 | (ULONG)(unsigned char)s[2] << 16 |
         (ULONG)(unsigned char)s[3] << 24;
}
std::string TagName(ULONG tag);

// Tag of the buffers the Rtl string functions allocate (for example
// RtlAnsiStringToUnicodeString, RtlStringFromGUID) and RtlFreeUnicodeString
// frees. Stand-ins that hand out such strings allocate them with this tag.
inline constexpr ULONG kRtlStringTag = MakeTag("Strg");

struct Allocation {
  const void* address;
  ULONG tag;
  SIZE_T size;
  POOL_TYPE type;
  bool standIn;               // made inside a StandInScope
  unsigned long long serial;  // allocation order
};

size_t OutstandingCount();  // driver allocations only (not the stand-ins')
// Driver allocations made so far (a steady stream makes none).
unsigned long long DriverAllocationCount();
std::vector<Allocation> Outstanding(bool includeStandIn = false);
std::string DumpOutstanding();
// A verifier failure named context that lists every outstanding driver
// allocation; returns how many there were.
size_t CheckNoLeaks(const char* context);

// Allocations made while a StandInScope is alive on the calling thread belong
// to the stand-ins (not driver leaks) and are exempt from fault injection.
class StandInScope {
 public:
  StandInScope();
  ~StandInScope();
  StandInScope(const StandInScope&) = delete;
  StandInScope& operator=(const StandInScope&) = delete;
};

// Fault injection for driver allocations. After n further successful
// allocations, every allocation fails (n < 0 turns it off).
void FailAllocationsAfter(long n);
// The next n allocations (with tag, if tag is not 0) fail.
void FailNextAllocations(long n, ULONG tag = 0);
void ResetFaultInjection();
// Allocations refused by fault injection so far.
unsigned long long FailedAllocationCount();

// True if p is an outstanding pool block.
bool IsPoolBlock(const void* p);
// True if [p, p + bytes) lies inside one outstanding nonpaged pool block.
bool IsWithinNonPagedPool(const void* p, size_t bytes);

}  // namespace sim::pool
