// What an ASIO host does to a device through its private file, as one
// bounded run: find the file, open, probe, claim, prepare, start, go, then
// per period a read of captured frames and a write of render frames, with
// the position asked each period; the device loops render back to capture
// and what comes back is checked sample for sample. Windows audio may play
// a constant under it through the WaveRT entry points.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform.h"
#include "adapter/adapter_interface.h"
#include "sim/testbed/testbed.h"
#include "sim/usb/device/usb_audio_device.h"
#include "tools/asiohost/private_session.h"

namespace asiohost {

struct AsioRunOptions {
  uint32_t bufferFrames = 256;
  uint32_t rate = 0;  // 0: the device's rate
  double seconds = 5;
  double driftPpm = 0;
  double loopbackDelayMs = 2;
  bool withWave = false;
  // Reads (duplex) or writes (render only) kept in flight.
  uint32_t inFlight = 2;
  // Called about every quarter second with the seconds streamed so far.
  std::function<void(double seconds)> progress;
};

struct AsioRunResult {
  std::string failedStep;  // empty when the setup went through
  NTSTATUS failedStatus = STATUS_SUCCESS;
  std::map<std::string, std::map<NTSTATUS, uint64_t>> requests;
  uint32_t rate = 0;
  uint32_t bufferFrames = 0;
  StreamFormat render = {};   // the rings' formats
  StreamFormat capture = {};
  bool duplex = false;
  uint64_t reads = 0;
  uint64_t writes = 0;
  uint64_t framesRead = 0;
  uint64_t framesWritten = 0;
  // Glitches: reads or writes that came back short, late, cancelled or failed.
  uint64_t shortRequests = 0;
  uint64_t lateRequests = 0;
  uint64_t cancelledRequests = 0;
  uint64_t failedRequests = 0;
  uint64_t positionChecks = 0;
  uint64_t positionErrors = 0;  // off the host's clock by more than a millisecond, or backwards
  int64_t worstPositionError = 0;
  // Loopback.
  uint64_t framesCompared = 0;
  uint64_t framesDiffering = 0;
  uint64_t framesWrong = 0;
  uint64_t slips = 0;
  uint64_t relocks = 0;
  int64_t offsetFrames = -1;  // round trip: frame written to frame read back
  bool independentClocks = false;
  // The round trip's parts.
  uint32_t prefillFrames = 0;
  uint32_t captureMs = 0;
  uint32_t renderMs = 0;
  uint32_t loopbackDelayFrames = 0;
  // The device and Windows audio.
  uint64_t underrunFrames = 0;  // device playback frames due empty after the first read
  uint64_t overrunFrames = 0;
  uint64_t transferErrors = 0;
  uint64_t recoveries = 0;
  uint64_t waveRenderFrames = 0;
  uint64_t waveCaptureFrames = 0;
  double secondsRun = 0;

  uint64_t Glitches() const { return shortRequests + lateRequests + cancelledRequests + failedRequests; }
  double OffsetMs() const { return offsetFrames < 0 || rate == 0 ? -1 : offsetFrames * 1000.0 / rate; }
  // What went wrong, one line each.
  std::vector<std::string> Problems(const AsioRunOptions& options) const;
};

// `pdo` must be started under the driver; the device must outlive the run.
AsioRunResult RunAsio(sim::testbed::Testbed& bed, PDEVICE_OBJECT pdo, sim::usb::UsbAudioDevice& device,
                      const AsioRunOptions& options);

}  // namespace asiohost
