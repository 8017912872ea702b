// Capture test signals.
#include "sim/usb/device/test_signal.h"

#include <cmath>
#include <numbers>

namespace sim::usb {

uint32_t CounterSample(uint32_t channel, uint64_t frame, uint32_t subslotBytes) {
  if (subslotBytes == 0 || subslotBytes > 4) return 0;
  const uint32_t lowBits = 8 * (subslotBytes - 1);
  const uint64_t lowMask = (uint64_t{1} << lowBits) - 1;
  return static_cast<uint32_t>(((uint64_t{channel} & 0xFF) << lowBits) | (frame & lowMask));
}

int32_t SineSample(uint64_t frame, uint32_t rate, double frequencyHz) {
  if (rate == 0) return 0;
  // Reduce the phase in whole cycles first so long runs keep their precision.
  const double cycles = std::fmod(static_cast<double>(frame) * frequencyHz / rate, 1.0);
  return static_cast<int32_t>(std::lround(std::sin(2.0 * std::numbers::pi * cycles) * 1073741823.0));
}

}  // namespace sim::usb
