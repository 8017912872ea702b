#include "tools/enginecheck/duplex_run.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "adapter/adapter_common.h"
#include "adapter/adapter_extension.h"
#include "sim/kernel/core/clock.h"
#include "sim/kernel/io/pnp.h"
#include "tools/enginecheck/wave_client.h"

namespace enginecheck {
namespace {

constexpr int64_t kStep = 10 * sim::clock::kTicksPerMillisecond;
// Steps without an error or a recovery before the frame balance counts again.
constexpr int64_t kSettleSteps = 30;
// The longest round trip the check looks for.
constexpr uint32_t kMaxOffsetMs = 500;
// The device's playback buffer: its start level and the room above it.
constexpr uint32_t kDeviceBufferMs = 6;

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

// A packet error on `endpoint` each time the direction's completions pass the next multiple of `every`.
void InjectEvery(CStreamEngine& engine, UCHAR direction, sim::usb::UsbAudioDevice& device, uint8_t endpoint,
                 uint32_t every, uint64_t* next, uint64_t* injected) {
  if (every == 0 || endpoint == 0) return;
  EngineDirectionCounters counters = {};
  engine.GetCounters(direction, &counters);
  while (counters.Completions >= *next) {
    device.InjectPacketErrors(endpoint, 1);
    ++*injected;
    *next += every;
  }
}

// Asks for the device's best PCM format at the rate, as a WaveRT stream would.
NTSTATUS ChooseFormat(CAdapterCommon& adapter, UCHAR direction, ULONG rate, StreamFormat* format) {
  ULONG channels = 0, bits = 0;
  NTSTATUS status = adapter.Function().GetBestFormat(direction, 1, rate, &channels, &bits);
  if (NT_SUCCESS(status)) status = adapter.SetStreamFormat(direction, 1, channels, bits, rate);
  if (NT_SUCCESS(status)) adapter.StreamFormatFor(direction, format);
  return status;
}

ULONG ChooseRate(CAdapterCommon& adapter) {
  if (!adapter.PerStreamFormatMode()) return adapter.GetDeviceSampleRate();
  for (ULONG candidate : {48000u, 44100u, 96000u}) {
    if (NT_SUCCESS(adapter.Function().IsSampleRateSupported(candidate))) return candidate;
  }
  return adapter.GetDeviceSampleRate();
}

}  // namespace

double DuplexRunResult::OffsetMs() const {
  const ULONG rate = captureStream.SampleRate;
  return offsetFrames < 0 || rate == 0 ? -1 : static_cast<double>(offsetFrames) * 1000.0 / rate;
}

std::vector<std::string> DuplexRunResult::Problems(const DuplexRunOptions& options) const {
  std::vector<std::string> problems;
  if (!started) {
    problems.push_back("the stream did not start (" + Hex(startStatus) + ")");
    return problems;
  }
  const bool faults =
      options.failRenderEvery != 0 || options.failCaptureEvery != 0 || unplugged || options.injectsFaults;
  if (!unplugged && renderCounters.Completions == 0) problems.push_back("no render transfer completed");
  if (!unplugged && renderFramesPlayed == 0 && options.signal != Signal::Silence) {
    problems.push_back("the render path took nothing from the WaveRT stream");
  }
  if (capture) {
    // Pulled out early, the device may go before the signal could come back.
    if (!unplugged && framesCompared == 0) problems.push_back("no captured frame could be compared with the signal");
    if (!unplugged && options.signal != Signal::Silence && offsetFrames < 0) {
      problems.push_back("the signal never came back");
    }
    // Two clocks slip at the device's loopback about once per drifted frame.
    const double drifted = std::abs(options.driftPpm) * 1e-6 * secondsRun * captureStream.SampleRate;
    const uint64_t allowedSlips = independentClocks ? static_cast<uint64_t>(drifted) + 2 : 0;
    if (!faults && slips > allowedSlips) {
      problems.push_back(std::to_string(slips) + " loopback slips (" + std::to_string(allowedSlips) + " allowed)");
    }
    if (!faults && relocks != 0) problems.push_back("the loopback offset moved " + std::to_string(relocks) + " times");
    if (faults && !unplugged && static_cast<double>(framesCompared) * 2 < secondsRun * captureStream.SampleRate) {
      problems.push_back("the signal came back for less than half the run");
    }
    // Faults may leave silence in the capture, never data of their own.
    if (faults && framesWrong != 0) {
      problems.push_back(std::to_string(framesWrong) + " captured frames hold data that was never sent");
    }
    if (!faults && framesDiffering != 0) {
      problems.push_back(std::to_string(framesDiffering) + " captured frames differ from the signal (first at " +
                         std::to_string(firstDifference) + ")");
    }
  }
  if (!faults) {
    if (underrunsAfterStart != 0) problems.push_back(std::to_string(underrunsAfterStart) + " device underrun frames");
    if (overruns != 0) problems.push_back(std::to_string(overruns) + " device overrun frames");
    if (renderCounters.Errors + captureCounters.Errors != 0) problems.push_back("transfer errors without a fault");
    if (renderCounters.Recoveries + captureCounters.Recoveries != 0) {
      problems.push_back("recoveries without an injected fault");
    }
    if (path.LateData != 0) problems.push_back(std::to_string(path.LateData) + " late render mixes");
  } else if (options.failRenderEvery != 0 && injected != 0 && renderCounters.Recoveries == 0) {
    problems.push_back("injected render errors were never recovered");
  }
  if (unplugged && !deviceGone && renderCounters.Completions != 0) {
    problems.push_back("the engine never saw the device go");
  }
  const LONG bound = static_cast<LONG>(renderDevice.SampleRate / 1000);
  if (minFrameBalance < -bound || maxFrameBalance > bound) {
    problems.push_back("the frame balance left its bounds (" + std::to_string(minFrameBalance) + ".." +
                       std::to_string(maxFrameBalance) + ")");
  }
  if (!unplugged && !NT_SUCCESS(stopStatus)) problems.push_back("the stop failed (" + Hex(stopStatus) + ")");
  if (openAccessesAtEnd != 0) problems.push_back("stream accesses left open");
  return problems;
}

DuplexRunResult RunDuplexEngine(sim::testbed::Testbed& bed, PDEVICE_OBJECT pdo, sim::usb::UsbAudioDevice& device,
                                const DuplexRunOptions& options) {
  DuplexRunResult result;
  PDEVICE_OBJECT fdo = bed.FunctionDevice(pdo);
  auto* adapter = fdo != nullptr ? static_cast<CAdapterCommon*>(GetAdapterExtension(fdo)->Adapter) : nullptr;
  if (adapter == nullptr) {
    result.startStatus = STATUS_NO_SUCH_DEVICE;
    return result;
  }
  device.SetCaptureSource(sim::usb::CaptureSource::Loopback);
  device.SetDriftPpm(options.driftPpm);
  result.capture = adapter->Function().CaptureStream() != nullptr;
  const ULONG rate = ChooseRate(*adapter);
  result.loopbackDelayFrames = static_cast<uint32_t>(options.loopbackDelayMs * rate / 1000.0);
  device.SetLoopbackDelay(result.loopbackDelayFrames);
  // A few milliseconds of room above the start level: render packets of one
  // size come in runs (the larger ones first), so the device's level swings
  // within a transfer, as a real device's buffer allows.
  device.SetBufferLevels(0, static_cast<uint32_t>(uint64_t{rate} * kDeviceBufferMs / 1000));

  result.startStatus = ChooseFormat(*adapter, kDirectionRender, rate, &result.renderStream);
  if (NT_SUCCESS(result.startStatus) && result.capture) {
    result.startStatus = ChooseFormat(*adapter, kDirectionCapture, rate, &result.captureStream);
  }
  if (!NT_SUCCESS(result.startStatus)) return result;

  WaveClient client(adapter);
  const uint32_t bufferFrames = std::max<uint32_t>(1, rate / 1000 * options.bufferMs);
  client.Setup(result.renderStream, result.captureStream, bufferFrames, options.signal);
  LoopbackCheck check;
  check.Reset(options.signal, result.captureStream, result.renderStream.Channels, rate / 1000 * kMaxOffsetMs);
  client.OnCapture([&](const uint8_t* data, uint32_t frames) {
    check.Feed(data, frames);
    if (options.onCapture) options.onCapture(data, frames);
  });
  client.Register();
  client.SetRunning(kDirectionRender, true);
  client.SetRunning(kDirectionCapture, true);
  const ULONG renderBufferBytes = bufferFrames * result.renderStream.BytesPerFrame;
  if (result.capture) {
    result.startStatus = adapter->StartDirection(kDirectionCapture, bufferFrames * result.captureStream.BytesPerFrame);
  }
  if (NT_SUCCESS(result.startStatus)) {
    result.startStatus = adapter->StartDirection(kDirectionRender, renderBufferBytes);
    if (!NT_SUCCESS(result.startStatus) && result.capture) adapter->StopDirection(kDirectionCapture);
  }
  result.started = NT_SUCCESS(result.startStatus);
  if (result.started && options.onStarted) options.onStarted(*adapter);
  check.SetBias(options.renderBias);
  CStreamEngine& engine = adapter->Engine();
  result.renderDevice = engine.DeviceFormat(kDirectionRender);
  result.captureDevice = engine.DeviceFormat(kDirectionCapture);
  result.captureClocked = adapter->RenderPath(CAdapterCommon::kWaveClient).IsCaptureClocked();
  // Rate-pattern render plays at the host's pace, capture at the device's.
  result.independentClocks = result.capture && adapter->Function().CurrentPlaybackMode() == PlaybackPattern;
  // Only channels the device plays and records carry the signal back.
  check.SetChannels(
      std::min({result.renderStream.Channels, result.renderDevice.Channels, result.captureDevice.Channels}));

  // Once the device is gone the adapter may go with it: what it counted is
  // taken while it still exists.
  bool removed = false;
  auto snapshot = [&]() {
    result.playbackDevice = device.PlaybackCounters();
    result.recordingDevice = device.CaptureCounters();
    adapter->RenderPath(CAdapterCommon::kWaveClient).GetCounters(&result.path);
    engine.GetCounters(kDirectionRender, &result.renderCounters);
    engine.GetCounters(kDirectionCapture, &result.captureCounters);
    result.deviceGone = engine.DeviceGone();
  };
  const int watch = sim::pnp::RegisterRemovalCallback(pdo, [&](PDEVICE_OBJECT, sim::pnp::RemovalEvent event) {
    if (event == sim::pnp::RemovalEvent::SurpriseRemoved && !removed) {
      snapshot();
      client.Forget();
      removed = true;
    }
  });
  const uint8_t captureEndpoint = CaptureEndpoint(device);
  uint64_t nextRenderFault = options.failRenderEvery;
  uint64_t nextCaptureFault = options.failCaptureEvery;
  const int64_t total = static_cast<int64_t>(options.seconds * sim::clock::kTicksPerSecond);
  const int64_t unplugAt =
      options.unplugAfter < 0 ? -1 : static_cast<int64_t>(options.unplugAfter * sim::clock::kTicksPerSecond);
  int64_t elapsed = 0;
  int64_t nextProgress = sim::clock::kTicksPerSecond / 4;
  uint64_t underrunsAtStart = 0;
  bool playing = false;
  uint64_t lastTroubles = 0;
  int64_t quietSteps = kSettleSteps;
  while (result.started && elapsed < total) {
    if (unplugAt >= 0 && elapsed >= unplugAt) break;
    // An unplug inside a step comes at its time: the first milliseconds
    // of a start hold the latency probe.
    const int64_t step = unplugAt > elapsed ? std::min(kStep, unplugAt - elapsed) : kStep;
    bed.RunFor(step);
    elapsed += step;
    const sim::usb::StreamCounters playback = device.PlaybackCounters();
    if (!playing && playback.started) {
      playing = true;
      underrunsAtStart = playback.underrunFrames;
    }
    // While a direction recovers the other runs on alone, and the balance
    // says nothing: it is held to its bounds once both run again.
    EngineDirectionCounters renderNow = {};
    EngineDirectionCounters captureNow = {};
    engine.GetCounters(kDirectionRender, &renderNow);
    engine.GetCounters(kDirectionCapture, &captureNow);
    const uint64_t troubles = renderNow.Errors + renderNow.Recoveries + captureNow.Errors + captureNow.Recoveries;
    quietSteps = troubles == lastTroubles ? quietSteps + 1 : 0;
    lastTroubles = troubles;
    if (quietSteps >= kSettleSteps) {
      const LONG balance = engine.FrameBalance();
      result.minFrameBalance = std::min(result.minFrameBalance, balance);
      result.maxFrameBalance = std::max(result.maxFrameBalance, balance);
    }
    if (options.failRenderEvery != 0) {
      // The device takes a bad OUT packet silently: a render error is the
      // completion's status, as FAIL_NEXT_RENDER makes it.
      EngineDirectionCounters counters = {};
      engine.GetCounters(kDirectionRender, &counters);
      while (counters.Completions >= nextRenderFault) {
        engine.FailNextCompletion(kDirectionRender);
        ++result.injected;
        nextRenderFault += options.failRenderEvery;
      }
    }
    InjectEvery(engine, kDirectionCapture, device, captureEndpoint, options.failCaptureEvery, &nextCaptureFault,
                &result.injected);
    if (options.progress && elapsed >= nextProgress) {
      options.progress(static_cast<double>(elapsed) / sim::clock::kTicksPerSecond);
      nextProgress += sim::clock::kTicksPerSecond / 4;
    }
  }
  if (result.started && unplugAt >= 0 && elapsed >= unplugAt) result.unplugged = bed.Unplug(pdo);
  result.secondsRun = static_cast<double>(elapsed) / sim::clock::kTicksPerSecond;
  sim::pnp::UnregisterRemovalCallback(watch);
  if (!removed) {
    // Counted while both directions still run: the stop itself leaves the device empty.
    snapshot();
    if (result.started) {
      result.stopStatus = adapter->StopDirection(kDirectionRender);
      if (result.capture) {
        const NTSTATUS status = adapter->StopDirection(kDirectionCapture);
        if (NT_SUCCESS(result.stopStatus)) result.stopStatus = status;
      }
    }
    engine.GetCounters(kDirectionRender, &result.renderCounters);
    engine.GetCounters(kDirectionCapture, &result.captureCounters);
    client.SetRunning(kDirectionRender, false);
    client.SetRunning(kDirectionCapture, false);
    client.Unregister();
    adapter->ResetDirection(kDirectionRender);
    if (result.capture) adapter->ResetDirection(kDirectionCapture);
  }
  result.underrunsAfterStart = playing ? result.playbackDevice.underrunFrames - underrunsAtStart : 0;
  result.overruns = result.playbackDevice.overrunFrames;
  result.framesCompared = check.Compared();
  result.framesDiffering = check.Differing();
  result.framesWrong = check.Wrong();
  result.firstDifference = check.FirstDifference();
  result.slips = check.Slips();
  result.relocks = check.Relocks();
  result.locked = check.Locked();
  result.offsetFrames = check.FirstOffset();
  result.renderFramesPlayed =
      result.renderStream.BytesPerFrame != 0 ? client.RenderBytesTaken() / result.renderStream.BytesPerFrame : 0;
  result.positionQueries = client.PositionQueries();
  result.openAccessesAtEnd = client.OpenAccesses();
  return result;
}

}  // namespace enginecheck
