// troxsim asio: a simulated ASIO host streams through the private file.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "tools/asiohost/asio_run.h"
#include "tools/troxsim/bed_choice.h"
#include "tools/troxsim/commands.h"
#include "tools/troxsim/device_choice.h"
#include "tools/troxsim/inspect_print.h"
#include "tools/troxsim/json_writer.h"
#include "tools/troxsim/options.h"
#include "tools/troxsim/progress_line.h"

namespace troxsim {
namespace {

std::string Ms(double ms) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.3f", ms);
  return text;
}

double FramesMs(uint64_t frames, uint32_t rate) { return rate != 0 ? frames * 1000.0 / rate : 0; }

void PrintRun(std::ostream& out, const std::string& label, const asiohost::AsioRunOptions& options,
              const asiohost::AsioRunResult& r) {
  out << "Device '" << label << "': " << r.secondsRun << " s of ASIO streaming, "
      << (r.duplex ? "duplex" : "render only") << ", " << r.bufferFrames << " frames at " << r.rate << " Hz, "
      << options.driftPpm << " ppm" << (options.withWave ? ", Windows audio playing a constant under it" : "") << "\n";
  out << "Requests:";
  for (const auto& [name, statuses] : r.requests) {
    out << " " << name;
    for (const auto& [status, count] : statuses) out << " " << count << "x" << StatusText(status);
    out << ";";
  }
  out << "\n";
  out << "Moved: " << r.reads << " reads (" << r.framesRead << " frames), " << r.writes << " writes ("
      << r.framesWritten << " frames); glitches " << r.Glitches() << " (" << r.shortRequests << " short, "
      << r.lateRequests << " late, " << r.cancelledRequests << " cancelled, " << r.failedRequests << " failed)\n";
  out << "Position: " << r.positionChecks << " checks, " << r.positionErrors << " off, worst "
      << r.worstPositionError << " frames\n";
  out << "Device: " << r.underrunFrames << " underrun frames, " << r.overrunFrames << " overrun frames, "
      << r.transferErrors << " transfer errors, " << r.recoveries << " recoveries";
  if (options.withWave) out << "; Windows audio " << r.waveRenderFrames << " render bytes taken";
  out << "\n";
  if (r.duplex) {
    out << "Loopback: " << r.framesCompared << " frames compared, " << r.framesDiffering << " differing, " << r.slips
        << " slips, " << r.relocks << " relocks"
        << (r.independentClocks ? " (render paced by the host, capture by the device: the rings even them out)" : "")
        << "; ";
    if (r.offsetFrames >= 0) {
      out << "round trip " << r.offsetFrames << " frames (" << Ms(r.OffsetMs()) << " ms): render prefill "
          << r.prefillFrames << " frames, capture transfers " << r.captureMs << " ms, render transfers "
          << r.renderMs << " ms, device loopback delay " << r.loopbackDelayFrames << " frames ("
          << Ms(FramesMs(r.loopbackDelayFrames, r.rate)) << " ms)\n";
    } else {
      out << "round trip not measured\n";
    }
  }
}

void PrintJson(std::ostream& out, const std::string& label, const asiohost::AsioRunOptions& options,
               const asiohost::AsioRunResult& r, const std::vector<std::string>& problems) {
  JsonWriter json(out);
  json.BeginObject().Member("device", label).Member("duplex", r.duplex).Member("bufferFrames", r.bufferFrames);
  json.Member("rate", r.rate).Member("withWave", options.withWave).Member("seconds", static_cast<int64_t>(r.secondsRun));
  json.Key("requests").BeginArray();
  for (const auto& [name, statuses] : r.requests) {
    for (const auto& [status, count] : statuses) {
      json.BeginObject().Member("request", name).Member("status", StatusText(status)).Member("count", count);
      json.EndObject();
    }
  }
  json.EndArray();
  json.Member("reads", r.reads).Member("writes", r.writes).Member("framesRead", r.framesRead);
  json.Member("framesWritten", r.framesWritten).Member("glitches", r.Glitches());
  json.Member("positionChecks", r.positionChecks).Member("positionErrors", r.positionErrors);
  json.Member("framesCompared", r.framesCompared).Member("framesDiffering", r.framesDiffering);
  json.Member("roundTripFrames", r.offsetFrames).Member("prefillFrames", r.prefillFrames);
  json.Member("captureMs", r.captureMs).Member("renderMs", r.renderMs);
  json.Member("loopbackDelayFrames", r.loopbackDelayFrames);
  json.Key("problems").BeginArray();
  for (const std::string& problem : problems) json.String(problem);
  json.EndArray().EndObject();
  out << "\n";
}

bool ParseRange(const Options& options, const char* name, double low, double high, double fallback, double* value,
                const char* what) {
  if (!options.GetNumber(name, fallback, value) || *value < low || *value > high) {
    std::fprintf(stderr, "troxsim asio: --%s takes %s from %g to %g\n", name, what, low, high);
    return false;
  }
  return true;
}

}  // namespace

