// Host-build stand-in for <drmk.h>: the content-forwarding record that an
// audio driver hands to the DRM system for its lower device.
#pragma once
#include <wdm.h>

typedef struct {
  DWORD Flags;
  PDEVICE_OBJECT DeviceObject;
  PFILE_OBJECT FileObject;
  PVOID Context;
} DRMFORWARD, *PDRMFORWARD, *PCDRMFORWARD;
static_assert(sizeof(DRMFORWARD) == 32, "64-bit Windows layout");
