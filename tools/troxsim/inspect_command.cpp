// Command line of `troxsim inspect`.
#include <iostream>
#include <string>
#include <vector>

#include "tools/troxsim/commands.h"
#include "tools/troxsim/inspect.h"
#include "tools/troxsim/options.h"

namespace troxsim {

int RunInspectCommand(int argc, char** argv, int first) {
  Options options;
  std::string error;
  if (!options.Parse(argc, argv, first, {"json"}, &error)) {
    std::cerr << "troxsim inspect: " << error << "\n";
    return 2;
  }
  if (auto unknown = options.Unknown({"device", "descriptors", "speed", "json"}); !unknown.empty()) {
    std::cerr << "troxsim inspect: unknown option --" << unknown.front() << "\n";
    return 2;
  }
  InspectOptions inspect;
  inspect.device = options.Get("device").value_or("");
  inspect.descriptors = options.Get("descriptors").value_or("");
  if (options.Has("device") && inspect.device.empty()) {
    std::cerr << "troxsim inspect: --device needs a name\n";
    return 2;
  }
  if (options.Has("descriptors") && inspect.descriptors.empty()) {
    std::cerr << "troxsim inspect: --descriptors needs a file\n";
    return 2;
  }
  inspect.speed = options.Get("speed");
  inspect.json = options.Has("json");
  return RunInspect(inspect, std::cout, std::cerr);
}

}  // namespace troxsim
