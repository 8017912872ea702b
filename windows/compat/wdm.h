// <wdm.h> of the mingw-w64 DDK plus the parts of the documented kernel API
// that it lacks.
#pragma once
#include "kernel_prelude.h"

// mingw-w64 declares the priority argument as MM_PAGE_PRIORITY; since
// Windows 8 it is a ULONG so that MdlMappingNoExecute can be combined with a
// priority. The header's declaration is moved out of the way and the
// documented one follows below.
#define MmMapLockedPagesSpecifyCache TroxCompatMingwMmMapLockedPagesSpecifyCache
#include_next <wdm.h>
#undef MmMapLockedPagesSpecifyCache

#ifdef __cplusplus
extern "C" {
#endif

// Pool allocation of Windows 10 version 2004 and later.
#ifndef POOL_FLAG_REQUIRED_START
typedef ULONG64 POOL_FLAGS;
#define POOL_FLAG_REQUIRED_START 0x0000000000000001ULL
#define POOL_FLAG_USE_QUOTA 0x0000000000000001ULL
#define POOL_FLAG_UNINITIALIZED 0x0000000000000002ULL
#define POOL_FLAG_SESSION 0x0000000000000004ULL
#define POOL_FLAG_CACHE_ALIGNED 0x0000000000000008ULL
#define POOL_FLAG_RAISE_ON_FAILURE 0x0000000000000020ULL
#define POOL_FLAG_NON_PAGED 0x0000000000000040ULL
#define POOL_FLAG_NON_PAGED_EXECUTE 0x0000000000000080ULL
#define POOL_FLAG_PAGED 0x0000000000000100ULL
#define POOL_FLAG_REQUIRED_END 0x0000000080000000ULL
NTKERNELAPI PVOID NTAPI ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag);
#endif

// Pool type modifier selecting no-execute non-paged pool (Windows 8 and later).
#ifndef POOL_NX_ALLOCATION
#define POOL_NX_ALLOCATION 512
#endif

// MmMapLockedPagesSpecifyCache priority flag: map without execute permission
// (Windows 8 and later).
#ifndef MdlMappingNoExecute
#define MdlMappingNoExecute 0x40000000
#endif

// Event levels of Event Tracing for Windows; <evntrace.h> defines them for
// user mode only.
#ifndef TRACE_LEVEL_NONE
#define TRACE_LEVEL_NONE 0
#define TRACE_LEVEL_CRITICAL 1
#define TRACE_LEVEL_FATAL 1
#define TRACE_LEVEL_ERROR 2
#define TRACE_LEVEL_WARNING 3
#define TRACE_LEVEL_INFORMATION 4
#define TRACE_LEVEL_VERBOSE 5
#endif

NTKERNELAPI PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                                     MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                                     ULONG BugCheckOnFailure, ULONG Priority);

// Exported by ntoskrnl.exe since Windows XP; the header only declares it for
// file-system builds.
NTKERNELAPI PDEVICE_OBJECT NTAPI IoGetLowerDeviceObject(PDEVICE_OBJECT DeviceObject);

#ifdef __cplusplus
}
#endif

// The header routes this call to the static version-helper library of the
// kit, which mingw-w64 does not ship; ntoskrnl.exe exports it (Windows Vista
// and later).
#ifdef RtlIsNtDdiVersionAvailable
#undef RtlIsNtDdiVersionAvailable
#endif
#ifdef __cplusplus
extern "C"
#endif
    NTSYSAPI BOOLEAN NTAPI
    RtlIsNtDdiVersionAvailable(ULONG Version);

// RtlQueryRegistryValues' type check of direct entries (wdm.h of the kit
// since Windows 8; older systems ignore the flag).
#ifndef RTL_QUERY_REGISTRY_TYPECHECK
#define RTL_QUERY_REGISTRY_TYPECHECK 0x00000100
#define RTL_QUERY_REGISTRY_TYPECHECK_SHIFT 24
#define RTL_QUERY_REGISTRY_TYPECHECK_MASK (0xff << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT)
#endif
