// Loads a real device's descriptors: the Linux sysfs `descriptors` binary
// (18-byte device descriptor followed by the configuration descriptor set) or
// the same bytes as hex text ('#' comments, optional 0x prefixes). Malformed
// input gives an error string, never an out-of-bounds read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/usb/device/device_definition.h"

namespace sim::usb {

struct LoadResult {
  bool ok = false;
  std::string error;
  DeviceDefinition definition;
};

// Hex text to bytes; false with a message naming the line on a bad token.
bool ParseHexText(const std::string& text, std::vector<uint8_t>* bytes, std::string* error);

// speed: when not given, high speed for an Audio Class 2.0 function, else full.
LoadResult LoadDescriptorBytes(const std::vector<uint8_t>& bytes, const std::string& name = "dump",
                               std::optional<Speed> speed = std::nullopt);
LoadResult LoadDescriptorText(const std::string& text, const std::string& name = "dump",
                              std::optional<Speed> speed = std::nullopt);
// Reads a file and tells binary from text by its first two bytes (0x12 0x01).
LoadResult LoadDescriptorFile(const std::string& path, std::optional<Speed> speed = std::nullopt);

}  // namespace sim::usb
