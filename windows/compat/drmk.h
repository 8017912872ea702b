// <drmk.h> of the mingw-w64 DDK uses the Windows base types and IUnknown
// without including their headers.
#pragma once
#include <wdm.h>
#include <windef.h>
#include <punknown.h>
#include_next <drmk.h>
