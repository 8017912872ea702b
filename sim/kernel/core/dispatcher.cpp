#include "sim/kernel/core/dispatcher.h"

#include <unordered_set>

#include "sim/kernel/core/clock.h"
#include "sim/kernel/core/irql_checks.h"
#include "sim/kernel/core/thread.h"
#include "sim/kernel/core/time_base.h"
#include "sim/kernel/core/verifier.h"

namespace sim::kernel::dispatcher {

std::mutex& Lock() {
  static std::mutex* m = new std::mutex;
  return *m;
}

void InitializeHeader(DISPATCHER_HEADER* header, UCHAR type, UCHAR sizeInLongs, LONG signalState) {
  header->Type = type;
  header->Signalling = 0;
  header->Size = sizeInLongs;
  header->Reserved1 = 0;
  header->SignalState = signalState;
  InitializeListHead(&header->WaitListHead);
}

namespace {
// Objects threads wait on now (guarded by the dispatcher lock): a waited-on
// object is the one whose wait list has entries.
std::unordered_multiset<const void*>& WaitedOn() {
  static auto* s = new std::unordered_multiset<const void*>;
  return *s;
}
}  // namespace

bool IsWaitedOnWithin(const void* begin, size_t bytes) {
  std::lock_guard<std::mutex> l(Lock());
  for (const void* o : WaitedOn()) {
    auto* p = static_cast<const char*>(o);
    if (p >= static_cast<const char*>(begin) && p < static_cast<const char*>(begin) + bytes) return true;
  }
  return false;
}

bool IsDispatcherObject(const DISPATCHER_HEADER* object) {
  if (!object || !object->WaitListHead.Flink || !object->WaitListHead.Blink) return false;
  switch (object->Type) {
    case EventNotificationObject:
    case EventSynchronizationObject:
    case MutantObject:
    case SemaphoreObject:
    case ThreadObject:
    case TimerNotificationObject:
    case TimerSynchronizationObject:
      return true;
    default:
      return false;
  }
}

namespace {

bool SignalledFor(const DISPATCHER_HEADER* object, PKTHREAD thread) {
  if (object->Type == MutantObject) {
    auto* m = reinterpret_cast<const KMUTANT*>(object);
    return object->SignalState > 0 || m->OwnerThread == thread;
  }
  return object->SignalState > 0;
}

// The side effect of a satisfied wait on the object.
void Consume(DISPATCHER_HEADER* object, PKTHREAD thread) {
  switch (object->Type) {
    case EventSynchronizationObject:
    case TimerSynchronizationObject:
      object->SignalState = 0;
      break;
    case SemaphoreObject:
      object->SignalState--;
      break;
    case MutantObject: {
      auto* m = reinterpret_cast<KMUTANT*>(object);
      if (object->SignalState > 0) {
        m->OwnerThread = thread;
        m->Abandoned = FALSE;
        InsertTailList(&thread->OwnedMutexes, &m->MutantListEntry);
        // Owning a mutex disables normal kernel APCs, as a critical region
        // does; the thread is blocked in this wait, so the field is safe.
        thread->CriticalRegion++;
      }
      object->SignalState--;
      break;
    }
    default:
      break;  // notification events and timers, threads stay signalled
  }
}

// With the lock held: ends the thread's wait with status and wakes it.
void Unwait(PKTHREAD thread, NTSTATUS status) {
  for (ULONG i = 0; i < thread->WaitCount; i++) RemoveEntryList(&thread->WaitBlocks[i].WaitListEntry);
  thread->Waiting = false;
  thread->WaitStatus = status;
  thread->WakeUp.NotifyOne();
}

bool AllSignalled(PKTHREAD thread, PVOID const* objects, ULONG count) {
  for (ULONG i = 0; i < count; i++) {
    if (!SignalledFor(static_cast<DISPATCHER_HEADER*>(objects[i]), thread)) return false;
  }
  return true;
}

bool AllSignalledForBlocks(PKTHREAD thread) {
  for (ULONG i = 0; i < thread->WaitCount; i++) {
    if (!SignalledFor(static_cast<DISPATCHER_HEADER*>(thread->WaitBlocks[i].Object), thread)) return false;
  }
  return true;
}

}  // namespace

void WaitTest(DISPATCHER_HEADER* object) {
  PLIST_ENTRY head = &object->WaitListHead;
  PLIST_ENTRY entry = head->Flink;
  while (entry != head && object->SignalState > 0) {
    auto* wb = CONTAINING_RECORD(entry, KWAIT_BLOCK, WaitListEntry);
    auto* thread = static_cast<PKTHREAD>(wb->Thread);
    if (wb->WaitType == WaitAny) {
      Consume(object, thread);
      Unwait(thread, STATUS_WAIT_0 + wb->WaitKey);
      entry = head->Flink;
    } else if (AllSignalledForBlocks(thread)) {
      for (ULONG i = 0; i < thread->WaitCount; i++)
        Consume(static_cast<DISPATCHER_HEADER*>(thread->WaitBlocks[i].Object), thread);
      Unwait(thread, STATUS_WAIT_0);
      entry = head->Flink;
    } else {
      entry = entry->Flink;
    }
  }
}

}  // namespace sim::kernel::dispatcher

