#include "sim/kernel/core/work_queue.h"

#include <cstdio>
#include <deque>
#include <mutex>
#include <vector>

#include "sim/kernel/core/bugcheck.h"
#include "sim/kernel/core/clock.h"
#include "sim/kernel/core/irql_checks.h"
#include "sim/kernel/core/thread.h"
#include "sim/kernel/core/verifier.h"

namespace sim::kernel {
namespace {

// Windows adds worker threads when all are busy; so does the stand-in, up to
// a bound, so that a work item waiting for another one does not starve it.
constexpr int kInitialWorkerThreads = 2;
constexpr int kMaximumWorkerThreads = 16;

struct WorkQueue {
  std::mutex lock;
  sim::clock::Condition work{"system work queue"};
  sim::clock::Condition idle{"system work queue idle"};
  std::deque<std::function<void()>> items;
  int running = 0;
  int threads = 0;
  bool stop = false;
  std::vector<sim::clock::Thread> workers;
};

void RunWork(WorkQueue* q);

// With the lock held.
void AddWorker(WorkQueue* q) {
  q->threads++;
  char name[40];
  snprintf(name, sizeof name, "system worker thread %d", q->threads);
  q->workers.emplace_back(
      name, [q] { RunWork(q); }, kKernelStackBytes);
}

thread_local bool tIsWorker = false;

void RunWork(WorkQueue* q) {
  tIsWorker = true;
  PKTHREAD self = CurrentThread();
  self->Name = "system worker thread";
  self->System = true;
  std::unique_lock<std::mutex> l(q->lock);
  for (;;) {
    while (q->items.empty()) {
      if (q->stop) return;
      sim::clock::WaitUntil(q->work, l, sim::clock::kInfinite);
    }
    std::function<void()> item = std::move(q->items.front());
    q->items.pop_front();
    q->running++;
    l.unlock();
    SetCurrentIrql(PASSIVE_LEVEL);
    try {
      item();
    } catch (const BugCheck&) {
    }
    KIRQL irql = KeGetCurrentIrql();
    if (irql != PASSIVE_LEVEL) {
      sim::verifier::Fail("work item routine", "returned at IRQL %u instead of PASSIVE_LEVEL", irql);
      SetCurrentIrql(PASSIVE_LEVEL);
    }
    CheckNoSpinLocksHeld("work item routine", "the routine");
    if (self->CriticalRegion || self->GuardedRegion) {
      sim::verifier::Fail("work item routine", "returned inside a critical or guarded region");
      self->CriticalRegion = self->GuardedRegion = 0;
    }
    l.lock();
    q->running--;
    if (q->items.empty() && q->running == 0) q->idle.NotifyAll();
  }
}

WorkQueue& Q() {
  static WorkQueue* q = new WorkQueue;
  return *q;
}

// With the lock held: the first workers, after a stop or at first use.
void StartWorkers(WorkQueue& q) {
  if (q.threads > 0) return;
  q.stop = false;
  for (int i = 0; i < kInitialWorkerThreads; i++) AddWorker(&q);
}

}  // namespace

void QueueSystemWork(WORK_QUEUE_TYPE type, std::function<void()> work) {
  UNREFERENCED_PARAMETER(type);
  WorkQueue& q = Q();
  std::lock_guard<std::mutex> l(q.lock);
  StartWorkers(q);
  q.items.push_back(std::move(work));
  if (q.running + (int)q.items.size() > q.threads && q.threads < kMaximumWorkerThreads) AddWorker(&q);
  q.work.NotifyOne();
}

void DrainSystemWork() {
  if (tIsWorker) {
    verifier::Fail("DrainSystemWork", "called from a system worker thread (it would wait for itself)");
    return;
  }
  WorkQueue& q = Q();
  std::unique_lock<std::mutex> l(q.lock);
  while (!q.items.empty() || q.running != 0) sim::clock::WaitUntil(q.idle, l, sim::clock::kInfinite);
}

void StopWorkerThreads() {
  if (tIsWorker) {
    verifier::Fail("StopKernelThreads", "called from a system worker thread (it would wait for itself)");
    return;
  }
  DrainSystemWork();
  WorkQueue& q = Q();
  std::vector<sim::clock::Thread> workers;
  {
    std::lock_guard<std::mutex> l(q.lock);
    q.stop = true;
    q.work.NotifyAll();
    workers = std::move(q.workers);
    q.workers.clear();
  }
  for (auto& w : workers) w.Join();
  std::lock_guard<std::mutex> l(q.lock);
  q.threads = 0;
}

void StopKernelThreads(std::vector<std::string>* dropped) {
  StopWorkerThreads();
  StopTimerThread(dropped);
  StopDpcThreads(dropped);
}

}  // namespace sim::kernel
