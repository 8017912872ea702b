// `troxsim devices`: the built-in device models.
#include <cstdio>
#include <string>

#include "sim/usb/device/device_models.h"
#include "tools/troxsim/commands.h"
#include "tools/troxsim/options.h"

namespace troxsim {

int RunDevices(int argc, char** argv, int first) {
  Options options;
  std::string error;
  if (!options.Parse(argc, argv, first, {}, &error) || !options.Unknown({}).empty()) {
    std::fprintf(stderr, "troxsim devices: %s\n", error.empty() ? "takes no options" : error.c_str());
    return 2;
  }
  std::printf("%-14s %-6s %-7s %-5s %-5s %4s %4s  %s\n", "NAME", "VENDOR", "PRODUCT", "CLASS", "SPEED", "IN", "OUT",
              "DESCRIPTION");
  for (const auto& m : sim::usb::ListModels()) {
    std::printf("%-14s 0x%04X 0x%04X  %X.%X   %-5s %4u %4u  %s%s\n", m.name.c_str(), m.vendorId, m.productId,
                m.audioClass >> 8, (m.audioClass >> 4) & 0xF, m.speed == sim::usb::Speed::High ? "high" : "full",
                m.channelsIn, m.channelsOut, m.description.c_str(),
                m.name == sim::usb::kDefaultModel ? " (default)" : "");
  }
  return 0;
}

}  // namespace troxsim
