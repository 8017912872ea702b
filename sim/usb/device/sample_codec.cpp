// Sample container conversion.
#include "sim/usb/device/sample_codec.h"

namespace sim::usb {

int32_t ReadSample(const uint8_t* p, uint32_t bytes) {
  uint32_t v = 0;
  for (uint32_t i = 0; i < bytes && i < 4; ++i) v |= static_cast<uint32_t>(p[i]) << (8 * (4 - bytes + i));
  return static_cast<int32_t>(v);
}

void WriteSample(uint8_t* p, uint32_t bytes, int32_t value) {
  const uint32_t v = static_cast<uint32_t>(value);
  for (uint32_t i = 0; i < bytes && i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * (4 - bytes + i)));
}

}  // namespace sim::usb
