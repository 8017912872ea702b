// Pool policy of the driver and the allocation helpers every product object
// and buffer goes through. Nothing in the driver uses the global allocator.
#pragma once
#include "platform.h"
#include "base/pool_tags.h"

// Chooses the pool type and mapping priority for the running Windows version:
// no-execute non-paged pool and no-execute mappings from Windows 8 on, the
// plain non-paged pool before. Called once by DriverEntry.
void SelectPoolPolicy();

// Pool type of every allocation of the driver.
POOL_TYPE DriverPoolType();
// Page priority for MmMapLockedPagesSpecifyCache.
ULONG DriverPagePriority();

// Zeroed buffer from the driver's pool type; null when the pool is exhausted.
PVOID AllocateDriverPool(SIZE_T size, ULONG tag);
// Frees a buffer of AllocateDriverPool; the tag must be the one it was allocated with.
void FreeDriverPool(PVOID buffer, ULONG tag);

// Base of every product class whose objects live in pool:
//     CThing* thing = new (DriverPoolType(), kPoolTagDriver) CThing(...);
//     delete thing;  // frees with the tag it was allocated with
// The memory is zeroed before construction, as port class's allocator does.
// A class derived from this one cannot be created with a plain `new`.
class CPoolObject {
 public:
  // noexcept: a failed allocation yields null and no constructor runs.
  static void* operator new(SIZE_T size, POOL_TYPE poolType, ULONG tag) noexcept;
  static void* operator new[](SIZE_T size, POOL_TYPE poolType, ULONG tag) noexcept;
  static void operator delete(void* object) noexcept;
  static void operator delete[](void* object) noexcept;

 protected:
  CPoolObject() = default;
  ~CPoolObject() = default;
};
