// How fast simulated time runs: a duplex stream on the default device
// through the driver's transfer layer for a simulated minute, in the device
// core's transfer configuration, reported as simulated seconds per wall
// second, with the scheduler's thread switches per simulated second.
#include <benchmark/benchmark.h>

#include <chrono>

#include "sim/kernel/core/clock.h"
#include "sim/testbed/testbed.h"
#include "sim/usb/device/device_models.h"
#include "tools/streamcheck/driver_session.h"
#include "tools/streamcheck/stream_check.h"

namespace {

void BM_DuplexMinute(benchmark::State& state) {
  const double seconds = static_cast<double>(state.range(0));
  for (auto _ : state) {
    auto device = sim::usb::CreateModel(sim::usb::kDefaultModel);
    device->SetDriftPpm(100);
    sim::testbed::Testbed bed;
    streamcheck::DriverSession session(bed, *device);
    if (!session.Ok()) {
      state.SkipWithError("the driver did not take the default device");
      break;
    }
    streamcheck::StreamCheckOptions options;
    options.seconds = seconds;
    options.recordSeconds = 1;
    const uint64_t switches = sim::clock::Switches();
    const auto begin = std::chrono::steady_clock::now();
    const streamcheck::StreamCheckResult result = streamcheck::RunStreamCheck(*session.Audio(), *device, options);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    state.counters["sim_per_wall"] = seconds / wall;
    state.counters["switches_per_sim_s"] = static_cast<double>(sim::clock::Switches() - switches) / seconds;
    if (!result.Problems().empty()) state.SkipWithError(result.Problems().front().c_str());
    session.Close();
  }
}

}  // namespace

BENCHMARK(BM_DuplexMinute)->Arg(60)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(1);

BENCHMARK_MAIN();
