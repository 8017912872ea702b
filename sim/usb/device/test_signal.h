// Deterministic capture content that tests can check sample for sample.
#pragma once

#include <cstdint>

namespace sim::usb {

enum class CaptureSource {
  Loopback,  // playback channels, delayed (the default)
  Counter,   // per-channel counter, see CounterSample
  Sine,      // the same sine on every channel, half of full scale
  Silence,
};

// Raw container value (low `subslotBytes` bytes, little-endian on the wire) of
// the counter signal: the top byte holds the channel number, the bytes below
// the frame number modulo 2^(8 * (subslotBytes - 1)).
uint32_t CounterSample(uint32_t channel, uint64_t frame, uint32_t subslotBytes);
// The sine signal as an MSB-aligned 32-bit sample.
int32_t SineSample(uint64_t frame, uint32_t rate, double frequencyHz);

}  // namespace sim::usb
