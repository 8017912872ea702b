// The simulated device a troxsim command runs on: a built-in model or a
// descriptor file, at an optional speed.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "sim/usb/device/usb_audio_device.h"

namespace troxsim {

struct DeviceChoice {
  std::string device;       // a built-in model name (the default model when both are empty)
  std::string descriptors;  // or a descriptor file
  std::optional<std::string> speed;  // "full" or "high"
};

// The device, or null with `error` set (a usage error: unknown model, bad
// speed, unreadable file). `label` names it for the output.
std::unique_ptr<sim::usb::UsbAudioDevice> MakeDevice(const DeviceChoice& choice, std::string* label,
                                                     std::string* error);

}  // namespace troxsim
