// Dispatcher objects and waits, against documented Windows semantics.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "kernel_test_util.h"
#include "sim/kernel/core/verifier.h"
#include "testbed_test.h"

namespace {

using sim::clock::Thread;

class Events : public trox::test::TestbedTest {};
class Waits : public trox::test::TestbedTest {};
class Semaphores : public trox::test::TestbedTest {};
class Mutexes : public trox::test::TestbedTest {};
class FastMutexes : public trox::test::TestbedTest {};
class GuardedMutexes : public trox::test::TestbedTest {};

TEST_F(Events, NotificationEventReleasesAllWaitersAndStaysSignalled) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  std::atomic<int> released{0};
  std::vector<Thread> waiters;
  for (int i = 0; i < 3; i++)
    waiters.emplace_back("waiter", [&] {
      if (WaitMs(&e, 10000) == STATUS_SUCCESS) released++;
    });
  EXPECT_EQ(KeSetEvent(&e, IO_NO_INCREMENT, FALSE), 0);
  for (auto& t : waiters) t.Join();
  EXPECT_EQ(released, 3);
  EXPECT_EQ(KeReadStateEvent(&e), 1);
  EXPECT_EQ(Poll(&e), STATUS_SUCCESS);
  EXPECT_EQ(KeResetEvent(&e), 1);
  EXPECT_EQ(Poll(&e), STATUS_TIMEOUT);
}

TEST_F(Events, SynchronizationEventReleasesOneWaiterPerSet) {
  KEVENT e;
  KeInitializeEvent(&e, SynchronizationEvent, FALSE);
  std::atomic<int> released{0};
  std::vector<Thread> waiters;
  for (int i = 0; i < 2; i++)
    waiters.emplace_back("waiter", [&] {
      if (WaitMs(&e, 10000) == STATUS_SUCCESS) released++;
    });
  Bed().RunFor(kMs);  // both wait now
  KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
  Bed().RunFor(kMs);
  EXPECT_EQ(released, 1);
  EXPECT_EQ(KeReadStateEvent(&e), 0) << "the satisfied wait consumes the signal";
  KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
  for (auto& t : waiters) t.Join();
  EXPECT_EQ(released, 2);
  EXPECT_EQ(KeReadStateEvent(&e), 0);
}

TEST_F(Events, SetWithoutWaiterStaysSignalledUntilOneWaitConsumesIt) {
  KEVENT e;
  KeInitializeEvent(&e, SynchronizationEvent, FALSE);
  EXPECT_EQ(KeSetEvent(&e, 0, FALSE), 0);
  EXPECT_EQ(KeSetEvent(&e, 0, FALSE), 1);
  EXPECT_EQ(Poll(&e), STATUS_SUCCESS);
  EXPECT_EQ(Poll(&e), STATUS_TIMEOUT);
}

TEST_F(Events, PulseReleasesCurrentWaitersAndLeavesEventReset) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  NTSTATUS result = STATUS_PENDING;
  Thread waiter("waiter", [&] { result = WaitMs(&e, 10000); });
  Bed().RunFor(kMs);  // the waiter waits now
  KePulseEvent(&e, 0, FALSE);
  waiter.Join();
  EXPECT_EQ(result, STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&e), 0);
}

TEST_F(Waits, RelativeTimeoutExpiresAfterTheInterval) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  int64_t start = sim::clock::Now();
  EXPECT_EQ(WaitMs(&e, 50), STATUS_TIMEOUT);
  // On the next tick of the default 15.625 ms resolution.
  EXPECT_DOUBLE_EQ(ElapsedMs(start), 62.5);
  ExSetTimerResolution(10000, TRUE);
  start = sim::clock::Now();
  EXPECT_EQ(WaitMs(&e, 1), STATUS_TIMEOUT);
  EXPECT_GE(ElapsedMs(start), 1.0);
  EXPECT_LE(ElapsedMs(start), 2.0) << "a raised resolution makes a 1 ms time-out end on the next 1 ms tick";
  ExSetTimerResolution(0, FALSE);
}

