// Little-endian PCM samples of 1 to 4 bytes to and from 32-bit values with the
// sample's most significant bit at bit 31.
#pragma once

#include <cstdint>

namespace sim::usb {

int32_t ReadSample(const uint8_t* p, uint32_t bytes);
void WriteSample(uint8_t* p, uint32_t bytes, int32_t value);

}  // namespace sim::usb
