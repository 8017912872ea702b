// `troxsim usb --driver`: the device streams through the driver's own
// transfer layer (format selection, playback packetization, capture and
// feedback reads) instead of the tool's transfers, and the device's counters
// are printed.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "sim/testbed/testbed.h"
#include "sim/usb/device/usb_audio_device.h"

namespace troxsim {

struct UsbDriverOptions {
  double seconds = 3;
  double drift = 0;               // as already set on the device, for the text
  std::optional<uint32_t> rate;   // absent: 48000, 44100 or 96000, else the lowest supported
};

// Exit code: 0 a clean run, 1 the driver refused the device or the run had
// problems (listed on `out`). The device is plugged into `bed`, which it must
// outlive.
int RunUsbThroughDriver(sim::testbed::Testbed& bed, sim::usb::UsbAudioDevice& device, const std::string& label, const UsbDriverOptions& options,
                        std::ostream& out, std::ostream& err);

}  // namespace troxsim
