// Device clock arithmetic. Frames per second are kept in 2^-24 units and
// divided by the interval rate exactly, so a clock without drift gives exactly
// `rate` frames per second, and a drifting one errs far below a frame over
// any run length we simulate.
#include "sim/usb/device/device_clock.h"

#include <cmath>

namespace sim::usb {

uint64_t DeviceClock::Step(uint32_t rate) const {
  return static_cast<uint64_t>(std::llround(ActualRate(rate) * 16777216.0));
}

void DeviceClock::SetDriftPpm(double ppm) {
  ppm_ = ppm;
  for (auto& [rate, phase] : phases_) phase.step = Step(rate);
}

uint32_t DeviceClock::Frames(uint32_t rate) {
  if (rate == 0) return 0;
  Phase& p = phases_[rate];
  if (!p.started) {
    p.started = true;
    p.step = Step(rate);
    p.interval = interval_ - 1;
  }
  if (p.interval == interval_) return p.frames;
  // Intervals nobody asked about still advance the phase; their frames are
  // gone; only the remainder carries over.
  const uint64_t divisor = uint64_t{IntervalsPerSecond()} << 24;
  const uint64_t gap = interval_ - p.interval;
  if (gap > 1) {
    p.accumulator =
        static_cast<uint64_t>((static_cast<unsigned __int128>(p.step) * (gap - 1) + p.accumulator) % divisor);
  }
  p.accumulator += p.step;
  p.frames = static_cast<uint32_t>(p.accumulator / divisor);
  p.accumulator %= divisor;
  p.interval = interval_;
  return p.frames;
}

uint32_t DeviceClock::FeedbackValue(uint32_t rate) {
  // step is frames per second in 2^-24; the value is frames per interval in
  // 2^-16 (high speed) or 2^-14 (full speed).
  const unsigned __int128 scaled = static_cast<unsigned __int128>(Step(rate)) << (speed_ == Speed::High ? 16 : 14);
  const uint64_t divisor = uint64_t{IntervalsPerSecond()} << 24;
  // The first report is the rounded rate; later ones carry what it left.
  const auto it = feedbackRemainders_.try_emplace(rate, divisor / 2).first;
  const unsigned __int128 total = scaled + it->second;
  it->second = static_cast<uint64_t>(total % divisor);
  return static_cast<uint32_t>(total / divisor);
}

}  // namespace sim::usb
