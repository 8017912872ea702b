// Bandwidth of every sample converter, copy and mix, over 4800 frames of 2
// and 10 channels, next to memcpy of the same destination bytes. The goal:
// a copy between equal widths keeps at least half of memcpy's bandwidth.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform.h"
#include "engine/converters.h"

namespace {

constexpr ULONG kFrames = 4800;
constexpr ULONG kWidths[] = {16, 24, 32};
constexpr ULONG kChannels[] = {2, 10};

void Convert(benchmark::State& state, bool mix, ULONG sourceBits, ULONG destinationBits, ULONG channels) {
  Converter conv = {};
  if (!NT_SUCCESS(ConverterSelect(&conv, kSampleFormatPcm, sourceBits, channels, kSampleFormatPcm, destinationBits,
                                  channels, 0))) {
    state.SkipWithError("no converter for the widths");
    return;
  }
  std::vector<UCHAR> source(static_cast<size_t>(kFrames) * conv.SourceStride);
  for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<UCHAR>(i * 37);
  std::vector<UCHAR> destination(static_cast<size_t>(kFrames) * conv.DestinationStride);
  for (auto _ : state) {
    const UCHAR* end = mix ? ConverterApplyMix(&conv, destination.data(), source.data(), kFrames)
                           : ConverterApplyCopy(&conv, destination.data(), source.data(), kFrames);
    benchmark::DoNotOptimize(end);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(destination.size()));
}

void Memcpy(benchmark::State& state, size_t bytes) {
  std::vector<UCHAR> source(bytes, 0x5A);
  std::vector<UCHAR> destination(bytes);
  for (auto _ : state) {
    std::memcpy(destination.data(), source.data(), bytes);
    benchmark::DoNotOptimize(destination.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  // Each destination width and channel count: the memcpy baseline, then every source width.
  for (ULONG channels : kChannels) {
    const std::string suffix = "/" + std::to_string(channels) + "ch";
    for (ULONG destinationBits : kWidths) {
      const std::string to = std::to_string(destinationBits);
      benchmark::RegisterBenchmark(("memcpy" + to + suffix).c_str(), Memcpy,
                                   static_cast<size_t>(kFrames) * channels * destinationBits / 8);
      for (ULONG sourceBits : kWidths) {
        const std::string from = to + "from" + std::to_string(sourceBits) + suffix;
        benchmark::RegisterBenchmark(("copy" + from).c_str(), Convert, false, sourceBits, destinationBits, channels);
        benchmark::RegisterBenchmark(("mix" + from).c_str(), Convert, true, sourceBits, destinationBits, channels);
      }
    }
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
