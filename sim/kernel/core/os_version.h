// The Windows version the stand-in pretends to be (answers
// RtlIsNtDdiVersionAvailable). Default: Windows 10 (NTDDI_WIN10).
#pragma once
#include <wdm.h>

namespace sim::kernel {

void SetOsVersion(ULONG ntddiVersion);
ULONG OsVersion();

// Frequency KeQueryPerformanceCounter reports and counts at (default 10 MHz;
// Windows machines also show 3 MHz and others). 0 restores the default.
void SetPerformanceFrequency(int64_t hertz);
int64_t PerformanceFrequency();

}  // namespace sim::kernel
