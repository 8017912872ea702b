#include "sim/kernel/core/pool.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "sim/kernel/core/dispatcher.h"
#include "sim/kernel/core/dpc.h"
#include "sim/kernel/core/lookaside.h"
#include "sim/kernel/core/timer_queue.h"
#include "sim/kernel/core/verifier.h"

namespace sim::pool {
namespace {

// Uninitialised pool is filled so that reads of it are not accidentally zero.
constexpr unsigned char kUninitializedFill = 0xCD;

struct Table {
  std::mutex lock;
  std::unordered_map<const void*, Allocation> blocks;
  unsigned long long serial = 0;
  long failAfter = -1;  // successes left before all fail; -1 = off
  long failNext = 0;
  ULONG failNextTag = 0;
  unsigned long long failed = 0;
  unsigned long long driverAllocations = 0;
};

Table& T() {
  static Table* t = new Table;
  return *t;
}

thread_local int tStandInDepth = 0;

bool IsPaged(POOL_TYPE type) { return ((int)type & 1) != 0; }

const char* PoolTypeName(POOL_TYPE type) { return IsPaged(type) ? "paged" : "non-paged"; }

// With the lock held: true if fault injection refuses this allocation.
bool InjectFailure(Table& t, ULONG tag) {
  if (tStandInDepth) return false;
  if (t.failNext > 0 && (t.failNextTag == 0 || t.failNextTag == tag)) {
    t.failNext--;
    return true;
  }
  if (t.failAfter == 0) return true;
  if (t.failAfter > 0) t.failAfter--;
  return false;
}

}  // namespace

std::string TagName(ULONG tag) {
  std::string s;
  for (int i = 0; i < 4; i++) {
    unsigned char c = (unsigned char)(tag >> (8 * i));
    if (c >= 0x20 && c < 0x7f) {
      s += (char)c;
    } else {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      s += hex;
    }
  }
  return s;
}

StandInScope::StandInScope() { tStandInDepth++; }
StandInScope::~StandInScope() { tStandInDepth--; }

namespace {

void* Allocate(const char* call, POOL_TYPE type, SIZE_T size, ULONG tag, bool zero) {
  KIRQL irql = KeGetCurrentIrql();
  if (IsPaged(type) ? irql > APC_LEVEL : irql > DISPATCH_LEVEL) {
    verifier::Fail(call, "%s pool allocation (tag '%s', %zu bytes) at IRQL %u", PoolTypeName(type),
                   TagName(tag).c_str(), (size_t)size, irql);
    return nullptr;
  }
  if (size == 0) {
    verifier::Fail(call, "zero-byte pool allocation (tag '%s')", TagName(tag).c_str());
    return nullptr;
  }
  Table& t = T();
  {
    std::lock_guard<std::mutex> l(t.lock);
    if (InjectFailure(t, tag)) {
      t.failed++;
      return nullptr;
    }
  }
  void* p = malloc(size);
  if (!p) return nullptr;
  memset(p, zero ? 0 : kUninitializedFill, size);
  std::lock_guard<std::mutex> l(t.lock);
  t.blocks[p] = {p, tag, size, type, tStandInDepth > 0, ++t.serial};
  if (tStandInDepth == 0) t.driverAllocations++;
  return p;
}

// What the kernel still uses inside a block about to be freed (null if
// nothing): Windows bug checks with TIMER_OR_DPC_INVALID (0xC7) on a timer or
// DPC, and corrupts its lists on the rest.
const char* StillInUse(const void* p, size_t size) {
  if (sim::kernel::IsTimerSetWithin(p, size)) return "a timer that is still set (bug check 0xC7)";
  if (sim::kernel::IsDpcQueuedWithin(p, size)) return "a DPC that is still queued (bug check 0xC7)";
  if (sim::kernel::dispatcher::IsWaitedOnWithin(p, size)) return "an object that a thread waits on";
  if (sim::kernel::IsLookasideListWithin(p, size)) return "a lookaside list that was not deleted";
  return nullptr;
}

void Free(const char* call, void* p, bool checkTag, ULONG tag) {
  if (!p) {
    verifier::Fail(call, "freeing a NULL pointer");
    return;
  }
  enum { kFreed, kUnknown, kWrongIrql, kWrongTag } result;
  Allocation a{};
  KIRQL irql = KeGetCurrentIrql();
  {
    std::lock_guard<std::mutex> l(T().lock);
    auto it = T().blocks.find(p);
    if (it == T().blocks.end()) {
      result = kUnknown;
    } else {
      a = it->second;
      if (IsPaged(a.type) ? irql > APC_LEVEL : irql > DISPATCH_LEVEL) {
        result = kWrongIrql;
      } else if (checkTag && a.tag != tag) {
        result = kWrongTag;
      } else {
        T().blocks.erase(it);
        result = kFreed;
      }
    }
  }
  // Reported outside the lock: a recording handler may allocate.
  switch (result) {
    case kFreed:
      if (const char* what = StillInUse(p, a.size)) {
        verifier::Fail(call, "pool block %p (tag '%s') holds %s", p, TagName(a.tag).c_str(), what);
        // Refused: the kernel still uses the block, so it stays allocated.
        std::lock_guard<std::mutex> l(T().lock);
        T().blocks[p] = a;
        break;
      }
      memset(p, 0xDD, a.size);
      free(p);
      break;
    case kUnknown: verifier::Fail(call, "%p is not an allocated pool block (freed twice or never allocated)", p); break;
    case kWrongIrql:
      verifier::Fail(call, "%s pool block %p (tag '%s') freed at IRQL %u", PoolTypeName(a.type), p,
                     TagName(a.tag).c_str(), irql);
      break;
    case kWrongTag:
      verifier::Fail(call, "block %p was allocated with tag '%s' but freed with tag '%s'", p, TagName(a.tag).c_str(),
                     TagName(tag).c_str());
      break;
  }
}

}  // namespace

size_t OutstandingCount() {
  std::lock_guard<std::mutex> l(T().lock);
  size_t n = 0;
  for (auto& [p, a] : T().blocks)
    if (!a.standIn) n++;
  return n;
}

std::vector<Allocation> Outstanding(bool includeStandIn) {
  std::vector<Allocation> v;
  {
    std::lock_guard<std::mutex> l(T().lock);
    for (auto& [p, a] : T().blocks)
      if (includeStandIn || !a.standIn) v.push_back(a);
  }
  std::sort(v.begin(), v.end(), [](const Allocation& x, const Allocation& y) { return x.serial < y.serial; });
  return v;
}

std::string DumpOutstanding() {
  std::string s;
  for (const auto& a : Outstanding()) {
    char line[160];
    snprintf(line, sizeof line, "  %p tag '%s' %zu bytes %s pool (#%llu)\n", a.address, TagName(a.tag).c_str(),
             (size_t)a.size, PoolTypeName(a.type), a.serial);
    s += line;
  }
  return s;
}

size_t CheckNoLeaks(const char* context) {
  auto leaks = Outstanding();
  if (leaks.empty()) return 0;
  verifier::Fail(context, "%zu pool allocation(s) leaked:\n%s", leaks.size(), DumpOutstanding().c_str());
  return leaks.size();
}

void FailAllocationsAfter(long n) {
  std::lock_guard<std::mutex> l(T().lock);
  T().failAfter = n < 0 ? -1 : n;
}

void FailNextAllocations(long n, ULONG tag) {
  std::lock_guard<std::mutex> l(T().lock);
  T().failNext = n;
  T().failNextTag = tag;
}

void ResetFaultInjection() {
  std::lock_guard<std::mutex> l(T().lock);
  T().failAfter = -1;
  T().failNext = 0;
  T().failNextTag = 0;
}

unsigned long long DriverAllocationCount() {
  std::lock_guard<std::mutex> l(T().lock);
  return T().driverAllocations;
}

unsigned long long FailedAllocationCount() {
  std::lock_guard<std::mutex> l(T().lock);
  return T().failed;
}

bool IsWithinNonPagedPool(const void* p, size_t bytes) {
  const auto* begin = static_cast<const char*>(p);
  std::lock_guard<std::mutex> l(T().lock);
  for (const auto& [address, a] : T().blocks) {
    const auto* block = static_cast<const char*>(address);
    if (begin >= block && bytes <= a.size && static_cast<size_t>(begin - block) <= a.size - bytes) {
      return !IsPaged(a.type);
    }
  }
  return false;
}

bool IsPoolBlock(const void* p) {
  std::lock_guard<std::mutex> l(T().lock);
  return T().blocks.count(p) != 0;
}

}  // namespace sim::pool