TEST_F(Waits, AbsoluteTimeoutUsesSystemTime) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  LARGE_INTEGER due;
  KeQuerySystemTime(&due);
  due.QuadPart += 50 * 10000;
  int64_t start = sim::clock::Now();
  EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &due), STATUS_TIMEOUT);
  EXPECT_GE(ElapsedMs(start), 50.0);
  EXPECT_LE(ElapsedMs(start), 50.0 + 15.625);
  // An absolute time in the past behaves like a poll.
  KeQuerySystemTime(&due);
  due.QuadPart -= 10000000;
  EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &due), STATUS_TIMEOUT);
}

TEST_F(Waits, ZeroTimeoutPollsWithoutBlocking) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  int64_t start = sim::clock::Now();
  EXPECT_EQ(Poll(&e), STATUS_TIMEOUT);
  EXPECT_EQ(ElapsedMs(start), 0.0);
}

TEST_F(Waits, WaitAnyReturnsLowestSignalledIndexAndConsumesOnlyThatObject) {
  KEVENT a, b, c;
  KeInitializeEvent(&a, SynchronizationEvent, FALSE);
  KeInitializeEvent(&b, SynchronizationEvent, TRUE);
  KeInitializeEvent(&c, SynchronizationEvent, TRUE);
  PVOID objs[3] = {&a, &b, &c};
  LARGE_INTEGER zero = ZeroTimeout();
  EXPECT_EQ(KeWaitForMultipleObjects(3, objs, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr), STATUS_WAIT_1);
  EXPECT_EQ(KeReadStateEvent(&b), 0);
  EXPECT_EQ(KeReadStateEvent(&c), 1);
  EXPECT_EQ(KeWaitForMultipleObjects(3, objs, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr), STATUS_WAIT_2);
  EXPECT_EQ(KeWaitForMultipleObjects(3, objs, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr), STATUS_TIMEOUT);
}

TEST_F(Waits, WaitAnyWakesWithTheIndexOfTheObjectSignalledLater) {
  KEVENT a, b;
  KeInitializeEvent(&a, NotificationEvent, FALSE);
  KeInitializeEvent(&b, NotificationEvent, FALSE);
  PVOID objs[2] = {&a, &b};
  NTSTATUS result = STATUS_PENDING;
  Thread waiter("waiter", [&] {
    LARGE_INTEGER t = RelativeMs(10000);
    result = KeWaitForMultipleObjects(2, objs, WaitAny, Executive, KernelMode, FALSE, &t, nullptr);
  });
  Bed().RunFor(20 * kMs);
  KeSetEvent(&b, 0, FALSE);
  waiter.Join();
  EXPECT_EQ(result, STATUS_WAIT_1);
}

TEST_F(Waits, WaitAllTakesEveryObjectAtOnceOrNone) {
  KSEMAPHORE s;
  KEVENT e;
  KeInitializeSemaphore(&s, 1, 5);
  KeInitializeEvent(&e, SynchronizationEvent, FALSE);
  PVOID objs[2] = {&s, &e};
  LARGE_INTEGER zero = ZeroTimeout();
  EXPECT_EQ(KeWaitForMultipleObjects(2, objs, WaitAll, Executive, KernelMode, FALSE, &zero, nullptr), STATUS_TIMEOUT);
  EXPECT_EQ(KeReadStateSemaphore(&s), 1) << "an unsatisfied WaitAll must not consume part of the objects";

  NTSTATUS result = STATUS_PENDING;
  Thread waiter("waiter", [&] {
    LARGE_INTEGER t = RelativeMs(10000);
    result = KeWaitForMultipleObjects(2, objs, WaitAll, Executive, KernelMode, FALSE, &t, nullptr);
  });
  Bed().RunFor(20 * kMs);
  KeSetEvent(&e, 0, FALSE);
  waiter.Join();
  EXPECT_EQ(result, STATUS_WAIT_0);
  EXPECT_EQ(KeReadStateSemaphore(&s), 0);
  EXPECT_EQ(KeReadStateEvent(&e), 0);
}

