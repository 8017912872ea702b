// Kernel timers. One timer thread expires them on the ticks of the timer
// resolution in force (ExSetTimerResolution), signals them and queues their
// DPCs, as the clock interrupt does on Windows.
#include <cstdio>
#include <map>
#include <set>
#include <vector>

#include "sim/kernel/core/clock.h"
#include "sim/kernel/core/dispatcher.h"
#include "sim/kernel/core/irql_checks.h"
#include "sim/kernel/core/thread.h"
#include "sim/kernel/core/time_base.h"
#include "sim/kernel/core/timer_queue.h"
#include "sim/kernel/core/timer_resolution.h"
#include "sim/kernel/core/verifier.h"

namespace sim::kernel {
namespace {

namespace dsp = dispatcher;

// Guarded by the dispatcher lock.
struct TimerQueue {
  sim::clock::Condition changed{"timer queue"};
  std::set<std::pair<int64_t, PKTIMER>> byDue;  // due time in clock units
  std::map<PKTIMER, int64_t> inserted;
  sim::clock::Thread thread;
  bool running = false;
  bool stop = false;
  // The processor whose clock interrupt expires the next timers; expiries
  // move between processors as the clock interrupt does.
  sim::clock::Random* processors = nullptr;
};

void RunTimers();

// With the dispatcher lock held: the queue, its thread started.
TimerQueue& Q() {
  static TimerQueue* q = new TimerQueue;
  if (!q->running) {
    q->running = true;
    q->stop = false;
    delete q->processors;
    q->processors = new sim::clock::Random("timer expiry processor");
    q->thread = sim::clock::Thread("timer thread", RunTimers, kKernelStackBytes);
  }
  return *q;
}

bool Remove(PKTIMER timer) {
  auto& q = Q();
  auto it = q.inserted.find(timer);
  if (it == q.inserted.end()) return false;
  q.byDue.erase({it->second, timer});
  q.inserted.erase(it);
  return true;
}

void Insert(PKTIMER timer, int64_t due) {
  auto& q = Q();
  q.inserted[timer] = due;
  q.byDue.insert({due, timer});
  timer->DueTime.QuadPart = (ULONGLONG)due;
  q.changed.NotifyOne();
}

void RunTimers() {
  PKTHREAD self = CurrentThread();
  self->Name = "timer thread";
  SetCurrentIrql(DISPATCH_LEVEL);
  std::unique_lock<std::mutex> l(dsp::Lock());
  auto& q = Q();
  while (!q.stop) {
    if (q.byDue.empty()) {
      sim::clock::WaitUntil(q.changed, l, sim::clock::kInfinite);
      continue;
    }
    int64_t fire = RoundUpToTick(q.byDue.begin()->first);
    if (sim::clock::Now() < fire) {
      sim::clock::WaitUntil(q.changed, l, fire);
      continue;
    }
    LARGE_INTEGER systemTime;
    systemTime.QuadPart = BootSystemTime() + sim::clock::Now();
    while (!q.byDue.empty() && RoundUpToTick(q.byDue.begin()->first) <= sim::clock::Now()) {
      auto [due, timer] = *q.byDue.begin();
      q.byDue.erase(q.byDue.begin());
      q.inserted.erase(timer);
      timer->Header.SignalState = 1;
      dsp::WaitTest(&timer->Header);
      if (timer->Period) Insert(timer, due + (int64_t)timer->Period * 10000);
      // Queued together with the signal, so that whoever sees the timer
      // signalled also finds its DPC queued (or run).
      self->Processor = static_cast<int>(q.processors->Below(2));
      if (timer->Dpc)
        KeInsertQueueDpc(timer->Dpc, (PVOID)(ULONG_PTR)systemTime.LowPart,
                         (PVOID)(ULONG_PTR)(ULONG)systemTime.HighPart);
    }
  }
}

bool CheckTimer(const char* call, PKTIMER timer) {
  if (dsp::IsDispatcherObject(&timer->Header) &&
      (timer->Header.Type == TimerNotificationObject || timer->Header.Type == TimerSynchronizationObject))
    return true;
  sim::verifier::Fail(call, "%p is not an initialised timer", (void*)timer);
  return false;
}

}  // namespace

void TimerResolutionChanged() {
  std::lock_guard<std::mutex> l(dsp::Lock());
  Q().changed.NotifyOne();
}

void StopTimerThread(std::vector<std::string>* dropped) {
  TimerQueue* q;
  {
    std::lock_guard<std::mutex> l(dsp::Lock());
    q = &Q();
    for (auto& [due, timer] : q->byDue) {
      char text[128];
      snprintf(text, sizeof text, "timer %p still set (due at %.6f s, DPC %p)", (void*)timer,
               (double)due / sim::clock::kTicksPerSecond, (void*)timer->Dpc);
      if (dropped) dropped->push_back(text);
    }
    q->byDue.clear();
    q->inserted.clear();
    q->stop = true;
    q->changed.NotifyAll();
  }
  q->thread.Join();
  std::lock_guard<std::mutex> l(dsp::Lock());
  q->running = false;
}

bool IsTimerSetWithin(const void* begin, size_t bytes) {
  std::lock_guard<std::mutex> l(dsp::Lock());
  for (auto& [timer, due] : Q().inserted) {
    auto* p = reinterpret_cast<const char*>(timer);
    if (p >= static_cast<const char*>(begin) && p < static_cast<const char*>(begin) + bytes) return true;
  }
  return false;
}

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" {

void KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

void KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  dispatcher::InitializeHeader(&Timer->Header,
                               Type == NotificationTimer ? TimerNotificationObject : TimerSynchronizationObject,
                               sizeof(KTIMER) / 4, 0);
  Timer->DueTime.QuadPart = 0;
  Timer->TimerListEntry.Flink = Timer->TimerListEntry.Blink = nullptr;
  Timer->Dpc = nullptr;
  Timer->Processor = 0;
  Timer->Period = 0;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) { return KeSetTimerEx(Timer, DueTime, 0, Dpc); }

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  if (!CheckIrqlAtMost("KeSetTimerEx", DISPATCH_LEVEL)) return FALSE;
  if (!CheckTimer("KeSetTimerEx", Timer)) return FALSE;
  if (Period < 0) {
    sim::verifier::Fail("KeSetTimerEx", "negative Period %d", Period);
    return FALSE;
  }
  int64_t due = DeadlineFromDueTime(&DueTime);
  std::lock_guard<std::mutex> l(dispatcher::Lock());
  bool wasSet = Remove(Timer);
  Timer->Header.SignalState = 0;
  Timer->Dpc = Dpc;
  Timer->Period = (ULONG)Period;
  Insert(Timer, due);
  return wasSet;
}

BOOLEAN KeCancelTimer(PKTIMER Timer) {
  if (!CheckIrqlAtMost("KeCancelTimer", DISPATCH_LEVEL)) return FALSE;
  if (!CheckTimer("KeCancelTimer", Timer)) return FALSE;
  std::lock_guard<std::mutex> l(dispatcher::Lock());
  return Remove(Timer);
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
  if (!CheckTimer("KeReadStateTimer", Timer)) return FALSE;
  std::lock_guard<std::mutex> l(dispatcher::Lock());
  return Timer->Header.SignalState != 0;
}

}  // extern "C"
