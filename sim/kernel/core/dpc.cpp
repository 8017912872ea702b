#include "sim/kernel/core/dpc.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>

#include "sim/kernel/core/bugcheck.h"
#include "sim/kernel/core/clock.h"
#include "sim/kernel/core/irql_checks.h"
#include "sim/kernel/core/thread.h"
#include "sim/kernel/core/verifier.h"

namespace sim::kernel {
namespace {

// KeSetTargetProcessorDpc stores the processor in KDPC.Number with this bias,
// so that 0 keeps meaning "the current processor".
constexpr USHORT kTargetBias = 0x100;

struct Processor {
  int index = 0;
  std::mutex lock;
  sim::clock::Condition work{"DPC queue"};
  LIST_ENTRY queue;
  sim::clock::Thread thread;
  bool running = false;
  bool stop = false;
  // Injected lateness: the processor runs no DPC before stalledUntil, and the
  // next DPC it takes waits delayNext first.
  int64_t stalledUntil = 0;
  int64_t delayNext = 0;
};

std::atomic<unsigned long long> gDpcsRun{0};

void RunDpcs(Processor* p) {
  PKTHREAD self = CurrentThread();
  self->Processor = p->index;
  self->Name = "DPC thread";
  SetCurrentIrql(DISPATCH_LEVEL);
  std::unique_lock<std::mutex> l(p->lock);
  for (;;) {
    while (IsListEmpty(&p->queue)) {
      if (p->stop) return;
      sim::clock::WaitUntil(p->work, l, sim::clock::kInfinite);
    }
    int64_t hold = p->stalledUntil;
    if (p->delayNext > 0) {
      hold = std::max(hold, sim::clock::Now() + p->delayNext);
      p->delayNext = 0;
      p->stalledUntil = hold;
    }
    if (hold > sim::clock::Now()) {
      // Busy elsewhere (an interrupt storm, a long DPC of another driver):
      // what is queued stays queued meanwhile.
      l.unlock();
      sim::clock::SleepUntil(hold);
      l.lock();
      continue;
    }
    PKDPC dpc = CONTAINING_RECORD(RemoveHeadList(&p->queue), KDPC, DpcListEntry);
    PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
    PVOID context = dpc->DeferredContext;
    PVOID arg1 = dpc->SystemArgument1;
    PVOID arg2 = dpc->SystemArgument2;
    // Dequeued: from here on the DPC may be queued again (and run on another processor).
    __atomic_store_n(&dpc->DpcData, nullptr, __ATOMIC_SEQ_CST);
    l.unlock();
    try {
      routine(dpc, context, arg1, arg2);
    } catch (const BugCheck&) {
    }
    gDpcsRun++;
    KIRQL irql = KeGetCurrentIrql();
    if (irql != DISPATCH_LEVEL) {
      sim::verifier::Fail("DPC routine", "routine %p returned at IRQL %u instead of DISPATCH_LEVEL", (void*)routine,
                          irql);
      SetCurrentIrql(DISPATCH_LEVEL);
    }
    char what[64];
    snprintf(what, sizeof what, "routine %p", (void*)routine);
    CheckNoSpinLocksHeld("DPC routine", what);
    l.lock();
  }
}

std::mutex gStartLock;
std::atomic<bool> gStarted{false};

Processor* AllProcessors() {
  static Processor* ps = [] {
    auto* a = new Processor[kProcessorCount];
    for (int i = 0; i < kProcessorCount; i++) {
      a[i].index = i;
      InitializeListHead(&a[i].queue);
    }
    return a;
  }();
  return ps;
}

// The processors, their DPC threads started.
Processor* Processors() {
  Processor* ps = AllProcessors();
  if (gStarted.load(std::memory_order_acquire)) return ps;
  std::lock_guard<std::mutex> g(gStartLock);
  if (!gStarted.load()) {
    for (int i = 0; i < kProcessorCount; i++) {
      std::lock_guard<std::mutex> l(ps[i].lock);
      ps[i].stop = false;
      ps[i].stalledUntil = 0;
      ps[i].delayNext = 0;
      char name[32];
      snprintf(name, sizeof name, "DPC thread %d", i);
      ps[i].thread = sim::clock::Thread(
          name, [p = &ps[i]] { RunDpcs(p); }, kKernelStackBytes);
    }
    gStarted.store(true, std::memory_order_release);
  }
  return ps;
}

Processor* ProcessorAt(int processor) { return &Processors()[processor % kProcessorCount]; }

void SignalFlushEvent(PKDPC, PVOID context, PVOID, PVOID) { KeSetEvent(static_cast<PRKEVENT>(context), 0, FALSE); }

}  // namespace

unsigned long long DpcsRun() { return gDpcsRun; }

void StallProcessor(int processor, int64_t duration) {
  Processor* p = ProcessorAt(processor);
  std::lock_guard<std::mutex> l(p->lock);
  p->stalledUntil = std::max(p->stalledUntil, sim::clock::Now() + duration);
}

void DelayNextDpc(int processor, int64_t duration) {
  Processor* p = ProcessorAt(processor);
  std::lock_guard<std::mutex> l(p->lock);
  p->delayNext = duration;
}

bool IsDpcQueuedWithin(const void* begin, size_t bytes) {
  if (!gStarted.load()) return false;
  Processor* ps = AllProcessors();
  for (int i = 0; i < kProcessorCount; i++) {
    std::lock_guard<std::mutex> l(ps[i].lock);
    for (PLIST_ENTRY e = ps[i].queue.Flink; e != &ps[i].queue; e = e->Flink) {
      auto* dpc = reinterpret_cast<const char*>(CONTAINING_RECORD(e, KDPC, DpcListEntry));
      if (dpc >= static_cast<const char*>(begin) && dpc < static_cast<const char*>(begin) + bytes) return true;
    }
  }
  return false;
}

void StopDpcThreads(std::vector<std::string>* dropped) {
  std::lock_guard<std::mutex> g(gStartLock);
  if (!gStarted.load()) return;
  Processor* ps = AllProcessors();
  for (int i = 0; i < kProcessorCount; i++) {
    std::lock_guard<std::mutex> l(ps[i].lock);
    while (!IsListEmpty(&ps[i].queue)) {
      PKDPC dpc = CONTAINING_RECORD(RemoveHeadList(&ps[i].queue), KDPC, DpcListEntry);
      __atomic_store_n(&dpc->DpcData, nullptr, __ATOMIC_SEQ_CST);
      char text[128];
      snprintf(text, sizeof text, "DPC %p (routine %p) still queued on processor %d", (void*)dpc,
               (void*)dpc->DeferredRoutine, i);
      if (dropped) dropped->push_back(text);
    }
    ps[i].stop = true;
    ps[i].stalledUntil = 0;
    ps[i].delayNext = 0;
    ps[i].work.NotifyAll();
  }
  for (int i = 0; i < kProcessorCount; i++) ps[i].thread.Join();
  gStarted.store(false);
}

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" {

void KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  Dpc->Type = 0x13;  // DpcObject
  Dpc->Importance = MediumImportance;
  Dpc->Number = 0;
  Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
  Dpc->ProcessorHistory = 0;
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
  Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
  Dpc->DpcData = nullptr;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  if (!CheckIrqlAtMost("KeInsertQueueDpc", HIGH_LEVEL)) return FALSE;
  if (!Dpc->DeferredRoutine) {
    sim::verifier::Fail("KeInsertQueueDpc", "DPC %p was not initialised", (void*)Dpc);
    return FALSE;
  }
  Processor* ps = Processors();
  int target = Dpc->Number >= kTargetBias ? (Dpc->Number - kTargetBias) % kProcessorCount
                                          : (int)(KeGetCurrentProcessorNumber() % kProcessorCount);
  Processor* p = &ps[target];
  std::lock_guard<std::mutex> l(p->lock);
  PVOID expected = nullptr;
  if (!__atomic_compare_exchange_n(&Dpc->DpcData, &expected, (PVOID)p, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
    return FALSE;
  Dpc->SystemArgument1 = SystemArgument1;
  Dpc->SystemArgument2 = SystemArgument2;
  Dpc->ProcessorHistory |= (KAFFINITY)1 << target;
  if (Dpc->Importance == HighImportance)
    InsertHeadList(&p->queue, &Dpc->DpcListEntry);
  else
    InsertTailList(&p->queue, &Dpc->DpcListEntry);
  p->work.NotifyOne();
  return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
  auto* p = static_cast<Processor*>(__atomic_load_n(&Dpc->DpcData, __ATOMIC_SEQ_CST));
  if (!p) return FALSE;
  std::lock_guard<std::mutex> l(p->lock);
  if (__atomic_load_n(&Dpc->DpcData, __ATOMIC_SEQ_CST) != p) return FALSE;
  RemoveEntryList(&Dpc->DpcListEntry);
  __atomic_store_n(&Dpc->DpcData, nullptr, __ATOMIC_SEQ_CST);
  return TRUE;
}

void KeFlushQueuedDpcs(void) {
  if (!CheckIrqlAtMost("KeFlushQueuedDpcs", PASSIVE_LEVEL)) return;
  // A marker DPC at the tail of every processor's queue: once each has run,
  // every DPC queued before this call has finished.
  KDPC markers[kProcessorCount];
  KEVENT done[kProcessorCount];
  PVOID objects[kProcessorCount];
  KWAIT_BLOCK blocks[kProcessorCount];
  for (int i = 0; i < kProcessorCount; i++) {
    KeInitializeEvent(&done[i], NotificationEvent, FALSE);
    KeInitializeDpc(&markers[i], SignalFlushEvent, &done[i]);
    KeSetTargetProcessorDpc(&markers[i], (CCHAR)i);
    KeSetImportanceDpc(&markers[i], LowImportance);
    KeInsertQueueDpc(&markers[i], nullptr, nullptr);
    objects[i] = &done[i];
  }
  KeWaitForMultipleObjects(kProcessorCount, objects, WaitAll, Executive, KernelMode, FALSE, nullptr, blocks);
}

void KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance) { Dpc->Importance = (UCHAR)Importance; }

void KeSetTargetProcessorDpc(PRKDPC Dpc, CCHAR Number) { Dpc->Number = (USHORT)(kTargetBias + (UCHAR)Number); }

}  // extern "C"
