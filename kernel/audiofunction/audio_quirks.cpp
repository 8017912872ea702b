#include "audiofunction/audio_quirks.h"

#include <usb.h>

namespace {

struct QuirkEntry {
  USHORT VendorId;
  USHORT ProductId;
  AudioDeviceQuirks Quirks;
};

constexpr QuirkEntry kQuirks[] = {
    {0x7F3A, 0x00C7, {USB_DEVICE_CLASS_VENDOR_SPECIFIC, TRUE, FALSE, TRUE}},
    {0x0499, 0x1504, {USB_DEVICE_CLASS_VENDOR_SPECIFIC, TRUE, FALSE, FALSE}},
    {0x20B1, 0x0002, {USB_DEVICE_CLASS_AUDIO, TRUE, FALSE, FALSE}},
    {0x054C, 0x09D5, {USB_DEVICE_CLASS_AUDIO, TRUE, FALSE, FALSE}},
    {0x0944, 0x020A, {USB_DEVICE_CLASS_AUDIO, FALSE, TRUE, FALSE}},
};

}  // namespace

AudioDeviceQuirks LookupAudioQuirks(USHORT VendorId, USHORT ProductId) {
  for (const QuirkEntry& entry : kQuirks) {
    if (entry.VendorId == VendorId && entry.ProductId == ProductId) {
      return entry.Quirks;
    }
  }
  return AudioDeviceQuirks{USB_DEVICE_CLASS_AUDIO, FALSE, FALSE, FALSE};
}
