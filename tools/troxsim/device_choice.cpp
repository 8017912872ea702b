#include "tools/troxsim/device_choice.h"

#include "sim/usb/device/descriptor_loader.h"
#include "sim/usb/device/device_models.h"

namespace troxsim {

std::unique_ptr<sim::usb::UsbAudioDevice> MakeDevice(const DeviceChoice& choice, std::string* label,
                                                     std::string* error) {
  std::optional<sim::usb::Speed> speed;
  if (choice.speed) {
    if (*choice.speed == "full") {
      speed = sim::usb::Speed::Full;
    } else if (*choice.speed == "high") {
      speed = sim::usb::Speed::High;
    } else {
      *error = "--speed takes full or high";
      return nullptr;
    }
  }
  if (!choice.descriptors.empty()) {
    if (!choice.device.empty()) {
      *error = "give either --device or --descriptors";
      return nullptr;
    }
    sim::usb::LoadResult loaded = sim::usb::LoadDescriptorFile(choice.descriptors, speed);
    if (!loaded.ok) {
      *error = choice.descriptors + ": " + loaded.error;
      return nullptr;
    }
    *label = choice.descriptors;
    return std::make_unique<sim::usb::UsbAudioDevice>(loaded.definition);
  }
  std::string name = choice.device.empty() ? std::string(sim::usb::kDefaultModel) : choice.device;
  auto definition = sim::usb::ModelDefinition(name);
  if (!definition) {
    *error = "no built-in device '" + name + "' (see troxsim devices)";
    return nullptr;
  }
  if (speed) definition->speed = *speed;
  *label = name;
  return std::make_unique<sim::usb::UsbAudioDevice>(*definition);
}

}  // namespace troxsim
