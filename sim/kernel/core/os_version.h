// The Windows version the stand-in pretends to be (answers
// RtlIsNtDdiVersionAvailable). Default: Windows 10 (NTDDI_WIN10).
#pragma once
#include <wdm.h>

namespace sim::kernel {

void SetOsVersion(ULONG ntddiVersion);
ULONG OsVersion();

}  // namespace sim::kernel