TEST_F(Waits, WaitAllTimesOutWhenOneObjectStaysUnsignalled) {
  KEVENT a, b;
  KeInitializeEvent(&a, NotificationEvent, TRUE);
  KeInitializeEvent(&b, NotificationEvent, FALSE);
  PVOID objs[2] = {&a, &b};
  LARGE_INTEGER t = RelativeMs(30);
  EXPECT_EQ(KeWaitForMultipleObjects(2, objs, WaitAll, Executive, KernelMode, FALSE, &t, nullptr), STATUS_TIMEOUT);
}

TEST_F(Waits, MoreThanThreadWaitObjectsNeedsAWaitBlockArray) {
  KEVENT e[5];
  PVOID objs[5];
  for (int i = 0; i < 5; i++) {
    KeInitializeEvent(&e[i], NotificationEvent, i == 4);
    objs[i] = &e[i];
  }
  KWAIT_BLOCK blocks[5];
  LARGE_INTEGER zero = ZeroTimeout();
  EXPECT_EQ(KeWaitForMultipleObjects(5, objs, WaitAny, Executive, KernelMode, FALSE, &zero, blocks), STATUS_WAIT_0 + 4);
  sim::verifier::Recorder rec;
  KeWaitForMultipleObjects(5, objs, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr);
  EXPECT_TRUE(rec.Has("KeWaitForMultipleObjects", "THREAD_WAIT_OBJECTS"));
  KeWaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, objs, WaitAny, Executive, KernelMode, FALSE, &zero, blocks);
  EXPECT_TRUE(rec.Has("KeWaitForMultipleObjects", "MAXIMUM_WAIT_OBJECTS"));
}

TEST_F(Waits, WaitAllWithTheSameObjectTwiceIsAVerifierFailure) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, TRUE);
  PVOID objs[2] = {&e, &e};
  LARGE_INTEGER zero = ZeroTimeout();
  sim::verifier::Recorder rec;
  KeWaitForMultipleObjects(2, objs, WaitAll, Executive, KernelMode, FALSE, &zero, nullptr);
  EXPECT_TRUE(rec.Has("KeWaitForMultipleObjects", "twice"));
}

TEST_F(Waits, TimedWaitAtDispatchLevelIsAVerifierFailureButPollingIsAllowed) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  sim::verifier::Recorder rec;
  AtDispatchLevel([&] {
    EXPECT_EQ(Poll(&e), STATUS_TIMEOUT);
    EXPECT_EQ(rec.Count(), 0u);
    WaitMs(&e, 10);
    EXPECT_TRUE(rec.Has("KeWaitForSingleObject", "DISPATCH_LEVEL"));
    rec.Clear();
    KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
    EXPECT_TRUE(rec.Has("KeWaitForSingleObject"));
  });
}

TEST_F(Waits, WaitOnUninitialisedObjectIsAVerifierFailure) {
  KEVENT e{};
  sim::verifier::Recorder rec;
  EXPECT_NE(Poll(&e), STATUS_SUCCESS);
  EXPECT_TRUE(rec.Has("KeWaitForSingleObject", "not an initialised"));
}

TEST_F(Waits, DelayExecutionSleepsAndIsRefusedAboveApcLevel) {
  LARGE_INTEGER t = RelativeMs(30);
  int64_t start = sim::clock::Now();
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &t), STATUS_SUCCESS);
  EXPECT_DOUBLE_EQ(ElapsedMs(start), 31.25) << "30 ms end on the second tick of 15.625 ms";
  sim::verifier::Recorder rec;
  AtDispatchLevel([&] { KeDelayExecutionThread(KernelMode, FALSE, &t); });
  EXPECT_TRUE(rec.Has("KeDelayExecutionThread"));
}

TEST_F(Semaphores, CountsReleasesAndWaits) {
  KSEMAPHORE s;
  KeInitializeSemaphore(&s, 0, 3);
  EXPECT_EQ(Poll(&s), STATUS_TIMEOUT);
  EXPECT_EQ(KeReleaseSemaphore(&s, 0, 2, FALSE), 0);
  EXPECT_EQ(KeReadStateSemaphore(&s), 2);
  EXPECT_EQ(Poll(&s), STATUS_SUCCESS);
  EXPECT_EQ(Poll(&s), STATUS_SUCCESS);
  EXPECT_EQ(Poll(&s), STATUS_TIMEOUT);

  std::atomic<int> acquired{0};
  std::vector<Thread> waiters;
  for (int i = 0; i < 3; i++)
    waiters.emplace_back("waiter", [&] {
      if (WaitMs(&s, 10000) == STATUS_SUCCESS) acquired++;
    });
  EXPECT_EQ(KeReleaseSemaphore(&s, 0, 3, FALSE), 0);
  for (auto& t : waiters) t.Join();
  EXPECT_EQ(acquired, 3);
  EXPECT_EQ(KeReadStateSemaphore(&s), 0);
}

