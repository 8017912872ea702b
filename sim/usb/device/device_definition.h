// Everything a simulated audio device is made from: its raw descriptors, its
// strings and the few facts descriptors cannot carry (clock rates, speed).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/usb/device/usb_device.h"

namespace sim::usb {

// One subrange of an Audio Class 2.0 clock: min..max in steps of res (a
// single rate when min == max).
struct RateRange {
  uint32_t min;
  uint32_t max;
  uint32_t res;
};

struct DeviceDefinition {
  std::string name;
  Speed speed = Speed::High;
  std::vector<uint8_t> deviceDescriptor;         // 18 bytes
  std::vector<uint8_t> configurationDescriptor;  // whole set of configuration index 0
  std::map<uint8_t, std::string> strings;        // string index -> text (ASCII)
  // Rates every Audio Class 2.0 clock source offers; empty: derived from what
  // the streaming endpoints can carry.
  std::vector<RateRange> clockRanges;
  uint32_t initialRate = 48000;  // clock rate at power-up (a supported one is chosen if not)
  // Playback packets begin with a 4-byte little-endian count of the audio bytes
  // that follow (the device strips and checks it).
  bool playbackLengthHeader = false;
};

}  // namespace sim::usb
