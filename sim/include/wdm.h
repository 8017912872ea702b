// Host-build stand-in for <wdm.h>: the Windows kernel API subset that the
// driver and the stand-ins use, with Windows names, values and 64-bit layouts.
#pragma once
#include <sim/wdm_types.h>
#include <sim/wdm_core.h>
#include <sim/wdm_io.h>
#include <sim/wdm_registry.h>
