// Spin locks: real mutual exclusion on the KSPIN_LOCK word, which holds the
// owning thread object while the lock is held.
#include <algorithm>
#include <thread>

#include "sim/kernel/core/clock.h"
#include "sim/kernel/core/irql_checks.h"
#include "sim/kernel/core/thread.h"
#include "sim/kernel/core/verifier.h"

using namespace sim::kernel;

namespace {

// Acquires at the current IRQL; false if the caller already holds the lock
// (a deadlock on Windows).
bool Acquire(const char* call, PKSPIN_LOCK lock) {
  PKTHREAD self = CurrentThread();
  ULONG_PTR me = (ULONG_PTR)self;
  if (__atomic_load_n(lock, __ATOMIC_RELAXED) == me) {
    sim::verifier::Fail(call, "spin lock %p is already held by the calling thread (deadlock)", (void*)lock);
    return false;
  }
  // Where another processor may get in first.
  sim::clock::Yield();
  for (;;) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) break;
    // In simulated time the holder runs only while this thread waits:
    // spinning costs a microsecond a turn.
    if (sim::clock::IsSimulated() && sim::clock::TakesPart())
      sim::clock::SleepFor(sim::clock::kTicksPerMicrosecond);
    else
      std::this_thread::yield();
  }
  self->HeldSpinLocks.push_back(lock);
  return true;
}

bool TryAcquire(PKSPIN_LOCK lock) {
  PKTHREAD self = CurrentThread();
  ULONG_PTR expected = 0;
  if (!__atomic_compare_exchange_n(lock, &expected, (ULONG_PTR)self, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
    return false;
  self->HeldSpinLocks.push_back(lock);
  return true;
}

// False (after a verifier failure) unless the caller holds the lock.
bool CheckHeld(const char* call, PKSPIN_LOCK lock) {
  PKTHREAD self = CurrentThread();
  ULONG_PTR owner = __atomic_load_n(lock, __ATOMIC_RELAXED);
  if (owner == (ULONG_PTR)self) return true;
  if (owner == 0)
    sim::verifier::Fail(call, "spin lock %p is not held", (void*)lock);
  else
    sim::verifier::Fail(call, "spin lock %p is held by thread %llu, not by the caller (thread %llu)", (void*)lock,
                        (unsigned long long)reinterpret_cast<PKTHREAD>(owner)->Id, (unsigned long long)self->Id);
  return false;
}

bool Release(const char* call, PKSPIN_LOCK lock) {
  if (!CheckHeld(call, lock)) return false;
  std::erase(CurrentThread()->HeldSpinLocks, lock);
  __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
  sim::clock::Yield();
  return true;
}

KIRQL AcquireRaise(const char* call, PKSPIN_LOCK lock) {
  KIRQL old = KeGetCurrentIrql();
  if (!CheckIrqlAtMost(call, DISPATCH_LEVEL)) return old;
  SetCurrentIrql(DISPATCH_LEVEL);
  if (!Acquire(call, lock)) SetCurrentIrql(old);
  return old;
}

void ReleaseLower(const char* call, PKSPIN_LOCK lock, KIRQL newIrql) {
  if (!CheckHeld(call, lock)) return;
  KIRQL irql = KeGetCurrentIrql();
  if (irql != DISPATCH_LEVEL) {
    sim::verifier::Fail(call, "spin lock %p released at IRQL %u; it must be released at DISPATCH_LEVEL", (void*)lock,
                        irql);
    return;
  }
  if (newIrql > DISPATCH_LEVEL) {
    sim::verifier::Fail(call, "new IRQL %u is above DISPATCH_LEVEL", newIrql);
    return;
  }
  if (!Release(call, lock)) return;
  SetCurrentIrql(newIrql);
}

}  // namespace

namespace sim::kernel {

bool CheckNoSpinLocksHeld(const char* call, const char* what) {
  PKTHREAD self = CurrentThread();
  if (self->HeldSpinLocks.empty()) return true;
  PKSPIN_LOCK first = self->HeldSpinLocks.front();
  sim::verifier::Fail(call, "%s returned holding %zu spin lock(s), the first at %p", what, self->HeldSpinLocks.size(),
                      (void*)first);
  for (PKSPIN_LOCK l : self->HeldSpinLocks) __atomic_store_n(l, 0, __ATOMIC_RELEASE);
  self->HeldSpinLocks.clear();
  return false;
}

ThreadBalance TakeBalance() {
  ThreadBalance b;
  b.irql = KeGetCurrentIrql();
  b.spinLocks = CurrentThread()->HeldSpinLocks.size();
  return b;
}

bool CheckBalance(const char* call, const char* what, const ThreadBalance& before) {
  PKTHREAD self = CurrentThread();
  bool ok = true;
  if (self->HeldSpinLocks.size() > before.spinLocks) {
    sim::verifier::Fail(call, "%s returned holding %zu spin lock(s) it acquired, the first at %p", what,
                        self->HeldSpinLocks.size() - before.spinLocks, (void*)self->HeldSpinLocks[before.spinLocks]);
    for (size_t i = before.spinLocks; i < self->HeldSpinLocks.size(); ++i) {
      __atomic_store_n(self->HeldSpinLocks[i], 0, __ATOMIC_RELEASE);
    }
    self->HeldSpinLocks.resize(before.spinLocks);
    ok = false;
  }
  if (KeGetCurrentIrql() != before.irql) {
    sim::verifier::Fail(call, "%s returned at IRQL %d but was called at IRQL %d", what, KeGetCurrentIrql(),
                        before.irql);
    SetCurrentIrql(before.irql);
    ok = false;
  }
  return ok;
}

namespace {
thread_local int tUserRequests = 0;
}  // namespace

UserRequestScope::UserRequestScope() { ++tUserRequests; }
UserRequestScope::~UserRequestScope() { --tUserRequests; }
bool InUserRequest() { return tUserRequests > 0; }

bool CheckReturnToUserMode(const char* call) {
  PKTHREAD self = CurrentThread();
  bool ok = CheckNoSpinLocksHeld(call, "the request");
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    sim::verifier::Fail(call, "returned to user mode at IRQL %d", KeGetCurrentIrql());
    SetCurrentIrql(PASSIVE_LEVEL);
    ok = false;
  }
  // Each mutex owned counts as a critical region; it is reported on its own.
  int mutexes = 0;
  for (PLIST_ENTRY e = self->OwnedMutexes.Flink; e != &self->OwnedMutexes; e = e->Flink) ++mutexes;
  if (self->CriticalRegion != mutexes || self->GuardedRegion != 0) {
    sim::verifier::Fail(call,
                        "returned to user mode with normal kernel APCs disabled (%d critical, %d guarded region(s))",
                        self->CriticalRegion - mutexes, self->GuardedRegion);
    self->CriticalRegion = mutexes;
    self->GuardedRegion = 0;
    ok = false;
  }
  if (mutexes != 0) {
    PKMUTANT m = CONTAINING_RECORD(self->OwnedMutexes.Flink, KMUTANT, MutantListEntry);
    sim::verifier::Fail(call, "returned to user mode owning KMUTEX %p", (void*)m);
    ok = false;
  }
  return ok;
}

}  // namespace sim::kernel

