// The default device started on real time at 96 kHz, for the benchmarks that
// let the engine measure its own DPCs.
#pragma once

#include "sim/kernel/io/pnp.h"
#include "sim/kernel/registry/device_keys.h"
#include "sim/kernel/registry/registry_store.h"
#include "sim/testbed/testbed.h"
#include "sim/usb/device/device_models.h"

namespace bench {

inline sim::testbed::Options RealTimeOptions() {
  sim::testbed::Options options;
  options.time = sim::testbed::Time::kReal;
  return options;
}

class RealTimeBed {
 public:
  RealTimeBed() : bed_(RealTimeOptions()) {
    pdo_ = bed_.PlugModel(sim::usb::kDefaultModel);
    sim::registry::SetDword(sim::registry::DeviceParametersKeyPath(sim::pnp::InstancePath(pdo_)), u"SampleRate", 96000);
    started_ = NT_SUCCESS(bed_.Start(pdo_));
  }
  ~RealTimeBed() { bed_.Unplug(pdo_); }

  bool Started() const { return started_; }
  sim::testbed::Testbed& Bed() { return bed_; }
  PDEVICE_OBJECT Pdo() const { return pdo_; }
  sim::usb::UsbAudioDevice& Device() { return *bed_.Device(pdo_); }
  double TicksPerUs() const { return static_cast<double>(RealTimeOptions().performanceFrequency) / 1e6; }

 private:
  sim::registry::ScopedRegistry registry_;
  sim::testbed::Testbed bed_;
  PDEVICE_OBJECT pdo_ = nullptr;
  bool started_ = false;
};

}  // namespace bench