int RunAsioCommand(int argc, char** argv, int first, bool withWaveByDefault) {
  Options options;
  std::string error;
  const std::vector<std::string> known = {"device", "descriptors", "speed",     "buffer", "rate",  "seconds",
                                          "drift",  "with-wave",   "time",      "seed",   "json",  "loopback-delay"};
  if (!options.Parse(argc, argv, first, {"with-wave", "json"}, &error, known)) {
    std::fprintf(stderr, "troxsim asio: %s\n", error.c_str());
    return 2;
  }
  if (auto unknown = options.Unknown(known); !unknown.empty()) {
    std::fprintf(stderr, "troxsim asio: unknown option --%s\n", unknown.front().c_str());
    return 2;
  }
  asiohost::AsioRunOptions run;
  double buffer = 0, rate = 0;
  if (!ParseRange(options, "buffer", 1, 8192, 256, &buffer, "frames") ||
      !ParseRange(options, "rate", 0, 768000, 0, &rate, "Hz (0: the device's)") ||
      !ParseRange(options, "seconds", 0, 3600, 5, &run.seconds, "seconds") ||
      !ParseRange(options, "drift", -10000, 10000, 50, &run.driftPpm, "ppm") ||
      !ParseRange(options, "loopback-delay", 0, 400, 2, &run.loopbackDelayMs, "milliseconds")) {
    return 2;
  }
  if (buffer != static_cast<uint32_t>(buffer) || rate != static_cast<uint32_t>(rate)) {
    std::fprintf(stderr, "troxsim asio: --buffer and --rate take whole numbers\n");
    return 2;
  }
  run.bufferFrames = static_cast<uint32_t>(buffer);
  run.rate = static_cast<uint32_t>(rate);
  run.withWave = withWaveByDefault || options.Has("with-wave");
  const bool json = options.Has("json");
  BedChoice bedChoice;
  if (!ParseBedChoice(options.Get("time"), options.Get("seed"), &bedChoice, &error)) {
    std::fprintf(stderr, "troxsim asio: %s\n", error.c_str());
    return 2;
  }
  DeviceChoice choice;
  choice.device = options.Get("device").value_or("");
  choice.descriptors = options.Get("descriptors").value_or("");
  choice.speed = options.Get("speed");
  std::string label;
  auto device = MakeDevice(choice, &label, &error);
  if (!device) {
    std::fprintf(stderr, "troxsim asio: %s\n", error.c_str());
    return 2;
  }

  CommandBed bed(bedChoice);
  int code = 0;
  PDEVICE_OBJECT pdo = bed->Plug(*device);
  const NTSTATUS status = pdo != nullptr ? bed->Start(pdo) : STATUS_NO_SUCH_DEVICE;
  if (!NT_SUCCESS(status)) {
    std::cout << "Device '" << label << "': the device did not start (" << StatusText(status) << ")\n";
    code = 1;
  } else {
    ProgressLine progress("troxsim asio", run.seconds);
    run.progress = [&](double seconds) { progress.Update(seconds); };
    const asiohost::AsioRunResult result = asiohost::RunAsio(*bed, pdo, *device, run);
    const std::vector<std::string> problems = result.Problems(run);
    if (json) {
      PrintJson(std::cout, label, run, result, problems);
    } else {
      PrintRun(std::cout, label, run, result);
      for (const std::string& problem : problems) std::cout << "PROBLEM: " << problem << "\n";
      std::cout << "Result: " << (problems.empty() ? "clean" : std::to_string(problems.size()) + " problems") << "\n";
    }
    if (!problems.empty()) code = 1;
  }
  if (pdo != nullptr && !bed->Unplug(pdo)) {
    std::fprintf(stderr, "troxsim asio: the device did not go away cleanly\n");
    code = 1;
  }
  if (!bed.Close("troxsim asio", std::cerr)) code = 1;
  return code;
}

}  // namespace troxsim
