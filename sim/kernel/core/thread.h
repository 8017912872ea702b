// Internal to the stand-ins: tests, tools and the fuzzer use the public headers instead.
// Thread objects of the kernel stand-in. Every thread that calls into the
// kernel (system threads, DPC and worker threads, test threads) gets one,
// lazily. A thread object is a dispatcher object: it is signalled when the
// thread ends.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <wdm.h>

#include "sim/kernel/core/clock.h"

struct _KTHREAD {
  DISPATCHER_HEADER Header;  // first, so that the object can be waited on

  // Wait state, guarded by the dispatcher lock.
  sim::clock::Condition WakeUp{"kernel wait"};
  NTSTATUS WaitStatus = STATUS_SUCCESS;
  bool Waiting = false;
  PKWAIT_BLOCK WaitBlocks = nullptr;
  ULONG WaitCount = 0;
  WAIT_TYPE WaitType = WaitAny;
  KWAIT_BLOCK OwnWaitBlocks[THREAD_WAIT_OBJECTS] = {};
  LIST_ENTRY OwnedMutexes;  // KMUTANT.MutantListEntry of the mutexes it owns

  // Owned by the thread itself.
  KPRIORITY Priority = 8;
  uint64_t Id = 0;
  bool System = false;
  int Processor = -1;  // index of the simulated processor for DPC threads
  std::vector<PKSPIN_LOCK> HeldSpinLocks;
  int CriticalRegion = 0;
  int GuardedRegion = 0;
  const char* Name = "thread";
};

namespace sim::kernel {

// Stack of kernel threads (system, DPC, worker and timer threads): the
// Windows x64 kernel stack. Sanitizers need several times more.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr size_t kKernelStackBytes = 192 * 1024;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr size_t kKernelStackBytes = 192 * 1024;
#else
inline constexpr size_t kKernelStackBytes = 24 * 1024;
#endif
#else
inline constexpr size_t kKernelStackBytes = 24 * 1024;
#endif

// Stops the stand-in's own kernel threads (DPC, worker and timer threads)
// once the work queue is drained; they start again on their next use. DPCs
// still queued and timers still set are dropped, one line each in *dropped
// (when given). PASSIVE_LEVEL, not on one of those threads.
void StopKernelThreads(std::vector<std::string>* dropped = nullptr);
void StopDpcThreads(std::vector<std::string>* dropped);
void StopTimerThread(std::vector<std::string>* dropped);
void StopWorkerThreads();

// The calling thread's object, created on first use.
PKTHREAD CurrentThread();

// Creates a thread object for a thread that is about to start (reference
// count 1, owned by the thread itself until it ends).
PKTHREAD CreateThreadObject(bool system, const char* name);
// Makes t the calling thread's object; it is signalled when the thread ends.
void AdoptThreadObject(PKTHREAD t);

// System threads (PsCreateSystemThread) that have not ended yet.
int SystemThreadsRunning();

// After a routine returned to the stand-in: a verifier failure naming call if
// the thread still holds spin locks (what describes the routine); the locks
// are then released so that the stand-in thread can go on. False if any.
bool CheckNoSpinLocksHeld(const char* call, const char* what);

// What a routine must give back as it found it: IRQL and spin locks.
struct ThreadBalance {
  KIRQL irql = PASSIVE_LEVEL;
  size_t spinLocks = 0;
};
ThreadBalance TakeBalance();
// After a routine returned: a verifier failure naming call if the IRQL or the
// spin locks held differ from `before` (what describes the routine); they are
// then restored. False if any.
bool CheckBalance(const char* call, const char* what, const ThreadBalance& before);

// The calling thread runs a user-mode request (a system call of the test's
// user-mode side) while one of these is alive.
class UserRequestScope {
 public:
  UserRequestScope();
  ~UserRequestScope();
  UserRequestScope(const UserRequestScope&) = delete;
  UserRequestScope& operator=(const UserRequestScope&) = delete;
};
bool InUserRequest();
// As a system call returns to user mode: PASSIVE_LEVEL, no spin lock, no
// critical or guarded region, no KMUTEX owned. A verifier failure naming
// call otherwise (IRQL, locks and regions are then put right). False if any.
bool CheckReturnToUserMode(const char* call);

}  // namespace sim::kernel
