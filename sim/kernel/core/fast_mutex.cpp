// Fast and guarded mutexes: a count plus a synchronization event, as on
// Windows. Neither may be acquired recursively.
#include "sim/kernel/core/irql_checks.h"
#include "sim/kernel/core/thread.h"
#include "sim/kernel/core/verifier.h"

using namespace sim::kernel;

namespace {

struct MutexFields {
  volatile LONG* count;
  PVOID* owner;
  ULONG* contention;
  PKEVENT event;
};

template <typename M>
MutexFields Fields(M* m) {
  return {&m->Count, &m->Owner, &m->Contention, &m->Event};
}

void Initialize(MutexFields f) {
  *f.count = 1;
  *f.owner = nullptr;
  *f.contention = 0;
  KeInitializeEvent(f.event, SynchronizationEvent, FALSE);
}

bool CheckNotOwner(const char* call, MutexFields f, const void* m) {
  if (*f.owner != CurrentThread()) return true;
  sim::verifier::Fail(call, "mutex %p is already owned by the calling thread (recursive acquisition deadlocks)", m);
  return false;
}

void Acquire(MutexFields f) {
  if (InterlockedDecrement(f.count) != 0) {
    __atomic_add_fetch(f.contention, 1, __ATOMIC_RELAXED);
    KeWaitForSingleObject(f.event, Executive, KernelMode, FALSE, nullptr);
  }
  *f.owner = CurrentThread();
}

bool TryAcquire(MutexFields f) {
  if (InterlockedCompareExchange(f.count, 0, 1) != 1) return false;
  *f.owner = CurrentThread();
  return true;
}

bool Release(const char* call, MutexFields f, const void* m) {
  if (*f.owner != CurrentThread()) {
    sim::verifier::Fail(call, "mutex %p is not owned by the calling thread", m);
    return false;
  }
  *f.owner = nullptr;
  if (InterlockedIncrement(f.count) != 1) KeSetEvent(f.event, 0, FALSE);
  return true;
}

}  // namespace

extern "C" {

void ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
  Initialize(Fields(FastMutex));
  FastMutex->OldIrql = 0;
}

void ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
  if (!CheckIrqlAtMost("ExAcquireFastMutex", APC_LEVEL)) return;
  if (!CheckNotOwner("ExAcquireFastMutex", Fields(FastMutex), FastMutex)) return;
  KIRQL old = KfRaiseIrql(APC_LEVEL);
  Acquire(Fields(FastMutex));
  FastMutex->OldIrql = old;
}

BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex) {
  if (!CheckIrqlAtMost("ExTryToAcquireFastMutex", APC_LEVEL)) return FALSE;
  if (!CheckNotOwner("ExTryToAcquireFastMutex", Fields(FastMutex), FastMutex)) return FALSE;
  KIRQL old = KfRaiseIrql(APC_LEVEL);
  if (!TryAcquire(Fields(FastMutex))) {
    KeLowerIrql(old);
    return FALSE;
  }
  FastMutex->OldIrql = old;
  return TRUE;
}

void ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
  if (KeGetCurrentIrql() != APC_LEVEL) {
    sim::verifier::Fail("ExReleaseFastMutex", "called at IRQL %u; a fast mutex is released at APC_LEVEL",
                        KeGetCurrentIrql());
    return;
  }
  KIRQL old = (KIRQL)FastMutex->OldIrql;
  if (Release("ExReleaseFastMutex", Fields(FastMutex), FastMutex)) KeLowerIrql(old);
}

void ExAcquireFastMutexUnsafe(PFAST_MUTEX FastMutex) {
  if (KeGetCurrentIrql() < APC_LEVEL && CurrentThread()->CriticalRegion == 0) {
    sim::verifier::Fail("ExAcquireFastMutexUnsafe", "caller is neither at APC_LEVEL nor in a critical region");
    return;
  }
  if (!CheckIrqlAtMost("ExAcquireFastMutexUnsafe", APC_LEVEL)) return;
  if (!CheckNotOwner("ExAcquireFastMutexUnsafe", Fields(FastMutex), FastMutex)) return;
  Acquire(Fields(FastMutex));
}

void ExReleaseFastMutexUnsafe(PFAST_MUTEX FastMutex) {
  Release("ExReleaseFastMutexUnsafe", Fields(FastMutex), FastMutex);
}

void KeInitializeGuardedMutex(PKGUARDED_MUTEX Mutex) {
  Initialize(Fields(Mutex));
  Mutex->Reserved = 0;
}

void KeAcquireGuardedMutex(PKGUARDED_MUTEX Mutex) {
  if (!CheckIrqlAtMost("KeAcquireGuardedMutex", APC_LEVEL)) return;
  if (!CheckNotOwner("KeAcquireGuardedMutex", Fields(Mutex), Mutex)) return;
  KeEnterGuardedRegion();
  Acquire(Fields(Mutex));
}

BOOLEAN KeTryToAcquireGuardedMutex(PKGUARDED_MUTEX Mutex) {
  if (!CheckIrqlAtMost("KeTryToAcquireGuardedMutex", APC_LEVEL)) return FALSE;
  if (!CheckNotOwner("KeTryToAcquireGuardedMutex", Fields(Mutex), Mutex)) return FALSE;
  KeEnterGuardedRegion();
  if (TryAcquire(Fields(Mutex))) return TRUE;
  KeLeaveGuardedRegion();
  return FALSE;
}

void KeReleaseGuardedMutex(PKGUARDED_MUTEX Mutex) {
  if (!CheckIrqlAtMost("KeReleaseGuardedMutex", APC_LEVEL)) return;
  if (Release("KeReleaseGuardedMutex", Fields(Mutex), Mutex)) KeLeaveGuardedRegion();
}

}  // extern "C"
