// Descriptor sets of the built-in models (used by the model registry).
#pragma once

#include "sim/usb/device/device_definition.h"

namespace sim::usb::models {

DeviceDefinition Oxley10x6();
DeviceDefinition Oxley2x2();
DeviceDefinition Vendor00C7();
DeviceDefinition Uac2Implicit();
DeviceDefinition Uac2Feedback();
DeviceDefinition Uac1Feedback();
DeviceDefinition Uac1Adaptive();

}  // namespace sim::usb::models
