// The one clock of the stand-ins. Every time value (performance counter,
// interrupt and system time, timers, wait time-outs, bus frames, device
// clocks, user-mode time) and every blocking wait goes through here, so that a
// simulated-time mode can later replace real time without touching callers.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace sim::clock {

// Deadline meaning "wait without time-out".
inline constexpr int64_t kInfinite = INT64_MAX;

// 100-ns units since the start of the simulation; monotonic.
int64_t Now();

// Blocks the calling thread until Now() >= t.
void SleepUntil(int64_t t);

// Waits on cv (lock held, as std::condition_variable::wait_until) until it is
// notified or the deadline passes. Returns false on time-out. Wake-ups may be
// spurious: callers re-check their condition.
bool WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, int64_t deadline);

// Waits until pred() holds or the deadline passes; returns pred().
template <typename Pred>
bool WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, int64_t deadline, Pred pred) {
  while (!pred()) {
    if (!WaitUntil(cv, lock, deadline)) return pred();
  }
  return true;
}

}  // namespace sim::clock
