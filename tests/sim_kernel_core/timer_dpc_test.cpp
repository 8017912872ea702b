// Kernel timers, DPCs and system work items.
#include <gtest/gtest.h>

#include <atomic>

#include "kernel_test_util.h"
#include "testbed_test.h"
#include "sim/kernel/core/timer_resolution.h"
#include "sim/kernel/core/verifier.h"
#include "sim/kernel/core/work_queue.h"

namespace {

using sim::clock::Thread;

class Dpcs : public trox::test::TestbedTest {};
class Timers : public trox::test::TestbedTest {};
class TimerResolution : public trox::test::TestbedTest {};
class WorkItems : public trox::test::TestbedTest {};

struct DpcProbe {
  std::atomic<int> runs{0};
  std::atomic<int> concurrent{0};
  std::atomic<int> maxConcurrent{0};
  std::atomic<int> irql{-1};
  std::atomic<PVOID> arg1{nullptr};
  KEVENT ran;
  int holdMs = 0;
  DpcProbe() { KeInitializeEvent(&ran, SynchronizationEvent, FALSE); }
};

void ProbeRoutine(PKDPC, PVOID context, PVOID arg1, PVOID) {
  auto* p = static_cast<DpcProbe*>(context);
  int now = ++p->concurrent;
  int prev = p->maxConcurrent;
  while (now > prev && !p->maxConcurrent.compare_exchange_weak(prev, now)) {
  }
  p->irql = KeGetCurrentIrql();
  p->arg1 = arg1;
  if (p->holdMs) KeStallExecutionProcessor(p->holdMs * 1000);
  p->concurrent--;
  p->runs++;
  KeSetEvent(&p->ran, 0, FALSE);
}

class FineTimerResolution : public trox::test::TestbedTest {
 protected:
  void SetUp() override {
    TestbedTest::SetUp();
    ExSetTimerResolution(10000, TRUE);
  }
  void TearDown() override {
    ExSetTimerResolution(0, FALSE);
    TestbedTest::TearDown();
  }
};

TEST_F(Dpcs, RunOnceAtDispatchLevelWithTheirArguments) {
  DpcProbe probe;
  KDPC dpc;
  KeInitializeDpc(&dpc, ProbeRoutine, &probe);
  EXPECT_TRUE(KeInsertQueueDpc(&dpc, (PVOID)0x1234, nullptr));
  ASSERT_EQ(WaitMs(&probe.ran, 10000), STATUS_SUCCESS);
  KeFlushQueuedDpcs();
  EXPECT_EQ(probe.runs, 1);
  EXPECT_EQ(probe.irql, DISPATCH_LEVEL);
  EXPECT_EQ(probe.arg1, (PVOID)0x1234);
}

TEST_F(Dpcs, QueueingTwiceBeforeItRunsQueuesItOnce) {
  DpcProbe probe;
  probe.holdMs = 30;
  KDPC blocker, dpc;
  DpcProbe blockerProbe;
  blockerProbe.holdMs = 100;
  // Keep both processors busy so that the DPC under test stays queued.
  KDPC blocker2;
  DpcProbe blockerProbe2;
  blockerProbe2.holdMs = 100;
  KeInitializeDpc(&blocker, ProbeRoutine, &blockerProbe);
  KeInitializeDpc(&blocker2, ProbeRoutine, &blockerProbe2);
  KeSetTargetProcessorDpc(&blocker, 0);
  KeSetTargetProcessorDpc(&blocker2, 1);
  KeInitializeDpc(&dpc, ProbeRoutine, &probe);
  KeSetTargetProcessorDpc(&dpc, 0);
  KeInsertQueueDpc(&blocker, nullptr, nullptr);
  KeInsertQueueDpc(&blocker2, nullptr, nullptr);
  EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
  EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
  EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
  KeFlushQueuedDpcs();
  EXPECT_EQ(probe.runs, 1);
  EXPECT_EQ(probe.maxConcurrent, 1);
}

TEST_F(Dpcs, ManyQueueingsFromTwoProcessorsNeverRunOneQueuingTwice) {
  DpcProbe probe;
  KDPC dpc;
  KeInitializeDpc(&dpc, ProbeRoutine, &probe);
  std::atomic<int> queued{0};
  auto queueMany = [&] {
    for (int i = 0; i < 2000; i++) {
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      if (KeInsertQueueDpc(&dpc, nullptr, nullptr)) queued++;
      KeLowerIrql(old);
    }
  };
  {
    Thread a("a", queueMany), b("b", queueMany);
  }
  KeFlushQueuedDpcs();
  EXPECT_EQ(probe.runs, queued.load()) << "every successful queuing runs the routine exactly once";
}

TEST_F(Dpcs, RemoveQueueDpcCancelsAQueuedDpc) {
  DpcProbe blockerProbe, probe;
  blockerProbe.holdMs = 80;
  KDPC blocker, dpc;
  KeInitializeDpc(&blocker, ProbeRoutine, &blockerProbe);
  KeInitializeDpc(&dpc, ProbeRoutine, &probe);
  KeSetTargetProcessorDpc(&blocker, 1);
  KeSetTargetProcessorDpc(&dpc, 1);
  KeInsertQueueDpc(&blocker, nullptr, nullptr);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  EXPECT_TRUE(KeRemoveQueueDpc(&dpc));
  EXPECT_FALSE(KeRemoveQueueDpc(&dpc));
  KeFlushQueuedDpcs();
  EXPECT_EQ(probe.runs, 0);
  EXPECT_EQ(blockerProbe.runs, 1);
}

TEST_F(Dpcs, TwoProcessorsRunDifferentDpcsConcurrently) {
  DpcProbe probe;
  probe.holdMs = 100;
  KDPC d0, d1;
  KeInitializeDpc(&d0, ProbeRoutine, &probe);
  KeInitializeDpc(&d1, ProbeRoutine, &probe);
  KeSetTargetProcessorDpc(&d0, 0);
  KeSetTargetProcessorDpc(&d1, 1);
  KeInsertQueueDpc(&d0, nullptr, nullptr);
  KeInsertQueueDpc(&d1, nullptr, nullptr);
  KeFlushQueuedDpcs();
  EXPECT_EQ(probe.runs, 2);
  EXPECT_EQ(probe.maxConcurrent, 2);
}

void ReturnsAtPassive(PKDPC, PVOID, PVOID, PVOID) { KeLowerIrql(PASSIVE_LEVEL); }

KSPIN_LOCK gLeakedLock;
void ReturnsHoldingLock(PKDPC, PVOID, PVOID, PVOID) { KeAcquireSpinLockAtDpcLevel(&gLeakedLock); }

TEST_F(Dpcs, ReturningAtAnotherIrqlOrHoldingASpinLockIsAVerifierFailure) {
  sim::verifier::Recorder rec;
  KDPC dpc;
  KeInitializeDpc(&dpc, ReturnsAtPassive, nullptr);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  KeFlushQueuedDpcs();
  EXPECT_TRUE(rec.Has("DPC routine", "returned at IRQL 0"));
  KeInitializeSpinLock(&gLeakedLock);
  KeInitializeDpc(&dpc, ReturnsHoldingLock, nullptr);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  KeFlushQueuedDpcs();
  EXPECT_TRUE(rec.Has("DPC routine", "spin lock"));
}

TEST_F(Dpcs, FlushIsPassiveLevelOnly) {
  sim::verifier::Recorder rec;
  AtDispatchLevel([] { KeFlushQueuedDpcs(); });
  EXPECT_TRUE(rec.Has("KeFlushQueuedDpcs"));
}

TEST_F(FineTimerResolution, OneShotTimerSignalsAndRunsItsDpcOnce) {
  DpcProbe probe;
  KDPC dpc;
  KTIMER timer;
  KeInitializeDpc(&dpc, ProbeRoutine, &probe);
  KeInitializeTimer(&timer);
  int64_t start = sim::clock::Now();
  EXPECT_FALSE(KeSetTimer(&timer, RelativeMs(40), &dpc));
  EXPECT_FALSE(KeReadStateTimer(&timer));
  EXPECT_EQ(WaitMs(&timer, 10000), STATUS_SUCCESS);
  EXPECT_DOUBLE_EQ(ElapsedMs(start), 40.0);
  EXPECT_TRUE(KeReadStateTimer(&timer)) << "a notification timer stays signalled";
  ASSERT_EQ(WaitMs(&probe.ran, 10000), STATUS_SUCCESS);
  Bed().RunFor(50 * kMs);
  EXPECT_EQ(probe.runs, 1);
  EXPECT_NE(probe.arg1, nullptr) << "timer DPCs get the system time";
}

TEST_F(FineTimerResolution, AbsoluteDueTimeIsSystemTime) {
  KTIMER timer;
  KeInitializeTimerEx(&timer, SynchronizationTimer);
  LARGE_INTEGER due;
  KeQuerySystemTime(&due);
  due.QuadPart += 40 * 10000;
  int64_t start = sim::clock::Now();
  KeSetTimer(&timer, due, nullptr);
  EXPECT_EQ(WaitMs(&timer, 10000), STATUS_SUCCESS);
  EXPECT_DOUBLE_EQ(ElapsedMs(start), 40.0);
  EXPECT_FALSE(KeReadStateTimer(&timer)) << "a synchronization timer is reset by the satisfied wait";
}

TEST_F(FineTimerResolution, PeriodicTimerFiresRepeatedlyUntilCancelled) {
  DpcProbe probe;
  KDPC dpc;
  KTIMER timer;
  KeInitializeDpc(&dpc, ProbeRoutine, &probe);
  KeInitializeTimerEx(&timer, SynchronizationTimer);
  int64_t start = sim::clock::Now();
  KeSetTimerEx(&timer, RelativeMs(10), 10, &dpc);
  for (int i = 0; i < 5; i++) ASSERT_EQ(WaitMs(&timer, 10000), STATUS_SUCCESS);
  EXPECT_DOUBLE_EQ(ElapsedMs(start), 50.0);
  // An expiry that finds the DPC still queued does not queue it twice, so the
  // runs may trail the expiries; the timer keeps firing.
  while (probe.runs < 5) ASSERT_EQ(WaitMs(&probe.ran, 10000), STATUS_SUCCESS);
  EXPECT_TRUE(KeCancelTimer(&timer));
  EXPECT_FALSE(KeCancelTimer(&timer));
  KeFlushQueuedDpcs();
  int runs = probe.runs;
  Bed().RunFor(50 * kMs);
  KeFlushQueuedDpcs();
  EXPECT_EQ(probe.runs, runs) << "a cancelled timer does not fire";
}

TEST_F(FineTimerResolution, CancelBeforeExpiryPreventsSignalAndDpc) {
  DpcProbe probe;
  KDPC dpc;
  KTIMER timer;
  KeInitializeDpc(&dpc, ProbeRoutine, &probe);
  KeInitializeTimer(&timer);
  KeSetTimer(&timer, RelativeMs(20), &dpc);
  EXPECT_TRUE(KeSetTimer(&timer, RelativeMs(25), &dpc)) << "resetting a queued timer reports it was queued";
  EXPECT_TRUE(KeCancelTimer(&timer));
  EXPECT_EQ(WaitMs(&timer, 50), STATUS_TIMEOUT);
  EXPECT_EQ(probe.runs, 0);
}

TEST_F(Timers, ExpireOnTicksOfTheResolutionInForce) {
  ASSERT_EQ(sim::kernel::CurrentTimerResolution(), sim::kernel::kDefaultTimerResolution);
  KTIMER timer;
  KeInitializeTimer(&timer);
  // Default resolution 15.625 ms: a 1 ms timer cannot fire before the next tick.
  int64_t tick = sim::kernel::kDefaultTimerResolution;
  int64_t start = sim::clock::Now();
  int64_t nextTick = (start + 10000 + tick - 1) / tick * tick;
  KeSetTimer(&timer, RelativeMs(1), nullptr);
  ASSERT_EQ(WaitMs(&timer, 10000), STATUS_SUCCESS);
  EXPECT_EQ(sim::clock::Now(), nextTick);
}

TEST_F(TimerResolution, RequestsAreRecordedAndUndone) {
  EXPECT_EQ(ExSetTimerResolution(10000, TRUE), 10000u);
  EXPECT_EQ(ExSetTimerResolution(1000, TRUE), sim::kernel::kMinimumTimerResolution);
  EXPECT_EQ(sim::kernel::TimerResolutionRequests().size(), 2u);
  EXPECT_EQ(ExSetTimerResolution(0, FALSE), 10000u);
  EXPECT_EQ(ExSetTimerResolution(0, FALSE), sim::kernel::kDefaultTimerResolution);
  EXPECT_TRUE(sim::kernel::TimerResolutionRequests().empty());
}

TEST_F(WorkItems, RunAtPassiveLevelOnWorkerThreads) {
  std::atomic<int> irql{-1};
  std::atomic<bool> otherThread{false};
  PKTHREAD me = KeGetCurrentThread();
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  AtDispatchLevel([&] {
    sim::kernel::QueueSystemWork(DelayedWorkQueue, [&] {
      irql = KeGetCurrentIrql();
      otherThread = KeGetCurrentThread() != me;
      KeSetEvent(&done, 0, FALSE);
    });
  });
  EXPECT_EQ(WaitMs(&done, 10000), STATUS_SUCCESS);
  sim::kernel::DrainSystemWork();
  EXPECT_EQ(irql, PASSIVE_LEVEL);
  EXPECT_TRUE(otherThread);
}

TEST_F(WorkItems, DrainWaitsForWorkQueuedByWork) {
  std::atomic<int> ran{0};
  sim::kernel::QueueSystemWork(DelayedWorkQueue, [&] {
    KeStallExecutionProcessor(20000);
    sim::kernel::QueueSystemWork(DelayedWorkQueue, [&] { ran++; });
    ran++;
  });
  sim::kernel::DrainSystemWork();
  EXPECT_EQ(ran, 2);
}

TEST_F(WorkItems, ItemsWaitingForALaterItemDoNotStarveIt) {
  KEVENT release;
  KeInitializeEvent(&release, NotificationEvent, FALSE);
  std::atomic<int> released{0};
  for (int i = 0; i < 6; i++)
    sim::kernel::QueueSystemWork(DelayedWorkQueue, [&] {
      if (WaitMs(&release, 10000) == STATUS_SUCCESS) released++;
    });
  sim::kernel::QueueSystemWork(DelayedWorkQueue, [&] { KeSetEvent(&release, 0, FALSE); });
  sim::kernel::DrainSystemWork();
  EXPECT_EQ(released, 6);
}

TEST_F(WorkItems, ReturningAtRaisedIrqlIsAVerifierFailure) {
  sim::verifier::Recorder rec;
  sim::kernel::QueueSystemWork(DelayedWorkQueue, [] {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
  });
  sim::kernel::DrainSystemWork();
  EXPECT_TRUE(rec.Has("work item routine", "IRQL 2"));
}

}  // namespace
