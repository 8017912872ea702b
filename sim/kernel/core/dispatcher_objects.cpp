// Events, semaphores and mutexes.
#include "sim/kernel/core/dispatcher.h"
#include "sim/kernel/core/irql_checks.h"
#include "sim/kernel/core/thread.h"
#include "sim/kernel/core/verifier.h"

using namespace sim::kernel;
namespace dsp = sim::kernel::dispatcher;

namespace {

bool CheckObject(const char* call, const DISPATCHER_HEADER* header, UCHAR type1, UCHAR type2) {
  if (dsp::IsDispatcherObject(header) && (header->Type == type1 || header->Type == type2)) return true;
  sim::verifier::Fail(call, "%p is not an initialised object of the right type", (const void*)header);
  return false;
}

bool CheckEvent(const char* call, PRKEVENT e) {
  return CheckObject(call, &e->Header, EventNotificationObject, EventSynchronizationObject);
}

}  // namespace

extern "C" {

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  dsp::InitializeHeader(&Event->Header,
                        Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject,
                        sizeof(KEVENT) / 4, State ? 1 : 0);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  UNREFERENCED_PARAMETER(Increment);
  if (!CheckIrqlAtMost("KeSetEvent", Wait ? APC_LEVEL : DISPATCH_LEVEL)) return 0;
  if (!CheckEvent("KeSetEvent", Event)) return 0;
  std::lock_guard<std::mutex> l(dsp::Lock());
  LONG old = Event->Header.SignalState;
  Event->Header.SignalState = 1;
  dsp::WaitTest(&Event->Header);
  return old;
}

LONG KeResetEvent(PRKEVENT Event) {
  if (!CheckIrqlAtMost("KeResetEvent", DISPATCH_LEVEL)) return 0;
  if (!CheckEvent("KeResetEvent", Event)) return 0;
  std::lock_guard<std::mutex> l(dsp::Lock());
  LONG old = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return old;
}

void KeClearEvent(PRKEVENT Event) {
  if (!CheckIrqlAtMost("KeClearEvent", DISPATCH_LEVEL)) return;
  if (!CheckEvent("KeClearEvent", Event)) return;
  std::lock_guard<std::mutex> l(dsp::Lock());
  Event->Header.SignalState = 0;
}

LONG KeReadStateEvent(PRKEVENT Event) {
  if (!CheckEvent("KeReadStateEvent", Event)) return 0;
  std::lock_guard<std::mutex> l(dsp::Lock());
  return Event->Header.SignalState;
}

LONG KePulseEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  UNREFERENCED_PARAMETER(Increment);
  if (!CheckIrqlAtMost("KePulseEvent", Wait ? APC_LEVEL : DISPATCH_LEVEL)) return 0;
  if (!CheckEvent("KePulseEvent", Event)) return 0;
  std::lock_guard<std::mutex> l(dsp::Lock());
  LONG old = Event->Header.SignalState;
  Event->Header.SignalState = 1;
  dsp::WaitTest(&Event->Header);
  Event->Header.SignalState = 0;
  return old;
}

void KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
  if (Limit <= 0 || Count < 0 || Count > Limit)
    sim::verifier::Fail("KeInitializeSemaphore", "Count %d and Limit %d must satisfy 0 <= Count <= Limit, Limit > 0",
                        Count, Limit);
  dsp::InitializeHeader(&Semaphore->Header, SemaphoreObject, sizeof(KSEMAPHORE) / 4, Count);
  Semaphore->Limit = Limit;
}

LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait) {
  UNREFERENCED_PARAMETER(Increment);
  if (!CheckIrqlAtMost("KeReleaseSemaphore", Wait ? APC_LEVEL : DISPATCH_LEVEL)) return 0;
  if (!CheckObject("KeReleaseSemaphore", &Semaphore->Header, SemaphoreObject, SemaphoreObject)) return 0;
  std::unique_lock<std::mutex> l(dsp::Lock());
  LONG old = Semaphore->Header.SignalState;
  if (Adjustment <= 0 || (LONGLONG)old + Adjustment > Semaphore->Limit) {
    LONG limit = Semaphore->Limit;
    l.unlock();
    // Windows raises STATUS_SEMAPHORE_LIMIT_EXCEEDED here.
    sim::verifier::Fail("KeReleaseSemaphore",
                        "STATUS_SEMAPHORE_LIMIT_EXCEEDED: count %d + adjustment %d exceeds the limit %d", old,
                        Adjustment, limit);
    return old;
  }
  Semaphore->Header.SignalState = old + Adjustment;
  dsp::WaitTest(&Semaphore->Header);
  return old;
}

LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
  if (!CheckObject("KeReadStateSemaphore", &Semaphore->Header, SemaphoreObject, SemaphoreObject)) return 0;
  std::lock_guard<std::mutex> l(dsp::Lock());
  return Semaphore->Header.SignalState;
}

void KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
  UNREFERENCED_PARAMETER(Level);
  dsp::InitializeHeader(&Mutex->Header, MutantObject, sizeof(KMUTEX) / 4, 1);
  Mutex->MutantListEntry.Flink = Mutex->MutantListEntry.Blink = nullptr;
  Mutex->OwnerThread = nullptr;
  Mutex->Abandoned = FALSE;
  Mutex->ApcDisable = 1;
}

LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
  if (!CheckIrqlAtMost("KeReleaseMutex", Wait ? APC_LEVEL : DISPATCH_LEVEL)) return 0;
  if (!CheckObject("KeReleaseMutex", &Mutex->Header, MutantObject, MutantObject)) return 0;
  PKTHREAD self = CurrentThread();
  std::unique_lock<std::mutex> l(dsp::Lock());
  LONG old = Mutex->Header.SignalState;
  if (Mutex->OwnerThread != self || old > 0) {
    PKTHREAD owner = Mutex->OwnerThread;
    l.unlock();
    // Windows bug checks with MUTEX_NOT_OWNED / STATUS_MUTANT_NOT_OWNED.
    if (owner)
      sim::verifier::Fail("KeReleaseMutex", "mutex %p is owned by thread %llu, not by the caller (thread %llu)",
                          (void*)Mutex, (unsigned long long)owner->Id, (unsigned long long)self->Id);
    else
      sim::verifier::Fail("KeReleaseMutex", "mutex %p is not owned", (void*)Mutex);
    return old;
  }
  Mutex->Header.SignalState = old + 1;
  if (Mutex->Header.SignalState == 1) {
    RemoveEntryList(&Mutex->MutantListEntry);
    Mutex->OwnerThread = nullptr;
    self->CriticalRegion--;
    dsp::WaitTest(&Mutex->Header);
  }
  return old;
}

LONG KeReadStateMutex(PRKMUTEX Mutex) {
  if (!CheckObject("KeReadStateMutex", &Mutex->Header, MutantObject, MutantObject)) return 0;
  std::lock_guard<std::mutex> l(dsp::Lock());
  return Mutex->Header.SignalState;
}

}  // extern "C"
