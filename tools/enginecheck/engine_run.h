// One bounded run of the driver's own streaming engine on a started device:
// capture is started through the device core (both directions on a device
// that has both, render alone on one without capture), a counter sink follows what the WaveRT capture path
// delivers, faults are injected on request, and the engine's and the
// sink's counts make the verdict.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform.h"
#include "engine/stream_engine.h"
#include "sim/testbed/testbed.h"
#include "sim/usb/device/usb_audio_device.h"

namespace enginecheck {

struct EngineRunOptions {
  double seconds = 2;
  double driftPpm = 0;
  // A capture packet error after every this many capture completions (0: none).
  uint32_t failEvery = 0;
  // Pull the device out after this many seconds (negative: never).
  double unplugAfter = -1;
  // Called every quarter second with the seconds streamed so far.
  std::function<void(double seconds)> progress;
};

struct EngineRunResult {
  NTSTATUS startStatus = STATUS_UNSUCCESSFUL;
  bool started = false;
  bool captureDirection = true;  // false: a device without capture ran render alone
  NTSTATUS stopStatus = STATUS_SUCCESS;
  StreamFormat captureFormat = {};
  StreamFormat renderFormat = {};
  EngineDirectionCounters capture = {};
  EngineDirectionCounters render = {};
  uint64_t sinkFrames = 0;
  uint64_t discontinuities = 0;  // jumps in the counter signal
  uint64_t badFrames = 0;
  uint64_t injected = 0;  // packet errors injected
  bool unplugged = false;
  bool deviceGone = false;  // the engine saw a device-gone status
  double secondsRun = 0;

  // What went wrong for a run with these options, one line each.
  std::vector<std::string> Problems(const EngineRunOptions& options) const;
};

// `pdo` must be started under the driver. The device must outlive the run.
EngineRunResult RunCaptureEngine(sim::testbed::Testbed& bed, PDEVICE_OBJECT pdo, sim::usb::UsbAudioDevice& device,
                                 const EngineRunOptions& options);

}  // namespace enginecheck
