// Memory descriptor lists. The stand-in runs in one address space, so a
// "mapping" is the buffer's own address; what is modelled is the state an
// MDL goes through (built, locked, mapped) and the misuse of it.
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <unordered_map>

#include "sim/kernel/core/irql_checks.h"
#include "sim/kernel/core/pool.h"
#include "sim/kernel/core/verifier.h"
#include "sim/kernel/io/io_internal.h"

using sim::verifier::Fail;

namespace {

constexpr int kMdlPagesForMdl = MDL_INTERNAL;  // MDL_INTERNAL: pages from MmAllocatePagesForMdl

struct MdlRecord {
  PDRIVER_OBJECT owner = nullptr;
  void* pages = nullptr;  // MmAllocatePagesForMdl
  bool fromIoAllocateMdl = false;
};

struct MdlTable {
  std::mutex lock;
  std::unordered_map<PMDL, MdlRecord> mdls;
};

MdlTable& T() {
  static MdlTable* t = new MdlTable;
  return *t;
}

void FillPfns(PMDL mdl, PVOID base) {
  PPFN_NUMBER pfn = MmGetMdlPfnArray(mdl);
  ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(base, mdl->ByteCount);
  ULONG_PTR first = reinterpret_cast<ULONG_PTR>(PAGE_ALIGN(base)) >> PAGE_SHIFT;
  for (ULONG i = 0; i < pages; i++) pfn[i] = first + i;
}

}  // namespace

namespace sim::io {
size_t LiveMdlCount() {
  std::lock_guard<std::mutex> l(T().lock);
  return T().mdls.size();
}

size_t OutstandingMdls(PDRIVER_OBJECT driver) {
  std::lock_guard<std::mutex> l(T().lock);
  size_t n = 0;
  for (auto& [mdl, rec] : T().mdls) n += rec.owner == driver ? 1 : 0;
  return n;
}
}  // namespace sim::io

namespace {
std::atomic<SIZE_T> gPagesForMdlLimit{0};
}  // namespace

namespace sim::io {
void LimitPagesForMdl(SIZE_T bytes) { gPagesForMdlLimit = bytes ? ROUND_TO_PAGES(bytes) : 0; }
}  // namespace sim::io

extern "C" {

SIZE_T MmSizeOfMdl(PVOID Base, SIZE_T Length) {
  return sizeof(MDL) + sizeof(PFN_NUMBER) * ADDRESS_AND_SIZE_TO_SPAN_PAGES(Base, Length);
}

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp) {
  UNREFERENCED_PARAMETER(ChargeQuota);
  if (!sim::kernel::CheckIrqlAtMost("IoAllocateMdl", DISPATCH_LEVEL)) return nullptr;
  SIZE_T size = MmSizeOfMdl(VirtualAddress, Length);
  auto mdl = static_cast<PMDL>(std::calloc(1, size));
  if (!mdl) return nullptr;
  mdl->Size = static_cast<CSHORT>(size);
  mdl->StartVa = PAGE_ALIGN(VirtualAddress);
  mdl->ByteOffset = BYTE_OFFSET(VirtualAddress);
  mdl->ByteCount = Length;
  if (Irp) {
    if (!SecondaryBuffer || !Irp->MdlAddress) {
      Irp->MdlAddress = mdl;
    } else {
      PMDL last = Irp->MdlAddress;
      while (last->Next) last = last->Next;
      last->Next = mdl;
    }
  }
  std::lock_guard<std::mutex> l(T().lock);
  T().mdls[mdl] = MdlRecord{sim::io::CurrentDriver(), nullptr, true};
  return mdl;
}

void IoFreeMdl(PMDL Mdl) {
  {
    std::lock_guard<std::mutex> l(T().lock);
    auto it = T().mdls.find(Mdl);
    if (it == T().mdls.end() || !it->second.fromIoAllocateMdl) {
      Fail("IoFreeMdl", "%p is not an MDL from IoAllocateMdl (or was freed already)", Mdl);
      return;
    }
    if (Mdl->MdlFlags & MDL_PAGES_LOCKED) {
      Fail("IoFreeMdl", "MDL %p still has its pages locked (call MmUnlockPages first)", Mdl);
      return;
    }
    T().mdls.erase(it);
  }
  std::free(Mdl);
}

void IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length) {
  if (Length == 0) Length = SourceMdl->ByteCount - static_cast<ULONG>(
                                 static_cast<PCHAR>(VirtualAddress) - static_cast<PCHAR>(MmGetMdlVirtualAddress(SourceMdl)));
  TargetMdl->StartVa = PAGE_ALIGN(VirtualAddress);
  TargetMdl->ByteOffset = BYTE_OFFSET(VirtualAddress);
  TargetMdl->ByteCount = Length;
  TargetMdl->MdlFlags = static_cast<CSHORT>((TargetMdl->MdlFlags & MDL_ALLOCATED_FIXED_SIZE) | MDL_PARTIAL |
                                            (SourceMdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL));
  if (SourceMdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
    TargetMdl->MappedSystemVa = VirtualAddress;
    TargetMdl->MdlFlags |= MDL_PARENT_MAPPED_SYSTEM_VA;
  }
  FillPfns(TargetMdl, VirtualAddress);
}

void MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
  PMDL mdl = MemoryDescriptorList;
  PVOID va = MmGetMdlVirtualAddress(mdl);
  if (!sim::pool::IsWithinNonPagedPool(va, MmGetMdlByteCount(mdl))) {
    // Stack, image or paged memory can be paged out or go away under the MDL.
    Fail("MmBuildMdlForNonPagedPool", "MDL %p describes %p (%lu bytes), which is not in one nonpaged pool block", mdl,
         va, static_cast<unsigned long>(MmGetMdlByteCount(mdl)));
    return;
  }
  FillPfns(mdl, va);
  mdl->MappedSystemVa = va;
  mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

void MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation) {
  UNREFERENCED_PARAMETER(AccessMode);
  if (!sim::kernel::CheckIrqlAtMost("MmProbeAndLockPages", DISPATCH_LEVEL)) return;
  PMDL mdl = MemoryDescriptorList;
  if (mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL)) {
    Fail("MmProbeAndLockPages", "MDL %p is already locked or describes nonpaged pool", mdl);
    return;
  }
  FillPfns(mdl, MmGetMdlVirtualAddress(mdl));
  mdl->MdlFlags |= MDL_PAGES_LOCKED;
  if (Operation != IoReadAccess) mdl->MdlFlags |= MDL_WRITE_OPERATION;
}

void MmUnlockPages(PMDL MemoryDescriptorList) {
  PMDL mdl = MemoryDescriptorList;
  if (!(mdl->MdlFlags & MDL_PAGES_LOCKED) || (mdl->MdlFlags & kMdlPagesForMdl)) {
    Fail("MmUnlockPages", "MDL %p was not locked by MmProbeAndLockPages", mdl);
    return;
  }
  // Unlocking also releases a system mapping of the pages.
  if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) {
    mdl->MappedSystemVa = nullptr;
    mdl->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
  }
  mdl->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_WRITE_OPERATION);
}

PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                   MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress, ULONG BugCheckOnFailure,
                                   ULONG Priority) {
  UNREFERENCED_PARAMETER(CacheType);
  UNREFERENCED_PARAMETER(RequestedAddress);
  UNREFERENCED_PARAMETER(BugCheckOnFailure);
  PMDL mdl = MemoryDescriptorList;
  if (!sim::kernel::CheckIrqlAtMost("MmMapLockedPagesSpecifyCache",
                                    AccessMode == KernelMode ? DISPATCH_LEVEL : APC_LEVEL)) {
    return nullptr;
  }
  ULONG priority = Priority & ~(MdlMappingNoWrite | MdlMappingNoExecute);
  if (priority != LowPagePriority && priority != NormalPagePriority && priority != HighPagePriority) {
    Fail("MmMapLockedPagesSpecifyCache", "invalid page priority 0x%08x", Priority);
    return nullptr;
  }
  if (!(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL))) {
    Fail("MmMapLockedPagesSpecifyCache", "MDL %p describes pages that are not locked", mdl);
    return nullptr;
  }
  PVOID va;
  {
    std::lock_guard<std::mutex> l(T().lock);
    auto it = T().mdls.find(mdl);
    va = it != T().mdls.end() && it->second.pages
             ? static_cast<PVOID>(static_cast<PCHAR>(it->second.pages) + mdl->ByteOffset)
             : MmGetMdlVirtualAddress(mdl);
  }
  if (AccessMode == KernelMode) {
    if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) {
      Fail("MmMapLockedPagesSpecifyCache", "MDL %p is already mapped to system space", mdl);
      return mdl->MappedSystemVa;
    }
    mdl->MappedSystemVa = va;
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    if (mdl->MdlFlags & MDL_PARTIAL) mdl->MdlFlags |= MDL_PARTIAL_HAS_BEEN_MAPPED;
  }
  return va;
}

PVOID MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode) {
  return MmMapLockedPagesSpecifyCache(MemoryDescriptorList, AccessMode, MmCached, nullptr, TRUE,
                                      HighPagePriority);
}

void MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
  PMDL mdl = MemoryDescriptorList;
  if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) {
    if (BaseAddress != mdl->MappedSystemVa) {
      Fail("MmUnmapLockedPages", "address %p is not the system mapping %p of MDL %p", BaseAddress,
           mdl->MappedSystemVa, mdl);
      return;
    }
    mdl->MappedSystemVa = nullptr;
    mdl->MdlFlags &= ~(MDL_MAPPED_TO_SYSTEM_VA | MDL_PARTIAL_HAS_BEEN_MAPPED);
  }
  // A user-mode mapping leaves no trace on the MDL.
}

PMDL MmAllocatePagesForMdlEx(PHYSICAL_ADDRESS LowAddress, PHYSICAL_ADDRESS HighAddress, PHYSICAL_ADDRESS SkipBytes,
                             SIZE_T TotalBytes, MEMORY_CACHING_TYPE CacheType, ULONG Flags) {
  UNREFERENCED_PARAMETER(LowAddress);
  UNREFERENCED_PARAMETER(HighAddress);
  UNREFERENCED_PARAMETER(SkipBytes);
  UNREFERENCED_PARAMETER(CacheType);
  if (!sim::kernel::CheckIrqlAtMost("MmAllocatePagesForMdlEx", DISPATCH_LEVEL)) return nullptr;
  if (TotalBytes == 0 || TotalBytes > 0xFFFFFFFFull) return nullptr;
  // As on a machine short of memory: fewer bytes than asked, which the
  // caller sees in the MDL's byte count.
  if (const SIZE_T limit = gPagesForMdlLimit.load(); limit != 0 && TotalBytes > limit) TotalBytes = limit;
  SIZE_T bytes = ROUND_TO_PAGES(TotalBytes);
  void* pages = std::aligned_alloc(PAGE_SIZE, bytes);
  if (!pages) return nullptr;
  if (!(Flags & MM_DONT_ZERO_ALLOCATION)) memset(pages, 0, bytes);
  // The descriptor itself comes from pool: the caller frees it with ExFreePool.
  SIZE_T size = sizeof(MDL) + sizeof(PFN_NUMBER) * (bytes >> PAGE_SHIFT);
  auto mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPoolNx, size, sim::pool::MakeTag("Mdl ")));
  if (!mdl) {
    std::free(pages);
    return nullptr;
  }
  memset(mdl, 0, size);
  mdl->Size = static_cast<CSHORT>(size);
  mdl->ByteCount = static_cast<ULONG>(TotalBytes);
  mdl->MdlFlags = static_cast<CSHORT>(MDL_PAGES_LOCKED | kMdlPagesForMdl);
  PPFN_NUMBER pfn = MmGetMdlPfnArray(mdl);
  for (SIZE_T i = 0; i < (bytes >> PAGE_SHIFT); i++) {
    pfn[i] = (reinterpret_cast<ULONG_PTR>(pages) >> PAGE_SHIFT) + i;
  }
  std::lock_guard<std::mutex> l(T().lock);
  T().mdls[mdl] = MdlRecord{sim::io::CurrentDriver(), pages, false};
  return mdl;
}

PMDL MmAllocatePagesForMdl(PHYSICAL_ADDRESS LowAddress, PHYSICAL_ADDRESS HighAddress, PHYSICAL_ADDRESS SkipBytes,
                           SIZE_T TotalBytes) {
  return MmAllocatePagesForMdlEx(LowAddress, HighAddress, SkipBytes, TotalBytes, MmCached, 0);
}

void MmFreePagesFromMdl(PMDL MemoryDescriptorList) {
  PMDL mdl = MemoryDescriptorList;
  void* pages;
  {
    std::lock_guard<std::mutex> l(T().lock);
    auto it = T().mdls.find(mdl);
    if (it == T().mdls.end() || !it->second.pages) {
      Fail("MmFreePagesFromMdl", "MDL %p does not describe pages from MmAllocatePagesForMdl", mdl);
      return;
    }
    if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) {
      Fail("MmFreePagesFromMdl", "the pages of MDL %p are still mapped (call MmUnmapLockedPages first)", mdl);
      return;
    }
    pages = it->second.pages;
    T().mdls.erase(it);
  }
  std::free(pages);
  mdl->MdlFlags &= ~(MDL_PAGES_LOCKED | kMdlPagesForMdl);
  mdl->ByteCount = 0;
}

PHYSICAL_ADDRESS MmGetPhysicalAddress(PVOID BaseAddress) {
  PHYSICAL_ADDRESS pa;
  pa.QuadPart = static_cast<LONGLONG>(reinterpret_cast<ULONG_PTR>(BaseAddress));
  return pa;
}

}  // extern "C"
