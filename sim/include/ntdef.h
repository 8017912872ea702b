// Host-build stand-in for <ntdef.h>: the basic NT types with their 64-bit
// Windows (LLP64) sizes. LONG and ULONG are 32-bit; pointers, handles and the
// *_PTR types are 64-bit. WCHAR is 16-bit (the build uses -fshort-wchar).
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

static_assert(sizeof(wchar_t) == 2, "the host build needs -fshort-wchar");

#ifndef IN
#define IN
#endif
#ifndef OUT
#define OUT
#endif
#ifndef OPTIONAL
#define OPTIONAL
#endif
#define CONST const
#define VOID void
#define NTAPI
#define NTSYSAPI
#define NTKERNELAPI
#define NTHALAPI
#define NTSTRSAFEDDI
#define FASTCALL
#define DECLSPEC_NOTHROW
#define DECLSPEC_NOVTABLE
#define DECLSPEC_NOINLINE __attribute__((noinline))
#define DECLSPEC_ALIGN(x) __attribute__((aligned(x)))
#define DECLSPEC_CACHEALIGN DECLSPEC_ALIGN(64)
#define FORCEINLINE inline __attribute__((always_inline))
#define POINTER_ALIGNMENT DECLSPEC_ALIGN(8)
#define ANYSIZE_ARRAY 1
#define STDMETHODCALLTYPE
#define __stdcall
#define __cdecl

#define _In_
#define _In_opt_
#define _Out_
#define _Out_opt_
#define _Inout_
#define _Inout_opt_
#define _In_reads_bytes_(x)
#define _Out_writes_bytes_(x)
#define _Must_inspect_result_
#define _IRQL_requires_max_(x)
#define _IRQL_requires_(x)
#define _Use_decl_annotations_
#define _Function_class_(x)
#define _When_(a, b)

typedef void* PVOID;
typedef const void* PCVOID;
typedef void *HANDLE, **PHANDLE;
typedef char CHAR, CCHAR, *PCHAR, *PSTR, *LPSTR;
typedef const char *PCSTR, *LPCSTR, *PCSZ;
typedef unsigned char UCHAR, *PUCHAR, BYTE, *PBYTE, BOOLEAN, *PBOOLEAN;
typedef short SHORT, CSHORT, *PSHORT;
typedef unsigned short USHORT, *PUSHORT, WORD, *PWORD;
typedef int LONG, *PLONG, INT, BOOL;
typedef unsigned int ULONG, *PULONG, UINT, DWORD, *PDWORD, ULONG32, UINT32;
typedef int LONG32, INT32;
typedef long long LONGLONG, *PLONGLONG, LONG64, INT64;
typedef unsigned long long ULONGLONG, *PULONGLONG, ULONG64, *PULONG64, UINT64, DWORD64;
typedef int64_t LONG_PTR, INT_PTR, SSIZE_T;
typedef uint64_t ULONG_PTR, *PULONG_PTR, UINT_PTR, SIZE_T, *PSIZE_T, DWORD_PTR, KAFFINITY;
typedef wchar_t WCHAR, *PWCHAR, *PWSTR, *LPWSTR;
typedef const wchar_t *PCWSTR, *LPCWSTR;
typedef LONG NTSTATUS, *PNTSTATUS;
typedef ULONG LOGICAL;
typedef ULONG ACCESS_MASK, *PACCESS_MASK;
typedef CCHAR KPROCESSOR_MODE;
typedef LONG KPRIORITY;
typedef UCHAR KIRQL, *PKIRQL;
typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;
typedef ULONGLONG REGHANDLE, *PREGHANDLE;

