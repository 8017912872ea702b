// <mmreg.h> of mingw-w64 uses the Windows base types without including them;
// in kernel mode there are no GDI bitmap types (as <portcls.h> does, leave
// out the bitmap-based records).
#pragma once
#include <windef.h>
#ifndef _WINGDI_
#ifndef NOBITMAP
#define NOBITMAP
#define TROX_COMPAT_NOBITMAP
#endif
#endif
#include_next <mmreg.h>
#ifdef TROX_COMPAT_NOBITMAP
#undef NOBITMAP
#undef TROX_COMPAT_NOBITMAP
#endif
