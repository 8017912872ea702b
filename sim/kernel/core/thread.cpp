#include "sim/kernel/core/thread.h"

#include <atomic>
#include <vector>

#include "sim/kernel/core/bugcheck.h"
#include "sim/kernel/core/dispatcher.h"
#include "sim/kernel/core/handles.h"
#include "sim/kernel/core/irql_checks.h"
#include "sim/kernel/core/verifier.h"

namespace {

_OBJECT_TYPE gThreadTypeObject{"Thread"};
POBJECT_TYPE gThreadType = &gThreadTypeObject;
_OBJECT_TYPE gEventTypeObject{"Event"};
POBJECT_TYPE gEventType = &gEventTypeObject;
_OBJECT_TYPE gSemaphoreTypeObject{"Semaphore"};
POBJECT_TYPE gSemaphoreType = &gSemaphoreTypeObject;

// A stand-in for the system process; only its address is ever used.
char gSystemProcess[64];

std::atomic<uint64_t> gNextThreadId{1};

void DestroyThreadObject(void* obj) { delete static_cast<PKTHREAD>(obj); }

void DropHandleReference(void* obj) { ObfDereferenceObject(obj); }

// Ends the calling thread's life as a kernel thread: mutexes it still owns
// are abandoned (a bug check on Windows), then the thread object is signalled.
void ThreadEnded(PKTHREAD t) {
  std::vector<PKMUTANT> abandoned;
  {
    std::lock_guard<std::mutex> l(sim::kernel::dispatcher::Lock());
    while (!IsListEmpty(&t->OwnedMutexes)) {
      PKMUTANT m = CONTAINING_RECORD(RemoveHeadList(&t->OwnedMutexes), KMUTANT, MutantListEntry);
      m->OwnerThread = nullptr;
      m->Abandoned = TRUE;
      m->Header.SignalState = 1;
      sim::kernel::dispatcher::WaitTest(&m->Header);
      abandoned.push_back(m);
    }
    t->Header.SignalState = 1;
    sim::kernel::dispatcher::WaitTest(&t->Header);
  }
  if (!t->HeldSpinLocks.empty()) {
    sim::verifier::Fail("PsTerminateSystemThread", "%s %llu ended holding %zu spin lock(s), the first at %p", t->Name,
                        (unsigned long long)t->Id, t->HeldSpinLocks.size(), (void*)t->HeldSpinLocks.front());
    for (PKSPIN_LOCK l : t->HeldSpinLocks) __atomic_store_n(l, 0, __ATOMIC_RELEASE);
    t->HeldSpinLocks.clear();
  }
  for (PKMUTANT m : abandoned)
    sim::verifier::Fail("PsTerminateSystemThread", "%s %llu ended owning mutex %p", t->Name, (unsigned long long)t->Id,
                        (void*)m);
  ObfDereferenceObject(t);
}

struct ThreadHolder {
  PKTHREAD thread = nullptr;
  ~ThreadHolder() { End(); }
  void End() {
    if (PKTHREAD t = thread) {
      thread = nullptr;
      ThreadEnded(t);
    }
  }
};

thread_local ThreadHolder tHolder;

std::atomic<int> gSystemThreadsRunning{0};

// A thread of the clock ends its kernel thread while it still takes part in
// the clock, so that whoever waits for it is woken before time moves on.
void EndAtClockThreadExit() {
  sim::clock::AtThreadExit([] { tHolder.End(); });
}

}  // namespace

POBJECT_TYPE* PsThreadType = &gThreadType;
POBJECT_TYPE* ExEventObjectType = &gEventType;
POBJECT_TYPE* ExSemaphoreObjectType = &gSemaphoreType;

