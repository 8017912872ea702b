#include "audiofunction/audio_quirks.h"

#include <usb.h>

namespace {

struct QuirkEntry {
  USHORT VendorId;
  USHORT ProductId;
  AudioDeviceQuirks Quirks;
};

constexpr QuirkEntry kQuirks[] = {
    {.VendorId = 0x7F3A,
     .ProductId = 0x00C7,
     .Quirks = {.InterfaceClass = USB_DEVICE_CLASS_VENDOR_SPECIFIC,
                .ConfigureAllInterfaces = TRUE,
                .ShortPackets = FALSE,
                .PlaybackLengthHeader = TRUE}},
    {.VendorId = 0x0499,
     .ProductId = 0x1504,
     .Quirks = {.InterfaceClass = USB_DEVICE_CLASS_VENDOR_SPECIFIC,
                .ConfigureAllInterfaces = TRUE,
                .ShortPackets = FALSE,
                .PlaybackLengthHeader = FALSE}},
    {.VendorId = 0x20B1,
     .ProductId = 0x0002,
     .Quirks = {.InterfaceClass = USB_DEVICE_CLASS_AUDIO,
                .ConfigureAllInterfaces = TRUE,
                .ShortPackets = FALSE,
                .PlaybackLengthHeader = FALSE}},
    {.VendorId = 0x054C,
     .ProductId = 0x09D5,
     .Quirks = {.InterfaceClass = USB_DEVICE_CLASS_AUDIO,
                .ConfigureAllInterfaces = TRUE,
                .ShortPackets = FALSE,
                .PlaybackLengthHeader = FALSE}},
    {.VendorId = 0x0944,
     .ProductId = 0x020A,
     .Quirks = {.InterfaceClass = USB_DEVICE_CLASS_AUDIO,
                .ConfigureAllInterfaces = FALSE,
                .ShortPackets = TRUE,
                .PlaybackLengthHeader = FALSE}},
};

}  // namespace

AudioDeviceQuirks LookupAudioQuirks(USHORT VendorId, USHORT ProductId) {
  for (const QuirkEntry& entry : kQuirks) {
    if (entry.VendorId == VendorId && entry.ProductId == ProductId) {
      return entry.Quirks;
    }
  }
  return AudioDeviceQuirks{.InterfaceClass = USB_DEVICE_CLASS_AUDIO,
                           .ConfigureAllInterfaces = FALSE,
                           .ShortPackets = FALSE,
                           .PlaybackLengthHeader = FALSE};
}