TEST_F(Semaphores, ReleaseBeyondTheLimitIsAVerifierFailureAndChangesNothing) {
  KSEMAPHORE s;
  KeInitializeSemaphore(&s, 2, 3);
  sim::verifier::Recorder rec;
  EXPECT_EQ(KeReleaseSemaphore(&s, 0, 2, FALSE), 2);
  EXPECT_TRUE(rec.Has("KeReleaseSemaphore", "STATUS_SEMAPHORE_LIMIT_EXCEEDED"));
  EXPECT_EQ(KeReadStateSemaphore(&s), 2);
  EXPECT_EQ(KeReleaseSemaphore(&s, 0, 1, FALSE), 2);
  EXPECT_EQ(rec.Count(), 1u);
  EXPECT_EQ(KeReadStateSemaphore(&s), 3);
}

TEST_F(Mutexes, RecursiveAcquisitionByTheOwner) {
  KMUTEX m;
  KeInitializeMutex(&m, 0);
  EXPECT_EQ(KeReadStateMutex(&m), 1);
  EXPECT_EQ(WaitMs(&m, 1000), STATUS_SUCCESS);
  EXPECT_EQ(Poll(&m), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateMutex(&m), -1);
  EXPECT_EQ(m.OwnerThread, KeGetCurrentThread());

  NTSTATUS other = STATUS_PENDING;
  Thread("other", [&] { other = Poll(&m); }).Join();
  EXPECT_EQ(other, STATUS_TIMEOUT) << "another thread must not get an owned mutex";

  EXPECT_EQ(KeReleaseMutex(&m, FALSE), -1);
  EXPECT_EQ(KeReleaseMutex(&m, FALSE), 0);
  EXPECT_EQ(KeReadStateMutex(&m), 1);
  EXPECT_EQ(m.OwnerThread, nullptr);
}

TEST_F(Mutexes, ReleaseHandsTheMutexToAWaiter) {
  KMUTEX m;
  KeInitializeMutex(&m, 0);
  ASSERT_EQ(Poll(&m), STATUS_SUCCESS);
  KEVENT gotIt, letGo;
  KeInitializeEvent(&gotIt, NotificationEvent, FALSE);
  KeInitializeEvent(&letGo, NotificationEvent, FALSE);
  PKTHREAD waiterThread = nullptr;
  Thread waiter("waiter", [&] {
    waiterThread = KeGetCurrentThread();
    EXPECT_EQ(WaitMs(&m, 10000), STATUS_SUCCESS);
    KeSetEvent(&gotIt, 0, FALSE);
    LARGE_INTEGER t = RelativeMs(10000);
    KeWaitForSingleObject(&letGo, Executive, KernelMode, FALSE, &t);
    KeReleaseMutex(&m, FALSE);
  });
  Bed().RunFor(20 * kMs);
  EXPECT_EQ(Poll(&gotIt), STATUS_TIMEOUT);
  KeReleaseMutex(&m, FALSE);
  EXPECT_EQ(WaitMs(&gotIt, 10000), STATUS_SUCCESS);
  EXPECT_EQ(m.OwnerThread, waiterThread);
  KeSetEvent(&letGo, 0, FALSE);
  waiter.Join();
  EXPECT_EQ(KeReadStateMutex(&m), 1);
}

