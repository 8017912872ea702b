// String descriptors of a simulated device: string 0 (LANGID list, US English)
// and the text strings, encoded as UTF-16LE descriptors.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace sim::usb {

inline constexpr uint16_t kLangIdUsEnglish = 0x0409;

class StringTable {
 public:
  StringTable() = default;
  explicit StringTable(std::map<uint8_t, std::string> strings) : strings_(std::move(strings)) {}

  // The descriptor for an index, or nothing when the device has no such string.
  std::optional<std::vector<uint8_t>> Descriptor(uint8_t index) const;
  const std::map<uint8_t, std::string>& Strings() const { return strings_; }

  // Gives every referenced index that has no text a made-up one and, when the
  // device descriptor names no serial number, picks an unused index for a
  // made-up serial and patches iSerialNumber in the device descriptor.
  static void Complete(std::vector<uint8_t>& deviceDescriptor, const std::vector<uint8_t>& configuration,
                       const std::set<uint8_t>& referenced, std::map<uint8_t, std::string>& strings);

 private:
  std::map<uint8_t, std::string> strings_;
};

}  // namespace sim::usb
