// String descriptor encoding and the made-up strings of loaded descriptor dumps.
#include "sim/usb/device/string_table.h"

#include <cstdio>

#include "sim/usb/device/byte_util.h"

namespace sim::usb {

std::optional<std::vector<uint8_t>> StringTable::Descriptor(uint8_t index) const {
  if (index == 0) return std::vector<uint8_t>{4, 0x03, kLangIdUsEnglish & 0xFF, kLangIdUsEnglish >> 8};
  auto it = strings_.find(index);
  if (it == strings_.end()) return std::nullopt;
  // A descriptor holds at most 126 UTF-16 code units (bLength is one byte).
  const std::string& s = it->second;
  const size_t units = s.size() < 126 ? s.size() : 126;
  std::vector<uint8_t> d{static_cast<uint8_t>(2 + 2 * units), 0x03};
  for (size_t i = 0; i < units; ++i) AppendLe16(d, static_cast<uint8_t>(s[i]));
  return d;
}

void StringTable::Complete(std::vector<uint8_t>& dev, const std::vector<uint8_t>& cfg,
                           const std::set<uint8_t>& referenced, std::map<uint8_t, std::string>& strings) {
  if (dev.size() < 18) return;
  const uint16_t vid = Le16(&dev[8]);
  const uint16_t pid = Le16(&dev[10]);
  // A serial derived from the descriptor bytes keeps the same dump the same
  // device from run to run.
  uint32_t hash = 2166136261u;
  for (uint8_t b : dev) hash = (hash ^ b) * 16777619u;
  for (uint8_t b : cfg) hash = (hash ^ b) * 16777619u;
  char serial[32];
  std::snprintf(serial, sizeof serial, "SIM%04X%04X%08X", vid, pid, hash);
  char buf[64];
  for (uint8_t index : referenced) {
    auto it = strings.find(index);
    if (it != strings.end() && !it->second.empty()) continue;
    if (index == dev[16]) {
      std::snprintf(buf, sizeof buf, "%s", serial);
    } else if (index == dev[14]) {
      std::snprintf(buf, sizeof buf, "Vendor %04X", vid);
    } else if (index == dev[15]) {
      std::snprintf(buf, sizeof buf, "Audio Device %04X:%04X", vid, pid);
    } else {
      std::snprintf(buf, sizeof buf, "String %u", index);
    }
    strings[index] = buf;
  }
  if (dev[16] != 0) {
    if (strings[dev[16]].empty()) strings[dev[16]] = serial;
    return;
  }
  uint8_t index = 1;
  while (index < 255 && (referenced.count(index) != 0 || strings.count(index) != 0)) ++index;
  dev[16] = index;
  strings[index] = serial;
}

}  // namespace sim::usb
