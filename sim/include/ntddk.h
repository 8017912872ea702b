// Host-build stand-in for <ntddk.h>.
#pragma once
#include <wdm.h>