extern "C" {

BOOLEAN KeAreApcsDisabled(void) {
  PKTHREAD t = CurrentThread();
  return KeGetCurrentIrql() >= APC_LEVEL || t->CriticalRegion != 0 || t->GuardedRegion != 0;
}

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

BOOLEAN KeTestSpinLock(PKSPIN_LOCK SpinLock) { return __atomic_load_n(SpinLock, __ATOMIC_RELAXED) == 0; }

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) { return AcquireRaise("KeAcquireSpinLock", SpinLock); }

void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) { ReleaseLower("KeReleaseSpinLock", SpinLock, NewIrql); }

KIRQL KeAcquireSpinLockForDpc(PKSPIN_LOCK SpinLock) {
  KIRQL old = KeGetCurrentIrql();
  if (old >= DISPATCH_LEVEL) {
    KeAcquireSpinLockAtDpcLevel(SpinLock);
    return old;
  }
  return AcquireRaise("KeAcquireSpinLockForDpc", SpinLock);
}

void KeReleaseSpinLockForDpc(PKSPIN_LOCK SpinLock, KIRQL OldIrql) {
  if (OldIrql >= DISPATCH_LEVEL)
    KeReleaseSpinLockFromDpcLevel(SpinLock);
  else
    ReleaseLower("KeReleaseSpinLockForDpc", SpinLock, OldIrql);
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  if (!CheckIrqlAtLeast("KeAcquireSpinLockAtDpcLevel", DISPATCH_LEVEL)) return;
  Acquire("KeAcquireSpinLockAtDpcLevel", SpinLock);
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  if (!CheckIrqlAtLeast("KeReleaseSpinLockFromDpcLevel", DISPATCH_LEVEL)) return;
  Release("KeReleaseSpinLockFromDpcLevel", SpinLock);
}

BOOLEAN KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  if (!CheckIrqlAtLeast("KeTryToAcquireSpinLockAtDpcLevel", DISPATCH_LEVEL)) return FALSE;
  if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) == (ULONG_PTR)CurrentThread()) {
    sim::verifier::Fail("KeTryToAcquireSpinLockAtDpcLevel", "spin lock %p is already held by the calling thread",
                        (void*)SpinLock);
    return FALSE;
  }
  return TryAcquire(SpinLock);
}

void KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle) {
  LockHandle->LockQueue.Next = nullptr;
  LockHandle->LockQueue.Lock = SpinLock;
  LockHandle->OldIrql = AcquireRaise("KeAcquireInStackQueuedSpinLock", SpinLock);
}

void KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle) {
  ReleaseLower("KeReleaseInStackQueuedSpinLock", LockHandle->LockQueue.Lock, LockHandle->OldIrql);
}

void KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle) {
  LockHandle->LockQueue.Next = nullptr;
  LockHandle->LockQueue.Lock = SpinLock;
  LockHandle->OldIrql = KeGetCurrentIrql();
  if (!CheckIrqlAtLeast("KeAcquireInStackQueuedSpinLockAtDpcLevel", DISPATCH_LEVEL)) return;
  Acquire("KeAcquireInStackQueuedSpinLockAtDpcLevel", SpinLock);
}

void KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE LockHandle) {
  if (!CheckIrqlAtLeast("KeReleaseInStackQueuedSpinLockFromDpcLevel", DISPATCH_LEVEL)) return;
  Release("KeReleaseInStackQueuedSpinLockFromDpcLevel", LockHandle->LockQueue.Lock);
}

void KeEnterCriticalRegion(void) { CurrentThread()->CriticalRegion++; }
void KeLeaveCriticalRegion(void) {
  PKTHREAD t = CurrentThread();
  if (t->CriticalRegion <= 0) {
    sim::verifier::Fail("KeLeaveCriticalRegion", "not inside a critical region");
    return;
  }
  t->CriticalRegion--;
}
void KeEnterGuardedRegion(void) { CurrentThread()->GuardedRegion++; }
void KeLeaveGuardedRegion(void) {
  PKTHREAD t = CurrentThread();
  if (t->GuardedRegion <= 0) {
    sim::verifier::Fail("KeLeaveGuardedRegion", "not inside a guarded region");
    return;
  }
  t->GuardedRegion--;
}

}  // extern "C"
