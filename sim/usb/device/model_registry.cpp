// Name -> model table.
#include <functional>

#include "sim/usb/device/device_models.h"
#include "sim/usb/device/model_factories.h"

namespace sim::usb {

namespace {

struct Entry {
  ModelInfo info;
  std::function<DeviceDefinition()> make;
};

const std::vector<Entry>& Table() {
  static const std::vector<Entry> table = {
      {{"oxley-10x6", 0x7F3A, 0x0C62, 0x0200, Speed::High, 10, 6,
        "10 in / 6 out, 24-bit, 44.1-96 kHz, asynchronous with explicit feedback"},
       models::Oxley10x6},
      {{"oxley-2x2", 0x7F3A, 0x0C61, 0x0200, Speed::High, 2, 2,
        "2 in / 2 out, 24-bit, 44.1-96 kHz, asynchronous with explicit feedback"},
       models::Oxley2x2},
      {{"uac2-implicit", 0x7F3B, 0x0201, 0x0200, Speed::High, 2, 2,
        "playback synchronous to the capture endpoint (implicit feedback)"},
       models::Uac2Implicit},
      {{"uac2-feedback", 0x7F3B, 0x0202, 0x0200, Speed::High, 2, 2,
        "a clock per direction, asynchronous playback with explicit feedback"},
       models::Uac2Feedback},
      {{"uac1-feedback", 0x7F3B, 0x0101, 0x0100, Speed::Full, 2, 2,
        "44.1/48 kHz, asynchronous playback with a feedback endpoint"},
       models::Uac1Feedback},
      {{"uac1-adaptive", 0x7F3B, 0x0102, 0x0100, Speed::Full, 2, 2,
        "8-48 kHz continuous, adaptive playback"},
       models::Uac1Adaptive},
      {{"vendor-00c7", 0x7F3A, 0x00C7, 0x0200, Speed::High, 2, 2,
        "vendor-class interfaces, playback packets with a length header"},
       models::Vendor00C7},
  };
  return table;
}

}  // namespace

const std::vector<ModelInfo>& ListModels() {
  static const std::vector<ModelInfo> list = [] {
    std::vector<ModelInfo> v;
    for (const Entry& e : Table()) v.push_back(e.info);
    return v;
  }();
  return list;
}

std::optional<DeviceDefinition> ModelDefinition(const std::string& name) {
  for (const Entry& e : Table()) {
    if (e.info.name == name) return e.make();
  }
  return std::nullopt;
}

std::unique_ptr<UsbAudioDevice> CreateModel(const std::string& name) {
  auto def = ModelDefinition(name);
  if (!def) return nullptr;
  return std::make_unique<UsbAudioDevice>(std::move(*def));
}

}  // namespace sim::usb
