// Time queries, the OS version and processor information.
#include <chrono>
#include <mutex>

#include "sim/kernel/core/clock.h"
#include "sim/kernel/core/os_version.h"
#include "sim/kernel/core/thread.h"
#include "sim/kernel/core/time_base.h"
#include "sim/kernel/core/timer_queue.h"
#include "sim/kernel/core/timer_resolution.h"
#include "sim/kernel/core/verifier.h"

namespace sim::kernel {
namespace {

// Seconds from 1601-01-01 to 1970-01-01.
constexpr int64_t kEpochDifference = 11644473600LL;

std::atomic<ULONG> gOsVersion{NTDDI_WIN10};

constexpr int64_t kDefaultPerformanceFrequency = 10'000'000;
std::atomic<int64_t> gPerformanceFrequency{kDefaultPerformanceFrequency};

// 2026-01-01 00:00:00 UTC as system time, minus a simulated run's start.
constexpr int64_t kSimulatedBootSystemTime = 134116992000000000LL - sim::clock::kTicksPerSecond;

struct Resolution {
  std::mutex lock;
  std::vector<TimerResolutionRequest> requests;
};
Resolution& R() {
  static Resolution* r = new Resolution;
  return *r;
}

}  // namespace

int64_t BootSystemTime() {
  // A simulated run starts on a fixed date, so that it repeats exactly.
  if (sim::clock::IsSimulated()) return kSimulatedBootSystemTime;
  static const int64_t boot = [] {
    auto sinceUnix = std::chrono::duration_cast<std::chrono::duration<int64_t, std::ratio<1, 10'000'000>>>(
        std::chrono::system_clock::now().time_since_epoch());
    return sinceUnix.count() + kEpochDifference * 10'000'000LL - sim::clock::Now();
  }();
  return boot;
}

int64_t RoundUpToTick(int64_t t) {
  int64_t res = CurrentTimerResolution();
  if (t <= 0 || t > sim::clock::kInfinite - res) return t;
  return (t + res - 1) / res * res;
}

void SetPerformanceFrequency(int64_t hertz) { gPerformanceFrequency = hertz > 0 ? hertz : kDefaultPerformanceFrequency; }
int64_t PerformanceFrequency() { return gPerformanceFrequency; }

int64_t DeadlineFromDueTime(const LARGE_INTEGER* dueTime) {
  if (!dueTime) return sim::clock::kInfinite;
  int64_t q = dueTime->QuadPart;
  int64_t now = sim::clock::Now();
  if (q < 0) {
    if (q == INT64_MIN || now > INT64_MAX + q) return sim::clock::kInfinite - 1;
    return now - q;
  }
  if (q == 0) return now;
  return q - BootSystemTime();
}

void SetOsVersion(ULONG ntddiVersion) { gOsVersion = ntddiVersion; }
ULONG OsVersion() { return gOsVersion; }

std::vector<TimerResolutionRequest> TimerResolutionRequests() {
  std::lock_guard<std::mutex> l(R().lock);
  return R().requests;
}

ULONG CurrentTimerResolution() {
  std::lock_guard<std::mutex> l(R().lock);
  ULONG res = kDefaultTimerResolution;
  for (const auto& r : R().requests) {
    ULONG d = r.desired < kMinimumTimerResolution ? kMinimumTimerResolution : r.desired;
    if (d < res) res = d;
  }
  return res;
}

void ResetTimerResolution() {
  std::lock_guard<std::mutex> l(R().lock);
  R().requests.clear();
}

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" {

BOOLEAN RtlIsNtDdiVersionAvailable(ULONG Version) { return Version <= OsVersion(); }

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
  const int64_t frequency = sim::kernel::PerformanceFrequency();
  if (PerformanceFrequency) PerformanceFrequency->QuadPart = frequency;
  // Counts since boot at the chosen frequency, exactly (no 64-bit overflow).
  const int64_t now = sim::clock::Now();
  LARGE_INTEGER v;
  v.QuadPart = static_cast<int64_t>(static_cast<__int128>(now) * frequency / sim::clock::kTicksPerSecond);
  return v;
}

void KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = BootSystemTime() + sim::clock::Now(); }

void KeQuerySystemTimePrecise(PLARGE_INTEGER CurrentTime) { KeQuerySystemTime(CurrentTime); }

ULONGLONG KeQueryInterruptTime(void) { return (ULONGLONG)sim::clock::Now(); }

ULONGLONG KeQueryInterruptTimePrecise(PULONG64 QpcTimeStamp) {
  ULONGLONG now = (ULONGLONG)sim::clock::Now();
  if (QpcTimeStamp) *QpcTimeStamp = now;
  return now;
}

ULONGLONG KeQueryUnbiasedInterruptTime(void) { return (ULONGLONG)sim::clock::Now(); }

void KeQueryTickCount(PLARGE_INTEGER CurrentCount) {
  CurrentCount->QuadPart = sim::clock::Now() / kDefaultTimerResolution;
}

ULONG KeQueryTimeIncrement(void) { return kDefaultTimerResolution; }

ULONG ExSetTimerResolution(ULONG DesiredTime, BOOLEAN SetResolution) {
  const void* caller = __builtin_return_address(0);
  {
    std::lock_guard<std::mutex> l(R().lock);
    auto& reqs = R().requests;
    if (SetResolution) {
      reqs.push_back({DesiredTime, caller});
    } else if (!reqs.empty()) {
      // Undo this caller's latest request, or any if the call site differs.
      auto it = reqs.end();
      for (auto i = reqs.begin(); i != reqs.end(); ++i)
        if (i->caller == caller) it = i;
      if (it == reqs.end()) it = reqs.end() - 1;
      reqs.erase(it);
    }
  }
  TimerResolutionChanged();
  return CurrentTimerResolution();
}

ULONG KeGetCurrentProcessorNumber(void) {
  int p = CurrentThread()->Processor;
  if (p >= 0) return (ULONG)p;
  return (ULONG)(CurrentThread()->Id & 1);
}

ULONG KeGetCurrentProcessorNumberEx(PPROCESSOR_NUMBER ProcNumber) {
  ULONG n = KeGetCurrentProcessorNumber();
  if (ProcNumber) {
    ProcNumber->Group = 0;
    ProcNumber->Number = (UCHAR)n;
    ProcNumber->Reserved = 0;
  }
  return n;
}

ULONG KeQueryActiveProcessorCount(PKAFFINITY ActiveProcessors) {
  if (ActiveProcessors) *ActiveProcessors = 3;
  return 2;
}

ULONG KeQueryActiveProcessorCountEx(USHORT GroupNumber) {
  UNREFERENCED_PARAMETER(GroupNumber);
  return 2;
}

}  // extern "C"
