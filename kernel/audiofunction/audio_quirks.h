// What a few devices need beyond the class standard, by vendor and product.
#pragma once
#include "platform.h"

struct AudioDeviceQuirks {
  UCHAR InterfaceClass;            // bInterfaceClass of the audio interfaces
  BOOLEAN ConfigureAllInterfaces;  // the configuration must list every interface
  BOOLEAN ShortPackets;            // the short-packet quirk of the format selection
  BOOLEAN PlaybackLengthHeader;    // playback packets start with a 4-byte length
};

AudioDeviceQuirks LookupAudioQuirks(USHORT VendorId, USHORT ProductId);
