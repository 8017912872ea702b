#include "sim/kernel/core/clock.h"

#include <chrono>
#include <thread>

namespace sim::clock {
namespace {

using Steady = std::chrono::steady_clock;
using Ticks = std::chrono::duration<int64_t, std::ratio<1, 10'000'000>>;

Steady::time_point Start() {
  static const Steady::time_point start = Steady::now();
  return start;
}

// Deadlines beyond this (about 31 years) are treated as no deadline, which
// also keeps the conversion to the steady clock from overflowing.
constexpr int64_t kFarFuture = 10'000'000'000'000'000LL;

Steady::time_point ToTimePoint(int64_t t) { return Start() + std::chrono::duration_cast<Steady::duration>(Ticks(t)); }

// Make the epoch the moment the program loads, not the first query.
[[maybe_unused]] const Steady::time_point kStartAtLoad = Start();

}  // namespace

int64_t Now() { return std::chrono::duration_cast<Ticks>(Steady::now() - Start()).count(); }

void SleepUntil(int64_t t) {
  if (t >= kFarFuture) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
  }
  std::this_thread::sleep_until(ToTimePoint(t));
}

bool WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, int64_t deadline) {
  if (deadline >= kFarFuture) {
    cv.wait(lock);
    return true;
  }
  if (Now() >= deadline) return false;
  return cv.wait_until(lock, ToTimePoint(deadline)) == std::cv_status::no_timeout;
}

}  // namespace sim::clock
