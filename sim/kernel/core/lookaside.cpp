// Lookaside lists. Free entries are kept in the list itself, linked through
// their first bytes as on Windows, up to Depth; further frees go back to the
// pool. Under AddressSanitizer a cached entry is poisoned, so a driver that
// still uses an entry it gave back is caught.
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "sim/kernel/core/lookaside.h"

#include "sim/kernel/core/irql_checks.h"
#include "sim/kernel/core/verifier.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define SIM_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define SIM_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define SIM_POISON(p, n) ((void)(p), (void)(n))
#define SIM_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace {

// Windows' minimum depth for a list initialised with Depth 0.
constexpr USHORT kDefaultDepth = 4;

struct ListState {
  std::unordered_set<void*> handedOut;
  USHORT cached = 0;
};

struct Lists {
  std::mutex lock;
  std::unordered_map<const GENERAL_LOOKASIDE*, ListState> lists;
};

Lists& L() {
  static Lists* l = new Lists;
  return *l;
}

PVOID DefaultAllocate(POOL_TYPE type, SIZE_T size, ULONG tag) { return ExAllocatePoolWithTag(type, size, tag); }
void DefaultFree(PVOID p) { ExFreePool(p); }

void Initialize(const char* call, GENERAL_LOOKASIDE* l, PALLOCATE_FUNCTION allocate, PFREE_FUNCTION freeFn,
                POOL_TYPE type, SIZE_T size, ULONG tag, USHORT depth) {
  if (size > MAXULONG) {
    sim::verifier::Fail(call, "entry size %zu too large", (size_t)size);
    return;
  }
  memset(l, 0, sizeof *l);
  l->ListHead.Next = nullptr;
  l->Depth = depth ? depth : kDefaultDepth;
  l->MaximumDepth = 256;
  l->Type = type;
  l->Tag = tag;
  l->Size = (ULONG)(size < sizeof(SINGLE_LIST_ENTRY) ? sizeof(SINGLE_LIST_ENTRY) : size);
  l->Allocate = allocate ? allocate : DefaultAllocate;
  l->Free = freeFn ? freeFn : DefaultFree;
  InitializeListHead(&l->ListEntry);
  std::lock_guard<std::mutex> g(L().lock);
  L().lists[l] = ListState{};
}

void Delete(const char* call, GENERAL_LOOKASIDE* l) {
  SINGLE_LIST_ENTRY* entries;
  {
    std::lock_guard<std::mutex> g(L().lock);
    auto it = L().lists.find(l);
    if (it == L().lists.end()) {
      sim::verifier::Fail(call, "lookaside list %p is not initialised (or deleted twice)", (void*)l);
      return;
    }
    entries = l->ListHead.Next;
    l->ListHead.Next = nullptr;
    L().lists.erase(it);
  }
  while (entries) {
    SIM_UNPOISON(entries, l->Size);
    SINGLE_LIST_ENTRY* next = entries->Next;
    l->Free(entries);
    entries = next;
  }
}

PVOID AllocateEntry(const char* call, GENERAL_LOOKASIDE* l) {
  if (!sim::kernel::CheckIrqlAtMost(call, l->Type & 1 ? APC_LEVEL : DISPATCH_LEVEL)) return nullptr;
  {
    std::lock_guard<std::mutex> g(L().lock);
    auto it = L().lists.find(l);
    if (it == L().lists.end()) {
      sim::verifier::Fail(call, "lookaside list %p is not initialised", (void*)l);
      return nullptr;
    }
    l->TotalAllocates++;
    if (SINGLE_LIST_ENTRY* e = l->ListHead.Next) {
      SIM_UNPOISON(e, l->Size);
      l->ListHead.Next = e->Next;
      it->second.cached--;
      it->second.handedOut.insert(e);
      return e;
    }
    l->AllocateMisses++;
  }
  PVOID p = l->Allocate(l->Type, l->Size, l->Tag);
  if (p) {
    std::lock_guard<std::mutex> g(L().lock);
    auto it = L().lists.find(l);
    if (it != L().lists.end()) it->second.handedOut.insert(p);
  }
  return p;
}

void FreeEntry(const char* call, GENERAL_LOOKASIDE* l, PVOID entry) {
  if (!sim::kernel::CheckIrqlAtMost(call, l->Type & 1 ? APC_LEVEL : DISPATCH_LEVEL)) return;
  {
    std::lock_guard<std::mutex> g(L().lock);
    auto it = L().lists.find(l);
    if (it == L().lists.end()) {
      sim::verifier::Fail(call, "lookaside list %p is not initialised", (void*)l);
      return;
    }
    if (it->second.handedOut.erase(entry) == 0) {
      sim::verifier::Fail(call, "entry %p was not allocated from lookaside list %p or is freed twice", entry,
                          (void*)l);
      return;
    }
    l->TotalFrees++;
    if (it->second.cached < l->Depth) {
      auto* e = static_cast<SINGLE_LIST_ENTRY*>(entry);
      e->Next = l->ListHead.Next;
      l->ListHead.Next = e;
      it->second.cached++;
      SIM_POISON(e, l->Size);
      return;
    }
    l->FreeMisses++;
  }
  l->Free(entry);
}

}  // namespace

namespace sim::kernel {

size_t LookasideListCount() {
  std::lock_guard<std::mutex> g(L().lock);
  return L().lists.size();
}

bool IsLookasideListWithin(const void* begin, size_t bytes) {
  std::lock_guard<std::mutex> g(L().lock);
  for (auto& [list, state] : L().lists) {
    auto* p = reinterpret_cast<const char*>(list);
    if (p >= static_cast<const char*>(begin) && p < static_cast<const char*>(begin) + bytes) return true;
  }
  return false;
}

}  // namespace sim::kernel

extern "C" {

void ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                     PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag, USHORT Depth) {
  Initialize("ExInitializeNPagedLookasideList", &Lookaside->L, Allocate, Free,
             (POOL_TYPE)(NonPagedPool | (Flags & POOL_NX_ALLOCATION)), Size, Tag, Depth);
  Lookaside->Lock__ObsoleteButDoNotDelete = 0;
}

void ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) {
  Delete("ExDeleteNPagedLookasideList", &Lookaside->L);
}

PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) {
  return AllocateEntry("ExAllocateFromNPagedLookasideList", &Lookaside->L);
}

void ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry) {
  FreeEntry("ExFreeToNPagedLookasideList", &Lookaside->L, Entry);
}

void ExInitializePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                    PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag, USHORT Depth) {
  UNREFERENCED_PARAMETER(Flags);
  Initialize("ExInitializePagedLookasideList", &Lookaside->L, Allocate, Free, PagedPool, Size, Tag, Depth);
  Lookaside->Lock__ObsoleteButDoNotDelete = 0;
}

void ExDeletePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside) { Delete("ExDeletePagedLookasideList", &Lookaside->L); }

PVOID ExAllocateFromPagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside) {
  return AllocateEntry("ExAllocateFromPagedLookasideList", &Lookaside->L);
}

void ExFreeToPagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry) {
  FreeEntry("ExFreeToPagedLookasideList", &Lookaside->L, Entry);
}

}  // extern "C"
