// `troxsim inspect`: loads the driver, plugs the device in, lets the driver's
// audio function attach and configure it as device start does, and prints the
// model the driver built.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "sim/usb/bus/host_controller.h"
#include "tools/troxsim/device_choice.h"

namespace troxsim {

struct InspectOptions {
  DeviceChoice choice;
  bool json = false;
  std::optional<uint32_t> rate;  // --rate: the format selection's rate (absent: 48000 or the lowest supported)
  std::string format = "pcm";    // --format: "pcm" or "float"
  // --controller VENDOR:FLAVOR: the host controller the device hangs on.
  std::optional<sim::usb::ControllerInfo> controller;
};

// Exit code: 0 the model was printed, 1 the driver refused the device (the
// failed step and its status are printed), 2 bad options or an unreadable
// descriptor file (message on `err`).
int RunInspect(const InspectOptions& options, std::ostream& out, std::ostream& err);

}  // namespace troxsim
