#include "sim/kernel/core/clock.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace sim::clock {

namespace detail {

// One thread taking part in the clock.
struct Waiter {
  enum class State { kRunning, kRunnable, kBlocked };
  std::string name;
  uint64_t id = 0;
  State state = State::kRunning;
  std::condition_variable go;  // simulated time: the scheduler picked it
  // While blocked (simulated time).
  Condition* condition = nullptr;
  int64_t deadline = kInfinite;
  bool notified = false;
  const char* what = nullptr;
  const void* object = nullptr;
  std::vector<std::function<void()>> atExit;
  size_t stackBytes = 0;
};

}  // namespace detail

using detail::Waiter;
using State = Waiter::State;

struct Thread::Record {
  std::shared_ptr<Waiter> waiter;
  std::function<void()> body;
  std::mutex lock;
  Condition ended{"thread end"};
  bool done = false;
  pthread_t handle{};
};

namespace {

using Steady = std::chrono::steady_clock;
using Ticks = std::chrono::duration<int64_t, std::ratio<1, kTicksPerSecond>>;

Steady::time_point RealStart() {
  static const Steady::time_point start = Steady::now();
  return start;
}
// Make the epoch the moment the program loads, not the first query.
[[maybe_unused]] const Steady::time_point kStartAtLoad = RealStart();

// Deadlines beyond this (about 31 years) are treated as no deadline, which
// also keeps the conversion to the steady clock from overflowing.
constexpr int64_t kFarFuture = 10'000'000'000'000'000LL;

uint64_t SplitMix(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

uint64_t HashName(const char* name) {
  uint64_t h = 1469598103934665603ULL;  // FNV-1a
  for (const char* p = name; p && *p; ++p) h = (h ^ static_cast<unsigned char>(*p)) * 1099511628211ULL;
  return h;
}

struct Scheduler {
  std::mutex m;
  std::atomic<Mode> mode{Mode::kReal};
  std::atomic<int64_t> now{0};
  SimulatedOptions options;
  std::vector<Waiter*> members;  // in registration order
  std::vector<Waiter*> runnable;
  Waiter* running = nullptr;
  uint64_t rng = 0;
  std::atomic<uint64_t> switches{0};
  uint64_t nextId = 1;
  // Watchdog (a host thread outside the clock).
  std::thread watchdog;
  std::condition_variable watchdogWake;
  bool watchdogStop = false;
};

Scheduler& S() {
  static Scheduler* s = new Scheduler;  // outlives every thread that may still use it
  return *s;
}

thread_local Waiter* tSelf = nullptr;

const char* StateName(State s) {
  switch (s) {
    case State::kRunning: return "running";
    case State::kRunnable: return "runnable";
    case State::kBlocked: return "waiting";
  }
  return "?";
}

std::string DescribeLocked(Scheduler& s) {
  std::string out;
  char line[512];
  for (Waiter* w : s.members) {
    int n = snprintf(line, sizeof line, "  %s [%" PRIu64 "]: %s", w->name.c_str(), w->id, StateName(w->state));
    if (w->state == State::kBlocked) {
      const char* on = w->condition ? w->condition->What() : "sleep";
      n += snprintf(line + n, sizeof line - n, " on %s", on);
      if (w->what) n += snprintf(line + n, sizeof line - n, " (%s %p)", w->what, w->object);
      if (w->deadline >= kFarFuture)
        snprintf(line + n, sizeof line - n, ", no time-out");
      else
        snprintf(line + n, sizeof line - n, ", until %.6f s", static_cast<double>(w->deadline) / kTicksPerSecond);
    }
    out += line;
    out += '\n';
  }
  return out;
}

[[noreturn]] void Fatal(Scheduler& s, const char* problem) {
  fprintf(stderr, "SIMULATED TIME: %s (seed %" PRIu64 ", at %.6f s); replay with TROX_SEED=%" PRIu64 "\n%s", problem,
          s.options.seed, static_cast<double>(s.now.load()) / kTicksPerSecond, s.options.seed,
          DescribeLocked(s).c_str());
  fflush(stderr);
  abort();
}

[[noreturn]] void FatalUnlocked(const char* problem) {
  Scheduler& s = S();
  std::unique_lock<std::mutex> l(s.m);
  Fatal(s, problem);
}

Waiter* Self(const char* call) {
  Waiter* self = tSelf;
  if (self == nullptr) {
    char problem[160];
    snprintf(problem, sizeof problem, "%s by a thread that does not take part in the clock", call);
    FatalUnlocked(problem);
  }
  return self;
}

// With the lock held: makes w runnable (it was blocked).
void Wake(Scheduler& s, Waiter* w, bool notified) {
  if (w->condition) {
    auto& ws = detail::WaitersOf(*w->condition);
    ws.erase(std::remove(ws.begin(), ws.end(), w), ws.end());
    w->condition = nullptr;
  }
  w->notified = notified;
  w->state = State::kRunnable;
  s.runnable.push_back(w);
}

// With the lock held: the next thread to run, advancing time while nothing
// is runnable. Never returns without one.
Waiter* PickNext(Scheduler& s) {
  while (s.runnable.empty()) {
    int64_t earliest = kInfinite;
    for (Waiter* w : s.members) {
      if (w->state == State::kBlocked) earliest = std::min(earliest, w->deadline);
    }
    if (earliest >= kFarFuture) Fatal(s, "deadlock: every thread waits and none has a time-out");
    if (earliest > s.options.start + s.options.limit && s.options.limit < kFarFuture)
      Fatal(s, "the run's simulated time limit passed: some wait never ends");
    if (earliest > s.now.load(std::memory_order_relaxed)) s.now.store(earliest, std::memory_order_relaxed);
    for (Waiter* w : s.members) {
      if (w->state == State::kBlocked && w->deadline <= earliest) Wake(s, w, false);
    }
  }
  size_t i = s.runnable.size() == 1 ? 0 : SplitMix(s.rng) % s.runnable.size();
  Waiter* next = s.runnable[i];
  s.runnable.erase(s.runnable.begin() + static_cast<ptrdiff_t>(i));
  return next;
}

void Run(Scheduler& s, Waiter* next) {
  next->state = State::kRunning;
  s.running = next;
  s.switches.fetch_add(1, std::memory_order_relaxed);
}

// With the lock held: self stops running (it is blocked or runnable already)
// and runs again once the scheduler picks it.
void HandOff(Scheduler& s, Waiter* self, std::unique_lock<std::mutex>& l) {
  Waiter* next = PickNext(s);
  Run(s, next);
  if (next == self) return;
  next->go.notify_one();
  while (self->state != State::kRunning) self->go.wait(l);
}

// With the lock held: self leaves the scheduler; someone else runs.
void LeaveLocked(Scheduler& s, Waiter* self) {
  s.members.erase(std::remove(s.members.begin(), s.members.end(), self), s.members.end());
  if (s.mode.load() != Mode::kSimulated) return;
  if (s.running == self) s.running = nullptr;
  if (s.members.empty()) return;
  Waiter* next = PickNext(s);
  Run(s, next);
  next->go.notify_one();
}

void RunExitHooks(Waiter* self) {
  // Hooks may register further hooks; run until none are left.
  while (!self->atExit.empty()) {
    auto hooks = std::move(self->atExit);
    self->atExit.clear();
    for (auto& fn : hooks) fn();
  }
}

void WatchdogLoop() {
  Scheduler& s = S();
  std::unique_lock<std::mutex> l(s.m);
  uint64_t seen = s.switches.load();
  Steady::time_point since = Steady::now();
  while (!s.watchdogStop) {
    s.watchdogWake.wait_for(l, std::chrono::seconds(1));
    if (s.watchdogStop) break;
    uint64_t now = s.switches.load();
    if (now != seen || s.running == nullptr) {
      seen = now;
      since = Steady::now();
      continue;
    }
    if (Steady::now() - since > std::chrono::seconds(s.options.watchdogSeconds)) {
      char problem[256];
      snprintf(problem, sizeof problem,
               "%s has run for %" PRId64
               " s of wall time without waiting on the clock (it spins, or blocks outside "
               "the clock)",
               s.running->name.c_str(), static_cast<int64_t>(s.options.watchdogSeconds));
      Fatal(s, problem);
    }
  }
}

void* ThreadEntry(void* arg) {
  auto* holder = static_cast<std::shared_ptr<Thread::Record>*>(arg);
  std::shared_ptr<Thread::Record> record = std::move(*holder);
  delete holder;
  Waiter* self = record->waiter.get();
  tSelf = self;
  Scheduler& s = S();
  {
    std::unique_lock<std::mutex> l(s.m);
    while (s.mode.load() == Mode::kSimulated && self->state != State::kRunning) self->go.wait(l);
  }
  record->body();
  record->body = nullptr;
  RunExitHooks(self);
  {
    std::lock_guard<std::mutex> rl(record->lock);
    record->done = true;
    record->ended.NotifyAll();
  }
  {
    std::unique_lock<std::mutex> l(s.m);
    LeaveLocked(s, self);
  }
  tSelf = nullptr;
  return nullptr;
}

}  // namespace

namespace detail {

std::vector<Waiter*>& WaitersOf(Condition& condition) { return condition.waiters_; }

std::chrono::steady_clock::time_point RealTimePoint(int64_t deadline) {
  return RealStart() + std::chrono::duration_cast<Steady::duration>(Ticks(deadline));
}

bool FarFuture(int64_t deadline) { return deadline >= kFarFuture; }

SimWait::SimWait(Condition& condition, int64_t deadline) {
  Scheduler& s = S();
  waiter = Self("a wait");
  std::lock_guard<std::mutex> l(s.m);
  waiter->state = State::kBlocked;
  waiter->condition = &condition;
  waiter->deadline = deadline;
  waiter->notified = false;
  WaitersOf(condition).push_back(waiter);
}

bool SimWait::Park() {
  Scheduler& s = S();
  std::unique_lock<std::mutex> l(s.m);
  if (waiter->state == State::kBlocked) {
    if (waiter->deadline <= s.now.load(std::memory_order_relaxed)) {
      // Already past: a time-out without giving up the processor.
      auto& ws = WaitersOf(*waiter->condition);
      ws.erase(std::remove(ws.begin(), ws.end(), waiter), ws.end());
      waiter->condition = nullptr;
      waiter->notified = false;
      waiter->state = State::kRunning;
    } else {
      HandOff(s, waiter, l);
    }
  }
  waiter->what = nullptr;
  waiter->object = nullptr;
  return waiter->notified;
}

}  // namespace detail

int64_t Now() {
  Scheduler& s = S();
  if (s.mode.load(std::memory_order_relaxed) == Mode::kSimulated) return s.now.load(std::memory_order_relaxed);
  return std::chrono::duration_cast<Ticks>(Steady::now() - RealStart()).count();
}

Mode CurrentMode() { return S().mode.load(std::memory_order_relaxed); }
bool IsSimulated() { return CurrentMode() == Mode::kSimulated; }

uint64_t Seed() { return IsSimulated() ? S().options.seed : 0; }

void UseSimulatedTime(const SimulatedOptions& options) {
  Scheduler& s = S();
  std::unique_lock<std::mutex> l(s.m);
  if (s.mode.load() == Mode::kSimulated) Fatal(s, "simulated time is already in use");
  if (!s.members.empty()) {
    std::string names;
    for (Waiter* w : s.members) names += " " + w->name;
    fprintf(stderr, "SIMULATED TIME: cannot start while these clock threads run in real time:%s\n", names.c_str());
    abort();
  }
  s.options = options;
  s.now.store(options.start);
  s.rng = options.seed ^ 0x5DEECE66DULL;
  s.runnable.clear();
  auto* self = new Waiter;
  self->name = "main";
  self->id = s.nextId++;
  self->state = State::kRunning;
  s.members.push_back(self);
  s.running = self;
  tSelf = self;
  s.mode.store(Mode::kSimulated);
  s.watchdogStop = false;
  if (options.watchdogSeconds > 0) s.watchdog = std::thread(WatchdogLoop);
}

void UseRealTime() {
  Scheduler& s = S();
  Waiter* self = tSelf;
  {
    std::unique_lock<std::mutex> l(s.m);
    if (s.mode.load() != Mode::kSimulated) return;
    if (s.members.size() != 1 || s.members.front() != self)
      Fatal(s, "the simulated run ends while other clock threads still run");
  }
  RunExitHooks(self);
  {
    std::unique_lock<std::mutex> l(s.m);
    s.members.clear();
    s.runnable.clear();
    s.running = nullptr;
    s.mode.store(Mode::kReal);
    s.watchdogStop = true;
    s.watchdogWake.notify_all();
  }
  if (s.watchdog.joinable()) s.watchdog.join();
  tSelf = nullptr;
  delete self;
}

Random::Random(const char* name) : state_(HashName(name) ^ (Seed() * 0xD1B54A32D192ED03ULL)) {}

uint64_t Random::Next() { return SplitMix(state_); }

uint64_t Random::Below(uint64_t bound) { return bound == 0 ? 0 : Next() % bound; }

Condition::~Condition() {
  if (!detail::WaitersOf(*this).empty()) FatalUnlocked("a condition was destroyed while threads wait on it");
}

void Condition::NotifyOne() {
  if (!IsSimulated()) {
    real_.notify_one();
    return;
  }
  Scheduler& s = S();
  std::lock_guard<std::mutex> l(s.m);
  auto& ws = detail::WaitersOf(*this);
  if (!ws.empty()) Wake(s, ws.front(), true);
}

void Condition::NotifyAll() {
  if (!IsSimulated()) {
    real_.notify_all();
    return;
  }
  Scheduler& s = S();
  std::lock_guard<std::mutex> l(s.m);
  auto& ws = detail::WaitersOf(*this);
  while (!ws.empty()) Wake(s, ws.front(), true);
}

void SleepUntil(int64_t t) {
  if (!IsSimulated()) {
    if (t >= kFarFuture) {
      for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
    }
    std::this_thread::sleep_until(detail::RealTimePoint(t));
    return;
  }
  Scheduler& s = S();
  Waiter* self = Self("a sleep");
  std::unique_lock<std::mutex> l(s.m);
  if (t <= s.now.load(std::memory_order_relaxed)) return;
  self->state = State::kBlocked;
  self->condition = nullptr;
  self->deadline = t;
  HandOff(s, self, l);
  self->what = nullptr;
  self->object = nullptr;
}

void Yield() {
  if (!IsSimulated()) return;
  Scheduler& s = S();
  Waiter* self = tSelf;
  if (self == nullptr) return;
  std::unique_lock<std::mutex> l(s.m);
  if (s.runnable.empty()) return;
  if ((SplitMix(s.rng) & 0xFFFF) >= s.options.preemption) return;
  self->state = State::kRunnable;
  s.runnable.push_back(self);
  HandOff(s, self, l);
}

void DescribeWait(const char* what, const void* object) {
  if (Waiter* self = tSelf) {
    self->what = what;
    self->object = object;
  }
}

void Mutex::lock() {
  if (mutex_.try_lock()) return;
  if (!IsSimulated() || tSelf == nullptr) {
    mutex_.lock();
    return;
  }
  // The holder waits somewhere: wait for it through the clock.
  for (;;) {
    {
      std::lock_guard<std::mutex> l(S().m);
      waiters_++;
    }
    detail::SimWait wait(released_, kInfinite);
    wait.Park();
    {
      std::lock_guard<std::mutex> l(S().m);
      waiters_--;
    }
    if (mutex_.try_lock()) return;
  }
}

bool Mutex::try_lock() { return mutex_.try_lock(); }

void Mutex::unlock() {
  mutex_.unlock();
  if (!IsSimulated()) return;
  bool any;
  {
    std::lock_guard<std::mutex> l(S().m);
    any = waiters_ > 0;
  }
  if (any) released_.NotifyAll();
}

Thread::Thread(std::string name, std::function<void()> body, size_t stackBytes) {
  Scheduler& s = S();
  record_ = std::make_shared<Record>();
  record_->waiter = std::make_shared<Waiter>();
  record_->body = std::move(body);
  Waiter* w = record_->waiter.get();
  w->name = std::move(name);
  w->stackBytes = stackBytes;
  {
    std::lock_guard<std::mutex> l(s.m);
    w->id = s.nextId++;
    s.members.push_back(w);
    if (s.mode.load() == Mode::kSimulated) {
      if (tSelf == nullptr) Fatal(s, "a clock thread is started by a thread that does not take part in the clock");
      w->state = State::kRunnable;
      s.runnable.push_back(w);
    }
  }
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  if (stackBytes != 0) pthread_attr_setstacksize(&attr, stackBytes);
  auto* arg = new std::shared_ptr<Record>(record_);
  int rc = pthread_create(&record_->handle, &attr, ThreadEntry, arg);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    fprintf(stderr, "clock: cannot create thread %s: %s\n", w->name.c_str(), strerror(rc));
    abort();
  }
}

