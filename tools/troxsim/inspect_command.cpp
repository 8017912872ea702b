// Command line of `troxsim inspect`.
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "tools/troxsim/commands.h"
#include "tools/troxsim/bed_choice.h"
#include "tools/troxsim/inspect.h"
#include "tools/troxsim/options.h"

namespace troxsim {

int RunInspectCommand(int argc, char** argv, int first) {
  Options options;
  std::string error;
  const std::vector<std::string> known = {"device", "descriptors", "speed", "json", "rate", "format", "controller"};
  if (!options.Parse(argc, argv, first, {"json"}, &error, known)) {
    std::cerr << "troxsim inspect: " << error << "\n";
    return 2;
  }
  if (auto unknown = options.Unknown(known); !unknown.empty()) {
    std::cerr << "troxsim inspect: unknown option --" << unknown.front() << "\n";
    return 2;
  }
  InspectOptions inspect;
  if (auto controller = options.Get("controller")) {
    sim::usb::ControllerInfo info;
    if (!ParseController(*controller, &info)) {
      std::cerr << "troxsim inspect: --controller takes VENDOR:FLAVOR (hexadecimal PCI vendor, flavor number), not '"
                << *controller << "'\n";
      return 2;
    }
    inspect.controller = info;
  }
  inspect.choice.device = options.Get("device").value_or("");
  inspect.choice.descriptors = options.Get("descriptors").value_or("");
  if (options.Has("device") && inspect.choice.device.empty()) {
    std::cerr << "troxsim inspect: --device needs a name\n";
    return 2;
  }
  if (options.Has("descriptors") && inspect.choice.descriptors.empty()) {
    std::cerr << "troxsim inspect: --descriptors needs a file\n";
    return 2;
  }
  inspect.choice.speed = options.Get("speed");
  inspect.json = options.Has("json");
  if (auto rate = options.Get("rate")) {
    char* end = nullptr;
    unsigned long value = std::strtoul(rate->c_str(), &end, 10);
    if (rate->empty() || *end != '\0' || (*rate)[0] == '-' || value == 0 || value > 0xFFFFFFFFul) {
      std::cerr << "troxsim inspect: --rate takes a rate in Hz\n";
      return 2;
    }
    inspect.rate = static_cast<uint32_t>(value);
  }
  inspect.format = options.Get("format").value_or("pcm");
  return RunInspect(inspect, std::cout, std::cerr);
}

}  // namespace troxsim
