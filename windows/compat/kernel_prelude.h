// Definitions the mingw-w64 DDK headers expect from the compiler environment
// of the Windows Driver Kit; included before the first DDK header.
#pragma once

// <intrin.h> already defines these as intrinsics; keep wdm.h from defining
// them a second time.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

// Compiler-specific class attributes without a GCC equivalent.
#ifndef DECLSPEC_NOVTABLE
#define DECLSPEC_NOVTABLE
#endif
#ifndef DECLSPEC_NOTHROW
#define DECLSPEC_NOTHROW
#endif
