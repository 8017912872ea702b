// The little C++ runtime support the kernel driver needs in the Windows build:
// a kernel has no C++ runtime library. Product objects use the class-scope
// allocator of CPoolObject; the global operators below exist so that nothing
// can fall back to a user-mode heap, and they draw from the same pool.
#include "platform.h"

#include <new>

#include "base/pool.h"

namespace {

// Bug check code for an unhandled kernel-mode fault.
constexpr ULONG kBugCheckKmodeExceptionNotHandled = 0x0000001E;

void* AllocateGlobal(size_t size) {
  // Zero-size requests must still return a unique pointer.
  return AllocateDriverPool(size != 0 ? size : 1, kPoolTagDriver);
}

void FreeGlobal(void* object) { FreeDriverPool(object, kPoolTagDriver); }

}  // namespace

void* operator new(size_t size) { return AllocateGlobal(size); }
void* operator new[](size_t size) { return AllocateGlobal(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return AllocateGlobal(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return AllocateGlobal(size); }

void operator delete(void* object) noexcept { FreeGlobal(object); }
void operator delete[](void* object) noexcept { FreeGlobal(object); }
void operator delete(void* object, size_t) noexcept { FreeGlobal(object); }
void operator delete[](void* object, size_t) noexcept { FreeGlobal(object); }
void operator delete(void* object, const std::nothrow_t&) noexcept { FreeGlobal(object); }
void operator delete[](void* object, const std::nothrow_t&) noexcept { FreeGlobal(object); }

// Pool blocks are 16-byte aligned; stricter alignment is never requested by
// the driver, and a request for it is a programming error caught here.
void* operator new(size_t size, std::align_val_t alignment) {
  return static_cast<size_t>(alignment) <= MEMORY_ALLOCATION_ALIGNMENT ? AllocateGlobal(size) : nullptr;
}
void* operator new[](size_t size, std::align_val_t alignment) { return operator new(size, alignment); }
void operator delete(void* object, std::align_val_t) noexcept { FreeGlobal(object); }
void operator delete[](void* object, std::align_val_t) noexcept { FreeGlobal(object); }
void operator delete(void* object, size_t, std::align_val_t) noexcept { FreeGlobal(object); }
void operator delete[](void* object, size_t, std::align_val_t) noexcept { FreeGlobal(object); }

extern "C" {

// Called through a vtable slot that was never overridden: a driver bug that
// must not continue.
void __cxa_pure_virtual() {
  KeBugCheckEx(kBugCheckKmodeExceptionNotHandled, static_cast<ULONG_PTR>(STATUS_NOT_IMPLEMENTED),
               reinterpret_cast<ULONG_PTR>(__builtin_return_address(0)), 0, 0);
}

// Destructors of function-local statics would be registered here. The driver
// image is unloaded without running them, and the driver has none that matter.
int atexit(void (*)(void)) { return 0; }
int __cxa_atexit(void (*)(void*), void*, void*) { return 0; }
void* __dso_handle = nullptr;

}  // extern "C"
