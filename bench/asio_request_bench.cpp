// What a host's requests on the private file cost from the user-mode entry
// to their completion while ASIO streams duplex on the default device (real
// time, 96 kHz, 256-frame periods): the period's write (completed at once
// into the render ring), the position query, and a read's submission with
// its cancellation (a read otherwise waits for its period's data).
#include <benchmark/benchmark.h>

#include <vector>

#include "common/asio_requests.h"
#include "real_time_bed.h"
#include "tools/asiohost/private_files.h"
#include "tools/asiohost/private_session.h"

namespace {

constexpr ULONG kFrames = 256;

// The default device streaming through one running private handle.
class RunningHost {
 public:
  RunningHost() {
    if (!rt_.Started() || !NT_SUCCESS(session_.Open(asiohost::PrivateFileOf(rt_.Pdo())))) return;
    ASIO_FORMAT_RECORD format = {1, 96000, 0, 0, 0, 0};
    const ASIO_PREPARE_RECORD prepare = {kFrames, 1, 1, 0, 0, 1};
    ok_ = NT_SUCCESS(session_.Send(IOCTL_ASIO_CLAIM).status) &&
          NT_SUCCESS(session_.Control(IOCTL_ASIO_GET_FORMAT, &format, sizeof(format), &format, sizeof(format)).status) &&
          NT_SUCCESS(session_.Control(IOCTL_ASIO_PREPARE, &prepare, sizeof(prepare), nullptr, 0).status) &&
          NT_SUCCESS(session_.Send(IOCTL_ASIO_START).status) && NT_SUCCESS(session_.Send(IOCTL_ASIO_GO).status);
    render_.resize(kFrames * format.RenderChannels * format.RenderBits / 8);
    capture_.resize(kFrames * format.CaptureChannels * format.CaptureBits / 8);
  }
  ~RunningHost() { session_.Close(); }
  bool Ok() const { return ok_; }
  asiohost::PrivateSession& Session() { return session_; }
  std::vector<uint8_t>& Render() { return render_; }
  std::vector<uint8_t>& Capture() { return capture_; }

 private:
  bench::RealTimeBed rt_;
  asiohost::PrivateSession session_;
  std::vector<uint8_t> render_;
  std::vector<uint8_t> capture_;
  bool ok_ = false;
};

void BM_PeriodWrite(benchmark::State& state) {
  RunningHost host;
  if (!host.Ok()) {
    state.SkipWithError("ASIO streaming did not start");
    return;
  }
  for (auto _ : state) {
    auto write = host.Session().Write(host.Render().data(), static_cast<ULONG>(host.Render().size()));
    write->Wait();
    benchmark::DoNotOptimize(write->Result());
  }
}
BENCHMARK(BM_PeriodWrite)->Unit(benchmark::kMicrosecond);

void BM_PositionQuery(benchmark::State& state) {
  RunningHost host;
  if (!host.Ok()) {
    state.SkipWithError("ASIO streaming did not start");
    return;
  }
  ULONG position = 0;
  for (auto _ : state) benchmark::DoNotOptimize(host.Session().Query(IOCTL_ASIO_GET_POSITION, &position));
}
BENCHMARK(BM_PositionQuery)->Unit(benchmark::kMicrosecond);

void BM_ReadSubmitAndCancel(benchmark::State& state) {
  RunningHost host;
  if (!host.Ok()) {
    state.SkipWithError("ASIO streaming did not start");
    return;
  }
  for (auto _ : state) {
    auto read = host.Session().Read(host.Capture().data(), static_cast<ULONG>(host.Capture().size()));
    read->Cancel();
    read->Wait();
    benchmark::DoNotOptimize(read->Result());
  }
}
BENCHMARK(BM_ReadSubmitAndCancel)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