TEST_F(Mutexes, ReleaseByANonOwnerIsAVerifierFailure) {
  KMUTEX m;
  KeInitializeMutex(&m, 0);
  sim::verifier::Recorder rec;
  KeReleaseMutex(&m, FALSE);
  EXPECT_TRUE(rec.Has("KeReleaseMutex", "not owned"));
  ASSERT_EQ(Poll(&m), STATUS_SUCCESS);
  Thread("other", [&] { KeReleaseMutex(&m, FALSE); }).Join();
  EXPECT_TRUE(rec.Has("KeReleaseMutex", "not by the caller"));
  EXPECT_EQ(KeReadStateMutex(&m), 0) << "the failed release must leave the owner's hold intact";
  KeReleaseMutex(&m, FALSE);
}

TEST_F(Mutexes, AThreadEndingWhileOwningAMutexIsAVerifierFailureAndAbandonsIt) {
  KMUTEX m;
  KeInitializeMutex(&m, 0);
  sim::verifier::Recorder rec;
  Thread("owner", [&] { EXPECT_EQ(Poll(&m), STATUS_SUCCESS); }).Join();
  EXPECT_TRUE(rec.Has("PsTerminateSystemThread", "owning mutex"));
  EXPECT_EQ(Poll(&m), STATUS_SUCCESS);
  KeReleaseMutex(&m, FALSE);
}

}  // namespace

namespace {

TEST_F(FastMutexes, ExcludeOtherThreadsAtApcLevelAndRefuseRecursion) {
  FAST_MUTEX m;
  ExInitializeFastMutex(&m);
  long counter = 0;  // deliberately not atomic
  auto work = [&] {
    for (int i = 0; i < 2000; i++) {
      ExAcquireFastMutex(&m);
      EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
      counter++;
      ExReleaseFastMutex(&m);
    }
  };
  {
    Thread a("a", work), b("b", work);
  }
  EXPECT_EQ(counter, 4000);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

  sim::verifier::Recorder rec;
  ExAcquireFastMutex(&m);
  ExAcquireFastMutex(&m);
  EXPECT_TRUE(rec.Has("ExAcquireFastMutex", "recursive"));
  bool acquiredElsewhere = true;
  Thread("other", [&] { acquiredElsewhere = ExTryToAcquireFastMutex(&m); }).Join();
  EXPECT_FALSE(acquiredElsewhere);
  ExReleaseFastMutex(&m);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  ExReleaseFastMutex(&m);
  EXPECT_TRUE(rec.Has("ExReleaseFastMutex"));
}

TEST_F(GuardedMutexes, EnterAGuardedRegionWithoutRaisingIrql) {
  KGUARDED_MUTEX m;
  KeInitializeGuardedMutex(&m);
  KeAcquireGuardedMutex(&m);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  bool acquiredElsewhere = true;
  Thread("other", [&] { acquiredElsewhere = KeTryToAcquireGuardedMutex(&m); }).Join();
  EXPECT_FALSE(acquiredElsewhere);
  KeReleaseGuardedMutex(&m);
  EXPECT_TRUE(KeTryToAcquireGuardedMutex(&m));
  KeReleaseGuardedMutex(&m);
}

}  // namespace

namespace {

TEST_F(Waits, HugeTimeoutsBehaveAsInfiniteWithoutOverflow) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  NTSTATUS result = STATUS_PENDING;
  Thread waiter("waiter", [&] {
    LARGE_INTEGER forever;
    forever.QuadPart = INT64_MIN + 1;  // the longest relative interval
    result = KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &forever);
  });
  Bed().RunFor(20 * kMs);
  KeSetEvent(&e, 0, FALSE);
  waiter.Join();
  EXPECT_EQ(result, STATUS_SUCCESS);
  LARGE_INTEGER farAbsolute;
  farAbsolute.QuadPart = INT64_MAX;
  KTIMER timer;
  KeInitializeTimer(&timer);
  KeSetTimer(&timer, farAbsolute, nullptr);
  EXPECT_EQ(Poll(&timer), STATUS_TIMEOUT);
  LARGE_INTEGER longest;
  longest.QuadPart = INT64_MIN + 1;
  EXPECT_TRUE(KeSetTimer(&timer, longest, nullptr));
  EXPECT_EQ(Poll(&timer), STATUS_TIMEOUT);
  EXPECT_TRUE(KeCancelTimer(&timer));
}

}  // namespace
