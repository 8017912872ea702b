// Descriptor dump loading and validation.
#include "sim/usb/device/descriptor_loader.h"

#include <cctype>
#include <fstream>
#include <iterator>

#include "sim/usb/device/byte_util.h"
#include "sim/usb/device/descriptor_parser.h"
#include "sim/usb/device/string_table.h"
#include "sim/usb/device/usb_constants.h"

namespace sim::usb {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

LoadResult Fail(std::string message) {
  LoadResult r;
  r.error = std::move(message);
  return r;
}

}  // namespace

bool ParseHexText(const std::string& text, std::vector<uint8_t>* bytes, std::string* error) {
  bytes->clear();
  size_t line = 1;
  size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '\n') {
      ++line;
      ++i;
    } else if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
    } else if (c == '#') {
      while (i < text.size() && text[i] != '\n') ++i;
    } else {
      size_t end = i;
      while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end])) && text[end] != '#') ++end;
      std::string token = text.substr(i, end - i);
      std::string digits = token;
      if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits = digits.substr(2);
      int value = 0;
      bool good = !digits.empty() && digits.size() <= 2;
      for (char d : digits) {
        const int h = HexDigit(d);
        if (h < 0) good = false;
        value = value * 16 + (h < 0 ? 0 : h);
      }
      if (!good) {
        *error = "line " + std::to_string(line) + ": '" + token.substr(0, 16) + "' is not a hex byte";
        return false;
      }
      bytes->push_back(static_cast<uint8_t>(value));
      i = end;
    }
  }
  return true;
}

LoadResult LoadDescriptorBytes(const std::vector<uint8_t>& bytes, const std::string& name,
                               std::optional<Speed> speed) {
  if (bytes.size() < 18) return Fail("shorter than a device descriptor (" + std::to_string(bytes.size()) + " bytes)");
  if (bytes[0] != 18 || bytes[1] != kDescDevice) return Fail("does not start with an 18-byte device descriptor");
  if (bytes.size() < 18 + 9) return Fail("no configuration descriptor after the device descriptor");
  const uint8_t* c = &bytes[18];
  if (c[0] < 9 || c[1] != kDescConfiguration) return Fail("no configuration descriptor after the device descriptor");
  const size_t total = Le16(c + 2);
  const size_t available = bytes.size() - 18;
  if (total < 9) return Fail("configuration wTotalLength " + std::to_string(total) + " is too small");
  if (total > available) {
    return Fail("configuration wTotalLength " + std::to_string(total) + " but only " + std::to_string(available) +
                " bytes follow");
  }
  std::vector<uint8_t> dev(bytes.begin(), bytes.begin() + 18);
  std::vector<uint8_t> cfg(bytes.begin() + 18, bytes.begin() + 18 + static_cast<std::ptrdiff_t>(total));
  AudioFunctionInfo info = ParseAudioFunction(dev, cfg);
  if (!info.problems.empty()) return Fail("configuration: " + info.problems.front());

  LoadResult r;
  r.ok = true;
  DeviceDefinition& def = r.definition;
  def.name = name;
  def.speed = speed ? *speed : (info.IsAudio20() ? Speed::High : Speed::Full);
  const uint16_t vid = Le16(&dev[8]);
  const uint16_t pid = Le16(&dev[10]);
  def.playbackLengthHeader = vid == kStreamModeVendor && pid == 0x00C7;
  StringTable::Complete(dev, cfg, info.stringIndices, def.strings);
  def.deviceDescriptor = std::move(dev);
  def.configurationDescriptor = std::move(cfg);
  return r;
}

LoadResult LoadDescriptorText(const std::string& text, const std::string& name, std::optional<Speed> speed) {
  std::vector<uint8_t> bytes;
  std::string error;
  if (!ParseHexText(text, &bytes, &error)) return Fail(error);
  return LoadDescriptorBytes(bytes, name, speed);
}

LoadResult LoadDescriptorFile(const std::string& path, std::optional<Speed> speed) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return Fail("cannot open " + path);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // Cap what a stray large file can make us hold; real descriptor sets are small.
  if (bytes.size() > (1u << 20)) return Fail(path + " is too large for a descriptor dump");
  const size_t slash = path.find_last_of('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (bytes.size() >= 2 && bytes[0] == 18 && bytes[1] == kDescDevice) return LoadDescriptorBytes(bytes, name, speed);
  return LoadDescriptorText(std::string(bytes.begin(), bytes.end()), name, speed);
}

}  // namespace sim::usb
