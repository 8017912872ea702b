// The built-in simulated devices, by name.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/usb/device/device_definition.h"
#include "sim/usb/device/usb_audio_device.h"

namespace sim::usb {

inline constexpr const char* kDefaultModel = "oxley-10x6";

struct ModelInfo {
  std::string name;
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  uint16_t audioClass = 0;  // 0x0100 or 0x0200
  Speed speed = Speed::High;
  uint32_t channelsIn = 0;   // capture
  uint32_t channelsOut = 0;  // playback
  std::string description;
};

// All built-in models, the default first.
const std::vector<ModelInfo>& ListModels();
std::optional<DeviceDefinition> ModelDefinition(const std::string& name);
// A new device of the named model; null for an unknown name.
std::unique_ptr<UsbAudioDevice> CreateModel(const std::string& name);

}  // namespace sim::usb
