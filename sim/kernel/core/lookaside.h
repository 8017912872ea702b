// Internal to the stand-ins: tests, tools and the fuzzer use the public headers instead.
// What the lookaside lists of the stand-in know about themselves.
#pragma once
#include <cstddef>

namespace sim::kernel {

// Lookaside lists initialised and not deleted yet.
size_t LookasideListCount();
// True if such a list lies in [begin, begin + bytes) (pool about to be freed).
bool IsLookasideListWithin(const void* begin, size_t bytes);

}  // namespace sim::kernel
