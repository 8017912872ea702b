// One bounded duplex run of the driver's engine through the device core's
// WaveRT entry points: a signal is played through the WaveRT render path,
// the simulated device loops it back, and the WaveRT capture path's frames
// are compared with it. A device without capture plays alone, paced by the
// 1-ms timer.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform.h"
#include "engine/render_path.h"
#include "engine/stream_engine.h"
#include "sim/testbed/testbed.h"
#include "sim/usb/device/usb_audio_device.h"
#include "tools/enginecheck/loopback_signal.h"

namespace enginecheck {

struct DuplexRunOptions {
  double seconds = 2;
  double driftPpm = 0;
  Signal signal = Signal::Counter;
  double loopbackDelayMs = 2;  // the device's own delay from playback to capture
  // A failed render completion after every this many (0: none).
  uint32_t failRenderEvery = 0;
  // A capture packet error after every this many capture completions (0: none).
  uint32_t failCaptureEvery = 0;
  // Pull the device out after this many seconds (negative: never).
  double unplugAfter = -1;
  // The caller injects faults of its own (from `progress`): the run is judged
  // as one with faults.
  bool injectsFaults = false;
  // The WaveRT buffer length in milliseconds (it sets the render lead).
  uint32_t bufferMs = 10;
  // Called once both directions run (a second render source starts here).
  std::function<void(CAdapterCommon& adapter)> onStarted;
  // What a second render source adds to every sample (16-bit scale).
  int16_t renderBias = 0;
  // Called every quarter second with the seconds streamed so far.
  std::function<void(double seconds)> progress;
  // Every captured block in the capture stream format.
  std::function<void(const uint8_t* data, uint32_t frames)> onCapture;
};

struct DuplexRunResult {
  NTSTATUS startStatus = STATUS_UNSUCCESSFUL;
  bool started = false;
  bool capture = true;  // false: a device without capture played alone
  NTSTATUS stopStatus = STATUS_SUCCESS;
  StreamFormat renderStream = {};
  StreamFormat captureStream = {};
  StreamFormat renderDevice = {};
  StreamFormat captureDevice = {};
  EngineDirectionCounters renderCounters = {};
  EngineDirectionCounters captureCounters = {};
  RenderPathCounters path = {};
  bool captureClocked = false;
  sim::usb::StreamCounters playbackDevice = {};
  sim::usb::StreamCounters recordingDevice = {};
  uint64_t underrunsAfterStart = 0;  // device playback frames due with an empty buffer, once it started
  uint64_t overruns = 0;
  uint64_t framesCompared = 0;
  uint64_t framesDiffering = 0;
  uint64_t framesWrong = 0;  // differing and not silent: data that was never sent
  int64_t firstDifference = -1;
  uint64_t slips = 0;
  uint64_t relocks = 0;
  bool locked = false;  // the signal was being followed at the end  // the signal came back at another offset (after a
                        // recovery)              // loopback offset moves (a device with two clocks)
  bool independentClocks = false;  // render paced by the host, capture by the device
  int64_t offsetFrames = -1;       // played to captured when the signal first came back, -1 when not measured
  uint32_t loopbackDelayFrames = 0;
  uint64_t renderFramesPlayed = 0;  // render stream frames the engine took
  uint64_t positionQueries = 0;     // the 1-ms timer's calls
  uint64_t injected = 0;            // packet errors injected, both directions
  bool unplugged = false;
  bool deviceGone = false;  // the engine saw a device-gone status
  LONG minFrameBalance = 0;
  LONG maxFrameBalance = 0;
  int openAccessesAtEnd = 0;
  double secondsRun = 0;

  double OffsetMs() const;
  // The engine's part of the round trip (the device's loopback delay taken off).
  int64_t EngineFrames() const { return offsetFrames < 0 ? -1 : offsetFrames - loopbackDelayFrames; }
  // What went wrong for a run with these options, one line each.
  std::vector<std::string> Problems(const DuplexRunOptions& options) const;
};

// `pdo` must be started under the driver. The device must outlive the run.
DuplexRunResult RunDuplexEngine(sim::testbed::Testbed& bed, PDEVICE_OBJECT pdo, sim::usb::UsbAudioDevice& device,
                                const DuplexRunOptions& options);

}  // namespace enginecheck