namespace {

using namespace sim::kernel;
namespace dsp = sim::kernel::dispatcher;

NTSTATUS Wait(const char* call, ULONG count, PVOID const* objects, WAIT_TYPE waitType, PLARGE_INTEGER timeout,
              PKWAIT_BLOCK waitBlockArray) {
  bool poll = timeout && timeout->QuadPart == 0;
  KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL || (irql == DISPATCH_LEVEL && !poll)) {
    sim::verifier::Fail(call, "wait %s at IRQL %u (%s); only a zero time-out is allowed at DISPATCH_LEVEL",
                        timeout ? "with a time-out" : "without a time-out", irql, IrqlName(irql));
    return STATUS_INVALID_PARAMETER;
  }
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS) {
    sim::verifier::Fail(call, "Count %u is outside 1..MAXIMUM_WAIT_OBJECTS (%d)", count, MAXIMUM_WAIT_OBJECTS);
    return STATUS_INVALID_PARAMETER;
  }
  if (waitType != WaitAny && waitType != WaitAll) {
    sim::verifier::Fail(call, "invalid WaitType %d", (int)waitType);
    return STATUS_INVALID_PARAMETER;
  }
  PKTHREAD thread = CurrentThread();
  PKWAIT_BLOCK blocks = waitBlockArray;
  if (!blocks) {
    if (count > THREAD_WAIT_OBJECTS) {
      sim::verifier::Fail(call, "Count %u exceeds THREAD_WAIT_OBJECTS (%d) without a WaitBlockArray", count,
                          THREAD_WAIT_OBJECTS);
      return STATUS_INVALID_PARAMETER;
    }
    blocks = thread->OwnWaitBlocks;
  }
  for (ULONG i = 0; i < count; i++) {
    if (!dsp::IsDispatcherObject(static_cast<DISPATCHER_HEADER*>(objects[i]))) {
      sim::verifier::Fail(call, "object %u (%p) is not an initialised dispatcher object", i, objects[i]);
      return STATUS_INVALID_PARAMETER;
    }
  }
  if (waitType == WaitAll) {
    for (ULONG i = 0; i < count; i++)
      for (ULONG j = i + 1; j < count; j++)
        if (objects[i] == objects[j]) {
          sim::verifier::Fail(call, "object %p appears twice in a WaitAll wait", objects[i]);
          return STATUS_INVALID_PARAMETER;
        }
  }
  // Time-outs expire on the clock tick in force, as kernel timers do.
  int64_t deadline = poll ? 0 : RoundUpToTick(DeadlineFromDueTime(timeout));

  std::unique_lock<std::mutex> lock(dsp::Lock());
  if (waitType == WaitAny) {
    for (ULONG i = 0; i < count; i++) {
      auto* o = static_cast<DISPATCHER_HEADER*>(objects[i]);
      if (dsp::SignalledFor(o, thread)) {
        dsp::Consume(o, thread);
        return STATUS_WAIT_0 + (NTSTATUS)i;
      }
    }
  } else if (dsp::AllSignalled(thread, objects, count)) {
    for (ULONG i = 0; i < count; i++) dsp::Consume(static_cast<DISPATCHER_HEADER*>(objects[i]), thread);
    return STATUS_WAIT_0;
  }
  if (poll) return STATUS_TIMEOUT;

  for (ULONG i = 0; i < count; i++) {
    KWAIT_BLOCK& wb = blocks[i];
    wb.WaitType = (UCHAR)waitType;
    wb.WaitKey = (USHORT)i;
    wb.Thread = thread;
    wb.Object = objects[i];
    wb.BlockState = 1;
    InsertTailList(&static_cast<DISPATCHER_HEADER*>(objects[i])->WaitListHead, &wb.WaitListEntry);
    dsp::WaitedOn().insert(objects[i]);
  }
  thread->WaitBlocks = blocks;
  thread->WaitCount = count;
  thread->WaitType = waitType;
  thread->Waiting = true;
  thread->WaitStatus = STATUS_PENDING;
  while (thread->Waiting) {
    sim::clock::DescribeWait(call, objects[0]);
    if (!sim::clock::WaitUntil(thread->WakeUp, lock, deadline) && thread->Waiting) {
      dsp::Unwait(thread, STATUS_TIMEOUT);
    }
  }
  for (ULONG i = 0; i < count; i++) {
    blocks[i].BlockState = 0;
    dsp::WaitedOn().erase(dsp::WaitedOn().find(objects[i]));
  }
  thread->WaitBlocks = nullptr;
  thread->WaitCount = 0;
  return thread->WaitStatus;
}

}  // namespace

extern "C" {

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
  UNREFERENCED_PARAMETER(WaitReason);
  UNREFERENCED_PARAMETER(WaitMode);
  UNREFERENCED_PARAMETER(Alertable);
  PVOID objects[1] = {Object};
  return Wait("KeWaitForSingleObject", 1, objects, WaitAny, Timeout, nullptr);
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                  KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray) {
  UNREFERENCED_PARAMETER(WaitReason);
  UNREFERENCED_PARAMETER(WaitMode);
  UNREFERENCED_PARAMETER(Alertable);
  return Wait("KeWaitForMultipleObjects", Count, Object, WaitType, Timeout, WaitBlockArray);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
  UNREFERENCED_PARAMETER(WaitMode);
  UNREFERENCED_PARAMETER(Alertable);
  if (!CheckIrqlAtMost("KeDelayExecutionThread", APC_LEVEL)) return STATUS_INVALID_PARAMETER;
  if (!Interval) {
    sim::verifier::Fail("KeDelayExecutionThread", "Interval is NULL");
    return STATUS_INVALID_PARAMETER;
  }
  sim::clock::DescribeWait("KeDelayExecutionThread", nullptr);
  sim::clock::SleepUntil(RoundUpToTick(DeadlineFromDueTime(Interval)));
  return STATUS_SUCCESS;
}

void KeStallExecutionProcessor(ULONG MicroSeconds) {
  sim::clock::SleepUntil(sim::clock::Now() + (int64_t)MicroSeconds * 10);
}

}  // extern "C"