Thread::~Thread() {
  if (Joinable()) Join();
}

Thread::Thread(Thread&& other) noexcept : record_(std::move(other.record_)) {}

Thread& Thread::operator=(Thread&& other) noexcept {
  if (this != &other) {
    if (Joinable()) Join();
    record_ = std::move(other.record_);
  }
  return *this;
}

void Thread::Join() {
  if (!record_) return;
  std::shared_ptr<Record> r = std::move(record_);
  if (r->waiter.get() == tSelf) {
    fprintf(stderr, "clock: thread %s joins itself\n", r->waiter->name.c_str());
    abort();
  }
  {
    std::unique_lock<std::mutex> l(r->lock);
    WaitUntil(r->ended, l, kInfinite, [&] { return r->done; });
  }
  pthread_join(r->handle, nullptr);
}

void Thread::Detach() {
  if (!record_) return;
  pthread_detach(record_->handle);
  record_.reset();
}

Participant::Participant(const char* name) {
  if (!IsSimulated() || tSelf != nullptr) return;
  Scheduler& s = S();
  auto* self = new Waiter;
  self->name = name;
  std::unique_lock<std::mutex> l(s.m);
  self->id = s.nextId++;
  s.members.push_back(self);
  tSelf = self;
  registered_ = true;
  if (s.running == nullptr) {
    Run(s, self);
    return;
  }
  self->state = State::kRunnable;
  s.runnable.push_back(self);
  while (self->state != State::kRunning) self->go.wait(l);
}

Participant::~Participant() {
  if (!registered_) return;
  Waiter* self = tSelf;
  RunExitHooks(self);
  {
    Scheduler& s = S();
    std::unique_lock<std::mutex> l(s.m);
    LeaveLocked(s, self);
  }
  tSelf = nullptr;
  delete self;
}

void AtThreadExit(std::function<void()> fn) {
  if (Waiter* self = tSelf) self->atExit.push_back(std::move(fn));
}

bool TakesPart() { return tSelf != nullptr; }

size_t CurrentStackBytes() { return tSelf ? tSelf->stackBytes : 0; }

std::string DescribeThreads() {
  Scheduler& s = S();
  std::lock_guard<std::mutex> l(s.m);
  return DescribeLocked(s);
}

size_t ParticipantCount() {
  Scheduler& s = S();
  std::lock_guard<std::mutex> l(s.m);
  return s.mode.load() == Mode::kSimulated ? s.members.size() : 0;
}

uint64_t Switches() { return S().switches.load(); }

}  // namespace sim::clock
