// Nanoseconds per playback transfer and per packet for each packetization mode:
// implicit feedback, explicit feedback and the rate pattern, at both bus speeds,
// for 8 ms transfers of 48 kHz stereo 24-bit audio (the render transfer length
// the device core uses by default).
#include <benchmark/benchmark.h>

#include <vector>

#include "transfer_probe.h"

namespace {

constexpr ULONG kRate = 48000;
constexpr ULONG kBytesPerFrame = 6;
constexpr ULONG kMilliseconds = 8;

enum class Mode { Implicit, Explicit, Pattern };

void Packetize(benchmark::State& state, Mode mode, bool highSpeed) {
  transfertest::TransferProbe probe;
  probe.SetUp(highSpeed, kBytesPerFrame, mode == Mode::Explicit, mode == Mode::Implicit);
  probe.SetPattern(kRate);
  const ULONG intervalsPerMs = highSpeed ? 8 : 1;
  // 16.16 frames per (micro)frame, slightly fast as a real device's clock would be.
  probe.SetFeedbackRate(static_cast<ULONG>((static_cast<ULONG64>(kRate) << 16) / (1000 * intervalsPerMs) + 3));
  probe.Playback().NominalPacketBytes = static_cast<LONG>(kBytesPerFrame * kRate / (1000 * intervalsPerMs));
  probe.Playback().MinimumPacketBytes = probe.Playback().NominalPacketBytes - static_cast<LONG>(kBytesPerFrame);
  probe.Playback().MaximumPacketBytes = probe.Playback().NominalPacketBytes + static_cast<LONG>(kBytesPerFrame);
  probe.Playback().ShortPacket = 1;
  // The implicit mode gets one frame above nominal, so that it plans a large packet too; the
  // other two follow their clock and are asked for what it gives in these milliseconds.
  const ULONG frames = kRate / 1000 * kMilliseconds + (mode == Mode::Implicit ? 1 : 0);
  const ULONG length = kBytesPerFrame * frames;
  std::vector<ULONG> lengths;
  lengths.reserve(64);
  size_t packets = 0;
  for (auto _ : state) {
    if (!NT_SUCCESS(probe.Layout(length, kMilliseconds, &lengths))) {
      state.SkipWithError("the transfer could not be laid out");
      break;
    }
    packets += lengths.size();
    benchmark::DoNotOptimize(lengths.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(packets));
  state.counters["packets_per_transfer"] =
      state.iterations() ? static_cast<double>(packets) / static_cast<double>(state.iterations()) : 0;
  state.counters["time_per_packet"] =
      benchmark::Counter(static_cast<double>(packets), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

}  // namespace

BENCHMARK_CAPTURE(Packetize, implicit_full_speed, Mode::Implicit, false);
BENCHMARK_CAPTURE(Packetize, implicit_high_speed, Mode::Implicit, true);
BENCHMARK_CAPTURE(Packetize, explicit_full_speed, Mode::Explicit, false);
BENCHMARK_CAPTURE(Packetize, explicit_high_speed, Mode::Explicit, true);
BENCHMARK_CAPTURE(Packetize, pattern_full_speed, Mode::Pattern, false);
BENCHMARK_CAPTURE(Packetize, pattern_high_speed, Mode::Pattern, true);

BENCHMARK_MAIN();
