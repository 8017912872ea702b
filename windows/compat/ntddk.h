// <ntddk.h> of the mingw-w64 DDK, with <wdm.h> completed first (see wdm.h).
#pragma once
#include <wdm.h>
#include_next <ntddk.h>
