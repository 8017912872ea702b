// `troxsim stream`: starts the device through the PnP path under the driver
// and runs both directions through the device core's engine and its WaveRT
// paths: a signal is played, the device loops it back, and what is captured
// is compared with it (a device without capture plays alone).
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "adapter/adapter_common.h"
#include "adapter/adapter_extension.h"
#include "tools/enginecheck/duplex_run.h"
#include "tools/troxsim/bed_choice.h"
#include "tools/troxsim/commands.h"
#include "tools/troxsim/device_choice.h"
#include "tools/troxsim/inspect_print.h"
#include "tools/troxsim/options.h"
#include "tools/troxsim/progress_line.h"
#include "tools/troxsim/wav_writer.h"

namespace troxsim {
namespace {

void PrintDirection(std::ostream& out, const char* name, const StreamFormat& stream, const StreamFormat& device,
                    const EngineDirectionCounters& c) {
  out << name << ": stream " << stream.Channels << " ch " << stream.BitsPerSample << " bit, device " << device.Channels
      << " ch " << device.BitsPerSample << " bit, " << device.SampleRate << " Hz; " << c.Completions << " transfers ("
      << c.Errors << " errors), " << c.Recoveries << " recoveries, frame jumps " << c.FrameJumps << ", lag errors "
      << c.LagErrors;
  if (c.FeedbackReads != 0) out << ", " << c.FeedbackReads << " feedback reads";
  out << "\n";
}

const char* SignalName(enginecheck::Signal signal) {
  switch (signal) {
    case enginecheck::Signal::Counter: return "counter";
    case enginecheck::Signal::Sine: return "sine";
    case enginecheck::Signal::Silence: return "silence";
    case enginecheck::Signal::Constant: return "constant";
  }
  return "?";
}

void PrintRun(std::ostream& out, const std::string& label, const enginecheck::DuplexRunOptions& options,
              const enginecheck::DuplexRunResult& r) {
  out << "Device '" << label << "': " << r.secondsRun << " s " << (r.capture ? "duplex" : "render only")
      << " through the engine at " << options.driftPpm << " ppm, " << SignalName(options.signal) << " signal, render "
      << (r.captureClocked ? "capture-clocked" : "mixed at submission");
  if (options.failRenderEvery != 0) out << ", a render packet error every " << options.failRenderEvery;
  if (options.failCaptureEvery != 0) out << ", a capture packet error every " << options.failCaptureEvery;
  out << "\n";
  PrintDirection(out, "Render", r.renderStream, r.renderDevice, r.renderCounters);
  if (r.capture) PrintDirection(out, "Capture", r.captureStream, r.captureDevice, r.captureCounters);
  out << "Device: " << r.underrunsAfterStart << " underrun frames, " << r.overruns << " overrun frames; "
      << r.renderFramesPlayed << " frames played from the WaveRT stream";
  if (!r.capture) out << ", " << r.positionQueries << " timer ticks";
  out << "\n";
  if (r.capture) {
    out << "Loopback: " << r.framesCompared << " frames compared, " << r.framesDiffering << " differing, " << r.slips
        << " slips, " << r.relocks << " relocks; ";
    if (r.offsetFrames >= 0) {
      char ms[32];
      std::snprintf(ms, sizeof(ms), "%.3f", r.OffsetMs());
      char engine[32];
      std::snprintf(engine, sizeof(engine), "%.3f", r.EngineFrames() * 1000.0 / r.captureStream.SampleRate);
      out << "round trip " << r.offsetFrames << " frames (" << ms << " ms), of which the device's loopback delay "
          << r.loopbackDelayFrames << " frames: the engine's " << r.EngineFrames() << " frames (" << engine << " ms)\n";
    } else {
      out << "round trip not measured\n";
    }
  }
  if (r.injected != 0) out << "Injected: " << r.injected << " packet errors\n";
  if (options.unplugAfter >= 0) {
    out << "Unplugged after " << options.unplugAfter << " s: " << (r.unplugged ? "removed" : "NOT removed")
        << (r.deviceGone ? ", the engine saw the device go" : "") << "\n";
  }
}

bool ParseWhole(const Options& options, const char* name, uint32_t* value) {
  double number = 0;
  if (!options.GetNumber(name, 0, &number) || number < 0 || number > 1e9 || number != static_cast<uint32_t>(number)) {
    std::fprintf(stderr, "troxsim stream: --%s takes a whole number of completions\n", name);
    return false;
  }
  *value = static_cast<uint32_t>(number);
  return true;
}

}  // namespace

int RunStream(int argc, char** argv, int first) {
  Options options;
  std::string error;
  const std::vector<std::string> known = {"device",
                                          "descriptors",
                                          "speed",
                                          "seconds",
                                          "drift",
                                          "time",
                                          "seed",
                                          "fail-every",
                                          "unplug-after",
                                          "controller",
                                          "signal",
                                          "loopback-delay",
                                          "fail-render-every",
                                          "wav"};
  if (!options.Parse(argc, argv, first, {}, &error, known)) {
    std::fprintf(stderr, "troxsim stream: %s\n", error.c_str());
    return 2;
  }
  if (auto unknown = options.Unknown(known); !unknown.empty()) {
    std::fprintf(stderr, "troxsim stream: unknown option --%s\n", unknown.front().c_str());
    return 2;
  }
  enginecheck::DuplexRunOptions run;
  if (!options.GetNumber("seconds", 5, &run.seconds) || run.seconds < 0 || run.seconds > 3600) {
    std::fprintf(stderr, "troxsim stream: --seconds takes a number from 0 to 3600\n");
    return 2;
  }
  if (!options.GetNumber("drift", 50, &run.driftPpm) || run.driftPpm < -10000 || run.driftPpm > 10000) {
    std::fprintf(stderr, "troxsim stream: --drift takes ppm from -10000 to 10000\n");
    return 2;
  }
  if (!ParseWhole(options, "fail-every", &run.failCaptureEvery) ||
      !ParseWhole(options, "fail-render-every", &run.failRenderEvery)) {
    return 2;
  }
  if (!options.GetNumber("unplug-after", -1, &run.unplugAfter) ||
      (options.Has("unplug-after") && (run.unplugAfter < 0 || run.unplugAfter > 3600))) {
    std::fprintf(stderr, "troxsim stream: --unplug-after takes seconds from 0 to 3600\n");
    return 2;
  }
  if (!options.GetNumber("loopback-delay", 2, &run.loopbackDelayMs) || run.loopbackDelayMs < 0 ||
      run.loopbackDelayMs > 400) {
    std::fprintf(stderr, "troxsim stream: --loopback-delay takes milliseconds from 0 to 400\n");
    return 2;
  }
  const std::string signal = options.Get("signal").value_or("counter");
  if (signal == "counter") {
    run.signal = enginecheck::Signal::Counter;
  } else if (signal == "sine") {
    run.signal = enginecheck::Signal::Sine;
  } else if (signal == "silence") {
    run.signal = enginecheck::Signal::Silence;
  } else {
    std::fprintf(stderr, "troxsim stream: --signal takes counter, sine or silence, not '%s'\n", signal.c_str());
    return 2;
  }
  const std::string wavPath = options.Get("wav").value_or("");
  if (options.Has("wav") && wavPath.empty()) {
    std::fprintf(stderr, "troxsim stream: --wav takes a file name\n");
    return 2;
  }
  BedChoice bedChoice;
  if (!ParseBedChoice(options.Get("time"), options.Get("seed"), &bedChoice, &error)) {
    std::fprintf(stderr, "troxsim stream: %s\n", error.c_str());
    return 2;
  }
  if (auto controller = options.Get("controller")) {
    sim::usb::ControllerInfo info;
    if (!ParseController(*controller, &info)) {
      std::fprintf(stderr, "troxsim stream: --controller takes VENDOR:FLAVOR, not '%s'\n", controller->c_str());
      return 2;
    }
    bedChoice.controller = info;
  }
  DeviceChoice choice;
  choice.device = options.Get("device").value_or("");
  choice.descriptors = options.Get("descriptors").value_or("");
  choice.speed = options.Get("speed");
  std::string label;
  auto device = MakeDevice(choice, &label, &error);
  if (!device) {
    std::fprintf(stderr, "troxsim stream: %s\n", error.c_str());
    return 2;
  }

  CommandBed bed(bedChoice);
  int code = 0;
  PDEVICE_OBJECT pdo = bed->Plug(*device);
  NTSTATUS status = pdo != nullptr ? bed->Start(pdo) : STATUS_NO_SUCH_DEVICE;
  if (!NT_SUCCESS(status)) {
    std::cout << "Device '" << label << "': the device did not start (" << StatusText(status) << ")\n";
    code = 1;
  } else {
    ProgressLine progress("troxsim stream", run.seconds);
    run.progress = [&](double seconds) { progress.Update(seconds); };
    WavWriter wav;
    std::string wavError;
    bool wavOpen = false;
    if (!wavPath.empty()) {
      run.onCapture = [&](const uint8_t* data, uint32_t frames) {
        if (!wavOpen && wavError.empty()) {
          // The capture format is known once the stream runs.
          StreamFormat format = {};
          auto* adapter = static_cast<CAdapterCommon*>(GetAdapterExtension(bed->FunctionDevice(pdo))->Adapter);
          adapter->StreamFormatFor(kDirectionCapture, &format);
          wavOpen = wav.Open(wavPath, format.Channels, format.BitsPerSample, format.SampleRate, &wavError);
        }
        if (wavOpen) wav.Write(data, frames);
      };
    }
    const enginecheck::DuplexRunResult result = enginecheck::RunDuplexEngine(*bed, pdo, *device, run);
    PrintRun(std::cout, label, run, result);
    std::vector<std::string> problems = result.Problems(run);
    if (!wavPath.empty()) {
      if (wavOpen && wav.Close(&wavError)) {
        std::cout << "Captured: " << wav.Frames() << " frames written to " << wavPath << "\n";
      } else {
        problems.push_back(wavError.empty() ? "nothing was captured for the WAV file" : wavError);
      }
    }
    for (const std::string& problem : problems) std::cout << "PROBLEM: " << problem << "\n";
    std::cout << "Result: " << (problems.empty() ? "clean" : std::to_string(problems.size()) + " problems") << "\n";
    if (!problems.empty()) code = 1;
  }
  if (pdo != nullptr && !bed->Unplug(pdo) && !(NT_SUCCESS(status) && run.unplugAfter >= 0)) {
    std::fprintf(stderr, "troxsim stream: the device did not go away cleanly\n");
    code = 1;
  }
  if (!bed.Close("troxsim stream", std::cerr)) code = 1;
  return code;
}

}  // namespace troxsim
