// What one render completion (processing and the next submission) and one
// capture completion (processing, distribution and resubmission) cost in
// their DPCs with two clients on each side: the WaveRT streams and a second
// source and sink in the ASIO stream's place. The default device at 96 kHz
// with its 10 channels of 32 bits, 1 ms transfers, measured by the engine
// with the performance counter while the stack runs on real time. Goal:
// under 10 us each. The submissions go through the stand-in USB stack, which
// costs far more than the real one: the share without it is reported too.
#include <benchmark/benchmark.h>

#include <memory>

#include "adapter/adapter_common.h"
#include "real_time_bed.h"
#include "tools/enginecheck/constant_rings.h"
#include "tools/enginecheck/duplex_run.h"

namespace {

using bench::RealTimeBed;

void Report(benchmark::State& state, const char* name, const EngineDirectionCounters& c, double ticksPerUs) {
  const double completions = c.Completions != 0 ? static_cast<double>(c.Completions) : 1;
  state.counters[std::string(name) + "_us"] = static_cast<double>(c.ProcessingTicks) / ticksPerUs / completions;
  state.counters[std::string(name) + "_us_without_usb_stack"] =
      static_cast<double>(c.ProcessingTicks - c.SubmitTicks) / ticksPerUs / completions;
  state.counters[std::string(name) + "_max_us"] = static_cast<double>(c.MaxProcessingTicks) / ticksPerUs;
}

void BM_DuplexCompletions(benchmark::State& state) {
  for (auto _ : state) {
    RealTimeBed rt;
    if (!rt.Started()) {
      state.SkipWithError("the default device did not start");
      break;
    }
    std::unique_ptr<enginecheck::ConstantRings> rings;
    CAdapterCommon* adapter = nullptr;
    enginecheck::DuplexRunOptions run;
    run.seconds = static_cast<double>(state.range(0));
    run.onStarted = [&](CAdapterCommon& a) {
      adapter = &a;
      rings = std::make_unique<enginecheck::ConstantRings>(a.Engine().DeviceFormat(kDirectionRender),
                                                           a.Engine().DeviceFormat(kDirectionCapture), 0);
      enginecheck::StartSecondClient(a, *rings);
    };
    const enginecheck::DuplexRunResult r = enginecheck::RunDuplexEngine(rt.Bed(), rt.Pdo(), rt.Device(), run);
    if (adapter != nullptr) adapter->AttachAsioStream(nullptr);
    if (!r.started || r.renderCounters.Completions == 0 || r.captureCounters.Completions == 0) {
      state.SkipWithError("the device did not stream both ways");
      break;
    }
    const double ticksPerUs = rt.TicksPerUs();
    Report(state, "render", r.renderCounters, ticksPerUs);
    Report(state, "capture", r.captureCounters, ticksPerUs);
    state.counters["render_completions"] = static_cast<double>(r.renderCounters.Completions);
    state.counters["capture_completions"] = static_cast<double>(r.captureCounters.Completions);
    state.counters["channels"] = r.renderDevice.Channels;
    state.counters["rate"] = r.renderDevice.SampleRate;
  }
}

}  // namespace

BENCHMARK(BM_DuplexCompletions)->Arg(5)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(1);

BENCHMARK_MAIN();
