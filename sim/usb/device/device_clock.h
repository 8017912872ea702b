// The device's own crystal: a free-running clock a settable number of ppm off
// the bus. For every sample rate in use it yields the whole frames that fall
// into each bus interval, carrying the fraction, so that streams at the same
// rate see the same frame counts.
#pragma once

#include <cstdint>
#include <map>

#include "sim/usb/device/usb_device.h"

namespace sim::usb {

class DeviceClock {
 public:
  explicit DeviceClock(Speed speed) : speed_(speed) {}

  uint32_t IntervalsPerSecond() const { return speed_ == Speed::High ? 8000 : 1000; }
  void SetDriftPpm(double ppm);
  double DriftPpm() const { return ppm_; }
  // Frames per second that the device really runs at for a nominal rate.
  double ActualRate(uint32_t rate) const { return rate * (1.0 + ppm_ * 1e-6); }

  // Starts bus interval `interval`; frame counts below refer to it.
  void BeginInterval(uint64_t interval) { interval_ = interval; }
  // Frames produced at `rate` during the current interval.
  uint32_t Frames(uint32_t rate);

  // The measured rate as an explicit feedback endpoint reports it: 10.14
  // frames per 1 ms frame at full speed, 16.16 frames per microframe at high.
  // Like a device that counts its clock over the refresh period, the values
  // carry the part below the last bit to the next report, so that their mean
  // is the true rate and a host that follows them neither gains nor loses.
  uint32_t FeedbackValue(uint32_t rate);
  uint32_t FeedbackBytes() const { return speed_ == Speed::High ? 4 : 3; }

 private:
  struct Phase {
    uint64_t step = 0;         // frames per second, 2^-24 units
    uint64_t accumulator = 0;  // frames * intervals-per-second, 2^-24 units
    uint64_t interval = 0;
    uint32_t frames = 0;
    bool started = false;
  };
  uint64_t Step(uint32_t rate) const;

  Speed speed_;
  double ppm_ = 0.0;
  uint64_t interval_ = 0;
  std::map<uint32_t, Phase> phases_;
  std::map<uint32_t, uint64_t> feedbackRemainders_;  // per rate, in units of 1/(intervals << 24)
};

}  // namespace sim::usb
