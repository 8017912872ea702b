// Writes the fuzzer's seed inputs: for each built-in model and each
// descriptor file given, the 18-byte device descriptor followed by the
// configuration set, with bit 1 of byte 3 set for a high-speed device.
//   fuzz_seed_writer <out-dir> [descriptor file ...]
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "sim/usb/device/descriptor_loader.h"
#include "sim/usb/device/device_models.h"

namespace {

bool Write(const std::string& path, const sim::usb::DeviceDefinition& d) {
  std::vector<uint8_t> bytes = d.deviceDescriptor;
  bytes.resize(18, 0);
  if (d.speed == sim::usb::Speed::High) {
    bytes[3] |= 0x02;
  } else {
    bytes[3] &= static_cast<uint8_t>(~0x02);
  }
  bytes.insert(bytes.end(), d.configurationDescriptor.begin(), d.configurationDescriptor.end());
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    fprintf(stderr, "cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.find_last_of('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s <out-dir> [descriptor file ...]\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  bool ok = true;
  for (const sim::usb::ModelInfo& m : sim::usb::ListModels()) {
    const auto d = sim::usb::ModelDefinition(m.name);
    ok = d.has_value() && Write(dir + "/model-" + m.name, *d) && ok;
  }
  for (int i = 2; i < argc; ++i) {
    const sim::usb::LoadResult r = sim::usb::LoadDescriptorFile(argv[i]);
    if (!r.ok) {
      fprintf(stderr, "%s: %s\n", argv[i], r.error.c_str());
      ok = false;
      continue;
    }
    ok = Write(dir + "/file-" + BaseName(argv[i]), r.definition) && ok;
  }
  return ok ? 0 : 1;
}