namespace sim::kernel {

PKTHREAD CreateThreadObject(bool system, const char* name) {
  auto* t = new _KTHREAD;
  dispatcher::InitializeHeader(&t->Header, ThreadObject, sizeof(_KTHREAD) / 4 > 255 ? 255 : sizeof(_KTHREAD) / 4, 0);
  InitializeListHead(&t->OwnedMutexes);
  t->Id = gNextThreadId++;
  t->System = system;
  t->Name = name;
  RegisterObject(t, gThreadType, DestroyThreadObject);
  return t;
}

void AdoptThreadObject(PKTHREAD t) {
  tHolder.thread = t;
  EndAtClockThreadExit();
}

PKTHREAD CurrentThread() {
  if (!tHolder.thread) {
    tHolder.thread = CreateThreadObject(false, "thread");
    EndAtClockThreadExit();
  }
  return tHolder.thread;
}

int SystemThreadsRunning() { return gSystemThreadsRunning.load(); }

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" {

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                              HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext) {
  UNREFERENCED_PARAMETER(DesiredAccess);
  if (!CheckIrqlAtMost("PsCreateSystemThread", PASSIVE_LEVEL)) return STATUS_INVALID_DEVICE_STATE;
  if (!ThreadHandle || !StartRoutine) {
    sim::verifier::Fail("PsCreateSystemThread", "ThreadHandle and StartRoutine are required");
    return STATUS_INVALID_PARAMETER;
  }
  if (InUserRequest() && (ObjectAttributes == nullptr || !(ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE))) {
    // The handle would land in the calling process's handle table, open to
    // user mode.
    sim::verifier::Fail("PsCreateSystemThread",
                        "called in a user-mode request's context without OBJ_KERNEL_HANDLE in ObjectAttributes");
    return STATUS_INVALID_PARAMETER;
  }
  if (ProcessHandle != nullptr && ProcessHandle != NtCurrentProcess()) {
    sim::verifier::Fail("PsCreateSystemThread", "unsupported ProcessHandle %p", ProcessHandle);
    return STATUS_INVALID_HANDLE;
  }
  PKTHREAD t = CreateThreadObject(true, "system thread");
  ObfReferenceObject(t);  // the handle's reference
  *ThreadHandle = InsertHandle(t, gThreadType, DropHandleReference);
  if (ClientId) {
    ClientId->UniqueProcess = (HANDLE)(ULONG_PTR)4;
    ClientId->UniqueThread = (HANDLE)(ULONG_PTR)(t->Id * 4);
  }
  gSystemThreadsRunning++;
  sim::clock::Thread(
      "system thread",
      [t, StartRoutine, StartContext] {
        AdoptThreadObject(t);
        SetCurrentIrql(PASSIVE_LEVEL);
        try {
          StartRoutine(StartContext);
        } catch (const ThreadTermination&) {
        } catch (const BugCheck&) {
        }
        CheckNoSpinLocksHeld("PsTerminateSystemThread", "the system thread");
        KIRQL irql = KeGetCurrentIrql();
        if (irql != PASSIVE_LEVEL) {
          sim::verifier::Fail("PsTerminateSystemThread", "system thread %llu (start routine %p) ended at IRQL %u",
                              (unsigned long long)t->Id, (void*)StartRoutine, irql);
          SetCurrentIrql(PASSIVE_LEVEL);
        }
        gSystemThreadsRunning--;
      },
      kKernelStackBytes)
      .Detach();
  return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
  PKTHREAD t = CurrentThread();
  if (!t->System) {
    sim::verifier::Fail("PsTerminateSystemThread", "called by thread %llu, which is not a system thread",
                        (unsigned long long)t->Id);
    abort();
  }
  throw ThreadTermination{ExitStatus};
}

PKTHREAD KeGetCurrentThread(void) { return CurrentThread(); }
PETHREAD PsGetCurrentThread(void) { return reinterpret_cast<PETHREAD>(CurrentThread()); }
HANDLE PsGetCurrentThreadId(void) { return (HANDLE)(ULONG_PTR)(CurrentThread()->Id * 4); }
HANDLE PsGetCurrentProcessId(void) { return (HANDLE)(ULONG_PTR)4; }
PEPROCESS PsGetCurrentProcess(void) { return reinterpret_cast<PEPROCESS>(gSystemProcess); }
BOOLEAN PsIsSystemThread(PETHREAD Thread) { return reinterpret_cast<PKTHREAD>(Thread)->System; }

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
  if (!CheckIrqlAtMost("KeSetPriorityThread", DISPATCH_LEVEL)) return Thread->Priority;
  if (Priority < LOW_PRIORITY + 1 || Priority > HIGH_PRIORITY) {
    sim::verifier::Fail("KeSetPriorityThread", "priority %d outside 1..31", Priority);
    return Thread->Priority;
  }
  return __atomic_exchange_n(&Thread->Priority, Priority, __ATOMIC_SEQ_CST);
}

KPRIORITY KeQueryPriorityThread(PKTHREAD Thread) { return __atomic_load_n(&Thread->Priority, __ATOMIC_SEQ_CST); }

NTSTATUS ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
  PVOID object = nullptr;
  NTSTATUS status = ObReferenceObjectByHandle(Handle, SYNCHRONIZE, nullptr, KernelMode, &object, nullptr);
  if (!NT_SUCCESS(status)) return status;
  status = KeWaitForSingleObject(object, Executive, KernelMode, Alertable, Timeout);
  ObDereferenceObject(object);
  return status;
}

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID* Object,
                                   POBJECT_HANDLE_INFORMATION HandleInformation) {
  UNREFERENCED_PARAMETER(AccessMode);
  if (!CheckIrqlAtMost("ObReferenceObjectByHandle", PASSIVE_LEVEL)) return STATUS_INVALID_DEVICE_STATE;
  *Object = nullptr;
  void* obj;
  POBJECT_TYPE type;
  if (Handle == NtCurrentThread()) {
    obj = CurrentThread();
    type = gThreadType;
  } else {
    obj = LookupHandle(Handle, nullptr);
    type = HandleType(Handle);
    if (!obj) return STATUS_INVALID_HANDLE;
  }
  // Kernel-mode callers get any access they ask for.
  if (ObjectType && ObjectType != type) return STATUS_OBJECT_TYPE_MISMATCH;
  if (ObReferenceObjectByPointer(obj, DesiredAccess, nullptr, KernelMode) != STATUS_SUCCESS)
    return STATUS_INVALID_HANDLE;
  *Object = obj;
  if (HandleInformation) {
    HandleInformation->HandleAttributes = 0;
    HandleInformation->GrantedAccess = DesiredAccess;
  }
  return STATUS_SUCCESS;
}

}  // extern "C"
