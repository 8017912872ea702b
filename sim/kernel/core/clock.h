// The one clock of the stand-ins. Every time value (performance counter,
// interrupt and system time, timers, wait time-outs, bus frames, device
// clocks, user-mode time) and every blocking wait goes through here.
//
// Two modes. Real time follows the monotonic clock and the host's scheduler.
// Simulated time runs every participating thread one at a time, as a seeded
// scheduler picks them: a thread runs until it waits on the clock (or yields),
// and when every participant waits, time jumps to the earliest deadline. Code
// then costs no time, runs are repeatable for a seed, and minutes of streaming
// take seconds. Every thread that takes part in simulated time is either a
// Thread of this header or a Participant; a wait of any other thread, or a
// wait that bypasses the clock, cannot be seen by the scheduler.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim::clock {

// Deadline meaning "wait without time-out".
inline constexpr int64_t kInfinite = INT64_MAX;
inline constexpr int64_t kTicksPerMicrosecond = 10;
inline constexpr int64_t kTicksPerMillisecond = 10'000;
inline constexpr int64_t kTicksPerSecond = 10'000'000;

enum class Mode { kReal, kSimulated };

// 100-ns units since the start of the simulation (real time) or of the
// simulated run; monotonic within a mode.
int64_t Now();
Mode CurrentMode();
bool IsSimulated();

struct SimulatedOptions {
  uint64_t seed = 1;
  // Simulated time at which the run starts.
  int64_t start = kTicksPerSecond;
  // A run whose time passes start + limit is stopped with a report of every
  // thread: time that runs away means some wait never ends.
  int64_t limit = 3600 * kTicksPerSecond;
  // Probability, in 1/65536, that a preemption point (Yield) hands the
  // processor to another runnable thread.
  uint32_t preemption = 4096;
  // A thread that keeps the processor this long in wall time without waiting
  // is reported and the run stopped (it spins, or blocks outside the clock).
  int64_t watchdogSeconds = 120;
};

// Switches modes. Only while the calling thread is the only participant; the
// caller becomes the first participant of a simulated run and stays one until
// UseRealTime, which ends the run.
void UseSimulatedTime(const SimulatedOptions& options);
void UseRealTime();
// Seed of the simulated run in progress (0 in real time).
uint64_t Seed();

// A deterministic pseudo-random stream for stand-ins (which processor runs a
// completion, random fault schedules): seeded from the run's seed and the
// stream's name in simulated time, from the name alone in real time.
class Random {
 public:
  explicit Random(const char* name);
  uint64_t Next();
  // Uniform in [0, bound); 0 when bound is 0.
  uint64_t Below(uint64_t bound);

 private:
  uint64_t state_;
};

// ---- waiting ----

class Condition;

namespace detail {
struct Waiter;
// The participants waiting on a condition (simulated time, under the scheduler).
std::vector<Waiter*>& WaitersOf(Condition& condition);
// Real time: the steady-clock time point of a clock deadline.
std::chrono::steady_clock::time_point RealTimePoint(int64_t deadline);
bool FarFuture(int64_t deadline);
// Simulated time: the calling participant waits on the condition until it is
// notified or the deadline passes (false). The caller's lock is released
// after the waiter is queued and taken again afterwards.
struct SimWait {
  SimWait(Condition& condition, int64_t deadline);
  bool Park();
  Waiter* waiter;
};
}  // namespace detail

// A condition variable whose waits the clock sees.
class Condition {
 public:
  explicit Condition(const char* what = "condition") : what_(what) {}
  ~Condition();
  Condition(const Condition&) = delete;
  Condition& operator=(const Condition&) = delete;

  void NotifyOne();
  void NotifyAll();
  const char* What() const { return what_; }

 private:
  friend std::vector<detail::Waiter*>& detail::WaitersOf(Condition& condition);
  template <typename Lock>
  friend bool WaitUntil(Condition& condition, Lock& lock, int64_t deadline);

  const char* what_;
  std::condition_variable_any real_;
  // Simulated time: the waiting participants in arrival order, guarded by
  // the scheduler.
  std::vector<detail::Waiter*> waiters_;
};

// Waits on the condition (lock held, released while waiting, as
// std::condition_variable::wait_until) until it is notified or the deadline
// passes. Returns false on time-out. Wake-ups may be spurious: callers
// re-check their condition.
template <typename Lock>
bool WaitUntil(Condition& condition, Lock& lock, int64_t deadline) {
  if (IsSimulated()) {
    detail::SimWait wait(condition, deadline);
    lock.unlock();
    bool notified = wait.Park();
    lock.lock();
    return notified;
  }
  if (detail::FarFuture(deadline)) {
    condition.real_.wait(lock);
    return true;
  }
  if (Now() >= deadline) return false;
  return condition.real_.wait_until(lock, detail::RealTimePoint(deadline)) == std::cv_status::no_timeout;
}

// Waits until pred() holds or the deadline passes; returns pred().
template <typename Lock, typename Pred>
bool WaitUntil(Condition& condition, Lock& lock, int64_t deadline, Pred pred) {
  while (!pred()) {
    if (!WaitUntil(condition, lock, deadline)) return pred();
  }
  return true;
}

// Blocks the calling thread until Now() >= t.
void SleepUntil(int64_t t);
inline void SleepFor(int64_t duration) { SleepUntil(Now() + duration); }

// A preemption point: in simulated time another runnable thread may run
// first (with the run's preemption probability). Nothing in real time.
void Yield();

// What the calling thread is about to wait on, for deadlock reports: a static
// text and an object. Cleared when the wait ends.
void DescribeWait(const char* what, const void* object);

// A mutex whose contention the clock sees: a thread that finds it held by a
// thread that waits (simulated time) waits through the clock. Use it for
// locks held across waits or calls into driver code.
class Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  void lock();
  bool try_lock();
  void unlock();

 private:
  std::mutex mutex_;
  Condition released_{"mutex"};
  int waiters_ = 0;  // simulated time only, under the scheduler
};

// ---- threads ----

// A host thread that takes part in the clock. In simulated time it is
// runnable from its construction on and runs when the scheduler picks it.
class Thread {
 public:
  Thread() = default;
  // stackBytes 0: the host's default.
  Thread(std::string name, std::function<void()> body, size_t stackBytes = 0);
  ~Thread();  // joins a thread that was neither joined nor detached
  Thread(Thread&& other) noexcept;
  Thread& operator=(Thread&& other) noexcept;

  bool Joinable() const { return record_ != nullptr; }
  // Waits (through the clock) until the thread has ended.
  void Join();
  void Detach();

  struct Record;

 private:
  std::shared_ptr<Record> record_;
};

// The calling thread takes part in simulated time while this lives (a test's
// own thread). Nothing in real time.
class Participant {
 public:
  explicit Participant(const char* name);
  ~Participant();
  Participant(const Participant&) = delete;
  Participant& operator=(const Participant&) = delete;

 private:
  bool registered_ = false;
};

// Runs fn when the calling clock thread (or participant) ends, before it
// leaves the scheduler: what it signals there is seen before time moves on.
void AtThreadExit(std::function<void()> fn);

// True when the calling thread is a Thread or a Participant.
bool TakesPart();

// Stack size of the calling Thread (0: not a Thread, or the host default).
size_t CurrentStackBytes();

// ---- diagnostics ----

// One line per participant: name, state, what it waits on and until when.
std::string DescribeThreads();
// Participants of the simulated run (0 in real time).
size_t ParticipantCount();
// Scheduler decisions so far (switches between threads and time jumps).
uint64_t Switches();

}  // namespace sim::clock
