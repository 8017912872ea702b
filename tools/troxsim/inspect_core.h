// What the device core decided when it started the device: format mode,
// engine tunables, the host-controller workaround, DSD support, the serial
// number and the device sample rate.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "platform.h"
#include "adapter/adapter_common.h"
#include "tools/troxsim/json_writer.h"

namespace troxsim {

struct DeviceCoreReport {
  bool perStreamFormatMode = false;
  EngineTunables tunables = {};
  uint32_t renderTuningFlags = 0;
  uint32_t captureTuningFlags = 0;
  bool controllerQueried = false;
  uint32_t controllerVendor = 0;
  uint32_t controllerFlavor = 0;
  bool amdWorkaround = false;
  bool dsdNativeSupported = false;
  bool dsdFromRegistry = false;
  std::string serialNumber;  // empty: the device has none
  uint32_t deviceSampleRate = 0;
  bool sampleRateWritten = false;
  bool renderCoupled = false;
};

DeviceCoreReport CollectDeviceCore(CAdapterCommon& adapter);
void PrintDeviceCoreText(std::ostream& out, const DeviceCoreReport& core);
void PrintDeviceCoreJson(JsonWriter& j, const DeviceCoreReport& core);

}  // namespace troxsim
