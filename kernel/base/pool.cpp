#include "base/pool.h"

namespace {

POOL_TYPE g_PoolType = NonPagedPool;
ULONG g_PagePriority = NormalPagePriority;

// Pool objects carry their tag in front of them so that delete can free with
// the right tag; the header keeps the object 16-byte aligned.
struct alignas(16) PoolObjectHeader {
  ULONG Tag;
};
static_assert(sizeof(PoolObjectHeader) == 16, "pool objects stay 16-byte aligned");

void* AllocatePoolObject(SIZE_T size, POOL_TYPE poolType, ULONG tag) {
  if (size > ~(SIZE_T)0 - sizeof(PoolObjectHeader)) return nullptr;
  PVOID block = ExAllocatePoolWithTag(poolType, size + sizeof(PoolObjectHeader), tag);
  if (block == nullptr) return nullptr;
  RtlZeroMemory(block, size + sizeof(PoolObjectHeader));
  PoolObjectHeader* header = static_cast<PoolObjectHeader*>(block);
  header->Tag = tag;
  return header + 1;
}

void FreePoolObject(void* object) {
  if (object == nullptr) return;
  PoolObjectHeader* header = static_cast<PoolObjectHeader*>(object) - 1;
  ExFreePoolWithTag(header, header->Tag);
}

}  // namespace

void SelectPoolPolicy() {
  if (RtlIsNtDdiVersionAvailable(NTDDI_WIN8)) {
    g_PoolType = NonPagedPoolNx;
    g_PagePriority = static_cast<ULONG>(NormalPagePriority) | MdlMappingNoExecute;
  } else {
    g_PoolType = NonPagedPool;
    g_PagePriority = NormalPagePriority;
  }
}

POOL_TYPE DriverPoolType() { return g_PoolType; }

ULONG DriverPagePriority() { return g_PagePriority; }

PVOID AllocateDriverPool(SIZE_T size, ULONG tag) {
  PVOID buffer = ExAllocatePoolWithTag(g_PoolType, size, tag);
  if (buffer != nullptr) RtlZeroMemory(buffer, size);
  return buffer;
}

void FreeDriverPool(PVOID buffer, ULONG tag) {
  if (buffer != nullptr) ExFreePoolWithTag(buffer, tag);
}

void* CPoolObject::operator new(SIZE_T size, POOL_TYPE poolType, ULONG tag) noexcept {
  return AllocatePoolObject(size, poolType, tag);
}

void* CPoolObject::operator new[](SIZE_T size, POOL_TYPE poolType, ULONG tag) noexcept {
  return AllocatePoolObject(size, poolType, tag);
}

void CPoolObject::operator delete(void* object) noexcept { FreePoolObject(object); }

void CPoolObject::operator delete[](void* object) noexcept { FreePoolObject(object); }
