// `troxsim stream`: starts the device through the PnP path under the driver
// and runs capture through the device core's own engine (both directions on
// a device that has both), then reports what the engine and the device's
// counter signal say.
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "tools/enginecheck/engine_run.h"
#include "tools/troxsim/bed_choice.h"
#include "tools/troxsim/commands.h"
#include "tools/troxsim/device_choice.h"
#include "tools/troxsim/inspect_print.h"
#include "tools/troxsim/options.h"
#include "tools/troxsim/progress_line.h"

namespace troxsim {
namespace {

void PrintDirection(std::ostream& out, const char* name, const StreamFormat& format, const EngineDirectionCounters& c) {
  out << name << ": " << format.Channels << " channels, " << format.BitsPerSample << " bits, " << format.SampleRate
      << " Hz; " << c.Completions << " completions (" << c.Errors << " errors), " << c.Recoveries
      << " recoveries, frame jumps " << c.FrameJumps << ", lag errors " << c.LagErrors << ", lagging completions "
      << c.LagSamples << " (max lag " << c.MaxLag << " frames)";
  if (c.FeedbackReads != 0) out << ", " << c.FeedbackReads << " feedback reads";
  out << "\n";
}

void PrintRun(std::ostream& out, const std::string& label, const enginecheck::EngineRunOptions& options,
              const enginecheck::EngineRunResult& r) {
  out << "Device '" << label << "': " << r.secondsRun << " s of " << (r.captureDirection ? "capture" : "render")
      << " through the engine at " << options.driftPpm << " ppm";
  if (options.failEvery != 0) out << ", a packet error every " << options.failEvery << " completions";
  out << "\n";
  if (r.captureDirection) PrintDirection(out, "Capture", r.captureFormat, r.capture);
  if (r.render.Completions != 0 || r.renderFormat.Channels != 0)
    PrintDirection(out, "Render", r.renderFormat, r.render);
  out << "Delivered: " << r.capture.FramesDelivered
      << " frames to the capture paths; the counter signal: " << r.sinkFrames << " frames, " << r.discontinuities
      << " gaps, " << r.badFrames << " bad frames\n";
  if (r.injected != 0) out << "Injected: " << r.injected << " packet errors\n";
  if (options.unplugAfter >= 0) {
    out << "Unplugged after " << options.unplugAfter << " s: " << (r.unplugged ? "removed" : "NOT removed")
        << (r.deviceGone ? ", the engine saw the device go" : "") << "\n";
  }
}

}  // namespace

int RunStream(int argc, char** argv, int first) {
  Options options;
  std::string error;
  const std::vector<std::string> known = {"device", "descriptors", "speed",      "seconds",      "drift",
                                          "time",   "seed",        "fail-every", "unplug-after", "controller"};
  if (!options.Parse(argc, argv, first, {}, &error, known)) {
    std::fprintf(stderr, "troxsim stream: %s\n", error.c_str());
    return 2;
  }
  if (auto unknown = options.Unknown(known); !unknown.empty()) {
    std::fprintf(stderr, "troxsim stream: unknown option --%s\n", unknown.front().c_str());
    return 2;
  }
  enginecheck::EngineRunOptions run;
  double failEvery = 0;
  if (!options.GetNumber("seconds", 3, &run.seconds) || run.seconds < 0 || run.seconds > 3600) {
    std::fprintf(stderr, "troxsim stream: --seconds takes a number from 0 to 3600\n");
    return 2;
  }
  if (!options.GetNumber("drift", 50, &run.driftPpm) || run.driftPpm < -10000 || run.driftPpm > 10000) {
    std::fprintf(stderr, "troxsim stream: --drift takes ppm from -10000 to 10000\n");
    return 2;
  }
  if (!options.GetNumber("fail-every", 0, &failEvery) || failEvery < 0 || failEvery > 1e9 ||
      failEvery != static_cast<uint32_t>(failEvery)) {
    std::fprintf(stderr, "troxsim stream: --fail-every takes a whole number of completions\n");
    return 2;
  }
  run.failEvery = static_cast<uint32_t>(failEvery);
  if (!options.GetNumber("unplug-after", -1, &run.unplugAfter) ||
      (options.Has("unplug-after") && (run.unplugAfter < 0 || run.unplugAfter > 3600))) {
    std::fprintf(stderr, "troxsim stream: --unplug-after takes seconds from 0 to 3600\n");
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
    const enginecheck::EngineRunResult result = enginecheck::RunCaptureEngine(*bed, pdo, *device, run);
    PrintRun(std::cout, label, run, result);
    const std::vector<std::string> problems = result.Problems(run);
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
