#include "tools/enginecheck/engine_run.h"

#include <cstdio>

#include "adapter/adapter_common.h"
#include "adapter/adapter_extension.h"
#include "sim/kernel/core/clock.h"
#include "sim/kernel/io/pnp.h"
#include "tools/enginecheck/counter_sink.h"

namespace enginecheck {
namespace {

constexpr int64_t kStep = 10 * sim::clock::kTicksPerMillisecond;

std::string Hex(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
  return text;
}

uint8_t CaptureEndpoint(const sim::usb::UsbAudioDevice& device) {
  for (const sim::usb::StreamInfo& stream : device.Streams()) {
    if (!stream.playback && stream.dataEndpoint != 0) return stream.dataEndpoint;
  }
  return 0;
}

void Snapshot(CAdapterCommon& adapter, const CounterSink& sink, EngineRunResult* result) {
  CStreamEngine& engine = adapter.Engine();
  engine.GetCounters(kDirectionCapture, &result->capture);
  engine.GetCounters(kDirectionRender, &result->render);
  result->captureFormat = engine.DeviceFormat(kDirectionCapture);
  result->renderFormat = engine.DeviceFormat(kDirectionRender);
  result->deviceGone = engine.DeviceGone();
  result->sinkFrames = sink.Frames();
  result->discontinuities = sink.Discontinuities();
  result->badFrames = sink.BadFrames();
}

}  // namespace

std::vector<std::string> EngineRunResult::Problems(const EngineRunOptions& options) const {
  std::vector<std::string> problems;
  if (!started) {
    problems.push_back(std::string(captureDirection ? "capture" : "render") + " did not start (" + Hex(startStatus) +
                       ")");
    return problems;
  }
  const bool faults = options.failEvery != 0;
  if (captureDirection && sinkFrames == 0) problems.push_back("no captured frame reached the capture path");
  if (!captureDirection && render.Completions == 0) problems.push_back("no render transfer completed");
  if (badFrames != 0) problems.push_back(std::to_string(badFrames) + " captured frames carried a wrong counter");
  // Frames are lost only by a recovery: at the failed transfer and while the
  // pipe is reset.
  const uint64_t allowedGaps = faults ? 2 * capture.Recoveries : 0;
  if (discontinuities > allowedGaps) {
    problems.push_back(std::to_string(discontinuities) + " gaps in the counter signal for " +
                       std::to_string(capture.Recoveries) + " capture recoveries");
  }
  if (!faults && !unplugged) {
    if (capture.Errors != 0) problems.push_back(std::to_string(capture.Errors) + " capture transfer errors");
    if (render.Errors != 0) problems.push_back(std::to_string(render.Errors) + " render transfer errors");
    if (capture.Recoveries + render.Recoveries != 0) problems.push_back("recoveries without an injected fault");
  }
  if (faults && injected != 0 && capture.Recoveries == 0) problems.push_back("injected errors were never recovered");
  if (!unplugged && !NT_SUCCESS(stopStatus)) problems.push_back("the stop failed (" + Hex(stopStatus) + ")");
  if (unplugged && !deviceGone && capture.Completions != 0) problems.push_back("the engine never saw the device go");
  return problems;
}

EngineRunResult RunCaptureEngine(sim::testbed::Testbed& bed, PDEVICE_OBJECT pdo, sim::usb::UsbAudioDevice& device,
                                 const EngineRunOptions& options) {
  EngineRunResult result;
  PDEVICE_OBJECT fdo = bed.FunctionDevice(pdo);
  auto* adapter = fdo != nullptr ? static_cast<CAdapterCommon*>(GetAdapterExtension(fdo)->Adapter) : nullptr;
  if (adapter == nullptr) {
    result.startStatus = STATUS_NO_SUCH_DEVICE;
    return result;
  }
  device.SetCaptureSource(sim::usb::CaptureSource::Counter);
  device.SetDriftPpm(options.driftPpm);

  CounterSink sink;
  sink.Follow(&adapter->Engine().DeviceFormat(kDirectionCapture));
  CCapturePath& path = adapter->CapturePath(CAdapterCommon::kWaveClient);
  path.SetSink(&sink);
  // A device without capture runs render alone.
  result.captureDirection = adapter->Function().CaptureStream() != nullptr;
  const UCHAR direction = result.captureDirection ? kDirectionCapture : kDirectionRender;
  if (adapter->PerStreamFormatMode()) {
    // Rates are per stream there: ask for a format first, as a WaveRT stream would.
    ULONG rate = 0;
    for (ULONG candidate : {48000u, 44100u, 96000u}) {
      if (rate == 0 && NT_SUCCESS(adapter->Function().IsSampleRateSupported(candidate))) rate = candidate;
    }
    ULONG channels = 0, bits = 0;
    result.startStatus = adapter->Function().GetBestFormat(direction, 1, rate, &channels, &bits);
    if (NT_SUCCESS(result.startStatus)) {
      result.startStatus = adapter->SetStreamFormat(direction, 1, channels, bits, rate);
    }
  }
  if (NT_SUCCESS(result.startStatus) || !adapter->PerStreamFormatMode()) {
    result.startStatus = adapter->StartDirection(direction, 0);
  }
  result.started = NT_SUCCESS(result.startStatus);

  // Once the device is gone the adapter may go with it: what it counted is
  // taken while it still exists.
  bool removed = false;
  const int watch = sim::pnp::RegisterRemovalCallback(pdo, [&](PDEVICE_OBJECT, sim::pnp::RemovalEvent event) {
    if (event == sim::pnp::RemovalEvent::SurpriseRemoved && !removed) {
      Snapshot(*adapter, sink, &result);
      path.ClearSink();
      removed = true;
    }
  });

  const uint8_t endpoint = CaptureEndpoint(device);
  uint64_t nextFault = options.failEvery;
  const int64_t total = static_cast<int64_t>(options.seconds * sim::clock::kTicksPerSecond);
  const int64_t unplugAt =
      options.unplugAfter < 0 ? -1 : static_cast<int64_t>(options.unplugAfter * sim::clock::kTicksPerSecond);
  int64_t elapsed = 0;
  int64_t nextProgress = sim::clock::kTicksPerSecond / 4;
  while (result.started && elapsed < total) {
    if (unplugAt >= 0 && elapsed >= unplugAt) {
      result.unplugged = bed.Unplug(pdo);
      break;
    }
    bed.RunFor(kStep);
    elapsed += kStep;
    if (options.failEvery != 0 && endpoint != 0) {
      EngineDirectionCounters counters = {};
      adapter->Engine().GetCounters(kDirectionCapture, &counters);
      while (counters.Completions >= nextFault) {
        device.InjectPacketErrors(endpoint, 1);
        ++result.injected;
        nextFault += options.failEvery;
      }
    }
    if (options.progress && elapsed >= nextProgress) {
      options.progress(static_cast<double>(elapsed) / sim::clock::kTicksPerSecond);
      nextProgress += sim::clock::kTicksPerSecond / 4;
    }
  }
  result.secondsRun = static_cast<double>(elapsed) / sim::clock::kTicksPerSecond;
  if (!result.unplugged && unplugAt >= 0 && elapsed >= unplugAt && result.started) {
    result.unplugged = bed.Unplug(pdo);
  }
  sim::pnp::UnregisterRemovalCallback(watch);
  if (!removed) {
    if (result.started) result.stopStatus = adapter->StopDirection(direction);
    Snapshot(*adapter, sink, &result);
    path.ClearSink();
  }
  return result;
}

}  // namespace enginecheck
