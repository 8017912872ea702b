#include "sim/kernel/core/work_queue.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

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
  std::condition_variable work;
  std::condition_variable idle;
  std::deque<std::function<void()>> items;
  int running = 0;
  int threads = 0;
};

void RunWork(WorkQueue* q);

// With the lock held.
void AddWorker(WorkQueue* q) {
  q->threads++;
  std::thread(RunWork, q).detach();
}

thread_local bool tIsWorker = false;

void RunWork(WorkQueue* q) {
  tIsWorker = true;
  PKTHREAD self = CurrentThread();
  self->Name = "system worker thread";
  self->System = true;
  std::unique_lock<std::mutex> l(q->lock);
  for (;;) {
    while (q->items.empty()) sim::clock::WaitUntil(q->work, l, sim::clock::kInfinite);
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
    if (q->items.empty() && q->running == 0) q->idle.notify_all();
  }
}

WorkQueue& Q() {
  static WorkQueue* q = [] {
    auto* w = new WorkQueue;
    std::lock_guard<std::mutex> l(w->lock);
    for (int i = 0; i < kInitialWorkerThreads; i++) AddWorker(w);
    return w;
  }();
  return *q;
}

}  // namespace

void QueueSystemWork(WORK_QUEUE_TYPE type, std::function<void()> work) {
  UNREFERENCED_PARAMETER(type);
  WorkQueue& q = Q();
  std::lock_guard<std::mutex> l(q.lock);
  q.items.push_back(std::move(work));
  if (q.running + (int)q.items.size() > q.threads && q.threads < kMaximumWorkerThreads) AddWorker(&q);
  q.work.notify_one();
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

}  // namespace sim::kernel
