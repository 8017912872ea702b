// Purpose-made descriptor sets for the format selection tests.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/usb/device/descriptor_builder.h"

namespace formattest {

struct Uac2Alt {
  uint8_t channels;
  uint8_t subslot;
  uint8_t bits;
  uint32_t bmFormats = 1;
  uint16_t wMaxPacketSize = 1024;
  uint8_t bInterval = 1;
};

// Class 2.0: clock 10, playback interface 1 (terminal 1) with `playback`
// alternates, capture interface 2 (terminal 6) with `capture` alternates
// (none: no capture interface).
sim::usb::ConfigurationBuilder Uac2Device(const std::vector<Uac2Alt>& playback, const std::vector<Uac2Alt>& capture);

struct Uac1Alt {
  uint8_t channels;
  uint8_t subframe;
  uint8_t bits;
  std::vector<uint32_t> rates;  // two values with `continuous`
  bool continuous = false;
  uint8_t epAttributes = 0x01;  // EP_GENERAL bmAttributes (bit 0: sampling frequency control)
  uint16_t wMaxPacketSize = 196;
  uint16_t formatTag = 1;
};

// Class 1.0: playback interface 1 (terminal 1), capture interface 2
// (terminal 5) when `capture` is not empty.
sim::usb::ConfigurationBuilder Uac1Device(const std::vector<Uac1Alt>& playback, const std::vector<Uac1Alt>& capture);

}  // namespace formattest