using sim::pool::Allocate;
using sim::pool::Free;

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return Allocate("ExAllocatePoolWithTag", PoolType, NumberOfBytes, Tag, false);
}

PVOID ExAllocatePoolUninitialized(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return Allocate("ExAllocatePoolUninitialized", PoolType, NumberOfBytes, Tag, false);
}

PVOID ExAllocatePoolZero(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return Allocate("ExAllocatePoolZero", PoolType, NumberOfBytes, Tag, true);
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return Allocate("ExAllocatePool", PoolType, NumberOfBytes, sim::pool::MakeTag("None"), false);
}

PVOID ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag) {
  POOL_FLAGS kinds = Flags & (POOL_FLAG_NON_PAGED | POOL_FLAG_NON_PAGED_EXECUTE | POOL_FLAG_PAGED);
  if (kinds != POOL_FLAG_NON_PAGED && kinds != POOL_FLAG_NON_PAGED_EXECUTE && kinds != POOL_FLAG_PAGED) {
    sim::verifier::Fail("ExAllocatePool2", "flags 0x%llx must name exactly one pool (paged, non-paged, execute)",
                        (unsigned long long)Flags);
    return nullptr;
  }
  POOL_TYPE type = kinds == POOL_FLAG_PAGED ? PagedPool : kinds == POOL_FLAG_NON_PAGED ? NonPagedPoolNx : NonPagedPool;
  PVOID p = Allocate("ExAllocatePool2", type, NumberOfBytes, Tag, (Flags & POOL_FLAG_UNINITIALIZED) == 0);
  if (!p && (Flags & POOL_FLAG_RAISE_ON_FAILURE))
    sim::verifier::Fail("ExAllocatePool2", "allocation with POOL_FLAG_RAISE_ON_FAILURE failed (tag '%s')",
                        sim::pool::TagName(Tag).c_str());
  return p;
}

void ExFreePoolWithTag(PVOID P, ULONG Tag) { Free("ExFreePoolWithTag", P, true, Tag); }

void ExFreePool(PVOID P) { Free("ExFreePool", P, false, 0); }

}  // extern "C"
