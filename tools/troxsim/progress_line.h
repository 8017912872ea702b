// A progress line on a terminal for runs over a few seconds: rewritten in
// place on stderr, erased at the end, and silent when stderr is not a
// terminal (piped output stays clean).
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "sim/kernel/core/clock.h"

namespace troxsim {

class ProgressLine {
 public:
  ProgressLine(const char* what, double totalSeconds)
      : what_(what), total_(totalSeconds), shown_(totalSeconds > 3 && isatty(fileno(stderr))) {}
  ~ProgressLine() {
    if (shown_ && drawn_) std::fprintf(stderr, "\r\033[K");
  }
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  void Update(double doneSeconds) {
    if (!shown_) return;
    std::fprintf(stderr, "\r%s: %.1f of %.1f s", what_, doneSeconds, total_);
    std::fflush(stderr);
    drawn_ = true;
  }

 private:
  const char* what_;
  double total_;
  bool shown_;
  bool drawn_ = false;
};

// Lets `seconds` of clock time pass with the progress line shown.
inline void RunWithProgress(const char* what, double seconds) {
  ProgressLine line(what, seconds);
  const int64_t begin = sim::clock::Now();
  const int64_t end = begin + static_cast<int64_t>(seconds * sim::clock::kTicksPerSecond);
  for (int64_t now = begin; now < end; now = sim::clock::Now()) {
    sim::clock::SleepUntil(std::min(end, now + sim::clock::kTicksPerSecond / 4));
    line.Update(static_cast<double>(sim::clock::Now() - begin) / sim::clock::kTicksPerSecond);
  }
}

}  // namespace troxsim
