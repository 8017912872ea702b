// One bounded streaming run through the driver's transfer layer against a
// simulated device, and the verdict: the device's counters, and what it
// received compared with what was sent.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform.h"
#include "audiofunction/usb_audio_cl.h"
#include "sim/usb/device/usb_audio_device.h"
#include "tools/streamcheck/stream_content.h"
#include "tools/streamcheck/transfer_streamer.h"

namespace streamcheck {

struct StreamCheckOptions {
  StreamerOptions streamer;
  double seconds = 2;
  // The device records at most this much playback for the comparison.
  double recordSeconds = 60;
  // Runs once right after the first transfers went out (faults, drift changes).
  std::function<void(sim::usb::UsbAudioDevice&)> afterStart;
  // Called every quarter second of the run with the seconds streamed so far.
  std::function<void(double seconds)> progress;
};

struct StreamCheckResult {
  NTSTATUS status = STATUS_UNSUCCESSFUL;  // of selecting and starting
  bool stopped = false;                   // every transfer came back
  StreamerReport report;
  // The device's playback counters while data still flowed (once the host
  // stops, the device plays its buffer empty), and its capture counters.
  sim::usb::StreamCounters playback;
  sim::usb::StreamCounters capture;
  PlaybackComparison comparison;
  uint64_t recordCapFrames = 0;

  // Everything that went wrong, one line each; empty for a clean run.
  std::vector<std::string> Problems() const;
};

// Runs `seconds` of streaming on an attached and configured function.
StreamCheckResult RunStreamCheck(CUSBAudioCL& audio, sim::usb::UsbAudioDevice& device,
                                 const StreamCheckOptions& options);

}  // namespace streamcheck
