// Turns raw USB descriptors into the text that `troxsim usb` prints: the device
// descriptor, the configuration with every interface and alternate setting, their
// endpoints and the Audio Class descriptors (1.0 and 2.0) decoded field by field.
// It decodes what is there and says so where a descriptor is cut short; it never
// reads past the bytes it is given.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace troxsim {

// Looks up string descriptor `index` (UTF-8, empty when the device has none).
using StringLookup = std::function<std::string(uint8_t index)>;

void PrintDeviceDescriptor(std::ostream& out, const std::vector<uint8_t>& device, const StringLookup& strings);

// `highSpeed` decides how bInterval values read (frames or microframes).
void PrintConfiguration(std::ostream& out, const std::vector<uint8_t>& configuration, bool highSpeed,
                        const StringLookup& strings);

}  // namespace troxsim