static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4, "LLP64: LONG is 32-bit");
static_assert(sizeof(PVOID) == 8 && sizeof(ULONG_PTR) == 8, "64-bit pointers");

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#ifndef NULL
#define NULL nullptr
#endif

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define C_ASSERT(e) static_assert(e, #e)
#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define RTL_FIELD_SIZE(type, field) (sizeof(((type*)0)->field))
#define RTL_NUMBER_OF(A) (sizeof(A) / sizeof((A)[0]))
#define ARRAYSIZE(A) RTL_NUMBER_OF(A)
#define CONTAINING_RECORD(address, type, field) ((type*)((PCHAR)(address) - (ULONG_PTR)offsetof(type, field)))

#define MAXUCHAR 0xff
#define MAXUSHORT 0xffff
#define MAXULONG 0xffffffffu
#define MAXLONG 0x7fffffff
#define MINLONG ((LONG)0x80000000)

typedef union _LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  };
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
  struct {
    ULONG LowPart;
    ULONG HighPart;
  };
  struct {
    ULONG LowPart;
    ULONG HighPart;
  } u;
  ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _LIST_ENTRY {
  struct _LIST_ENTRY* Flink;
  struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
  struct _SINGLE_LIST_ENTRY* Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

typedef WCHAR* PWCH;
typedef const WCHAR* PCWCH;

typedef struct _UNICODE_STRING {
  USHORT Length;         // bytes, without a terminator
  USHORT MaximumLength;  // bytes
  PWCH Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING {
  USHORT Length;
  USHORT MaximumLength;
  PCHAR Buffer;
} STRING, ANSI_STRING, *PSTRING, *PANSI_STRING;
typedef const STRING* PCANSI_STRING;

#define RTL_CONSTANT_STRING(s) \
  { (USHORT)(sizeof(s) - sizeof((s)[0])), (USHORT)sizeof(s), (PWCH)(s) }
#define DECLARE_CONST_UNICODE_STRING(_var, _string) \
  const WCHAR _var##_buffer[] = _string;            \
  const UNICODE_STRING _var = {sizeof(_string) - sizeof(WCHAR), sizeof(_string), (PWCH)_var##_buffer}

#ifndef GUID_DEFINED
#define GUID_DEFINED
typedef struct _GUID {
  ULONG Data1;
  USHORT Data2;
  USHORT Data3;
  UCHAR Data4[8];
} GUID;
#endif
typedef GUID *LPGUID, *PGUID, IID, CLSID, *REFIID_PTR;
typedef const GUID *LPCGUID, *PCGUID;
#ifdef __cplusplus
#define REFGUID const GUID&
#define REFIID const IID&
#define REFCLSID const IID&
inline bool IsEqualGUID(REFGUID a, REFGUID b) { return memcmp(&a, &b, sizeof(GUID)) == 0; }
// The same comparison for GUIDs known to be 8-byte aligned (wdm.h).
inline bool IsEqualGUIDAligned(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }
inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }
inline bool operator!=(REFGUID a, REFGUID b) { return !IsEqualGUID(a, b); }
#define InlineIsEqualGUID IsEqualGUID
#endif
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#define DEFINE_GUIDSTRUCT(g, n) struct n
#define DEFINE_GUIDNAMED(n) n

// Object attributes (registry keys, threads, device objects by name).
#define OBJ_INHERIT 0x00000002L
#define OBJ_PERMANENT 0x00000010L
#define OBJ_EXCLUSIVE 0x00000020L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_OPENIF 0x00000080L
#define OBJ_OPENLINK 0x00000100L
#define OBJ_KERNEL_HANDLE 0x00000200L
#define OBJ_FORCE_ACCESS_CHECK 0x00000400L

typedef struct _OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  PUNICODE_STRING ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;
typedef const OBJECT_ATTRIBUTES* PCOBJECT_ATTRIBUTES;

#define InitializeObjectAttributes(p, n, a, r, s) \
  do {                                            \
    (p)->Length = sizeof(OBJECT_ATTRIBUTES);      \
    (p)->RootDirectory = (r);                     \
    (p)->Attributes = (a);                        \
    (p)->ObjectName = (n);                        \
    (p)->SecurityDescriptor = (s);                \
    (p)->SecurityQualityOfService = NULL;         \
  } while (0)

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;
typedef enum _TIMER_TYPE { NotificationTimer, SynchronizationTimer } TIMER_TYPE;
typedef enum _WAIT_TYPE { WaitAll, WaitAny, WaitNotification, WaitDequeue } WAIT_TYPE;

typedef struct _PROCESSOR_NUMBER {
  USHORT Group;
  UCHAR Number;
  UCHAR Reserved;
} PROCESSOR_NUMBER, *PPROCESSOR_NUMBER;
