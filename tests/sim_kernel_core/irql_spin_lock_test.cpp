// IRQL rules and spin locks.
#include <gtest/gtest.h>

#include <atomic>

#include "kernel_test_util.h"
#include "testbed_test.h"
#include "kernel_flags_check.h"
#include "sim/kernel/core/bugcheck.h"
#include "sim/kernel/core/os_version.h"
#include "sim/kernel/core/verifier.h"

namespace {

using sim::clock::Thread;

class Irql : public trox::test::TestbedTest {};
class SpinLocks : public trox::test::TestbedTest {};
class Interlocked : public trox::test::TestbedTest {};
class BugCheck : public trox::test::TestbedTest {};
class Lists : public trox::test::TestbedTest {};
class OsVersion : public trox::test::TestbedTest {};
class KernelCode : public trox::test::TestbedTest {};

TEST_F(Irql, IsPerThreadAndRaisedByRaiseAndSpinLocks) {
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  KIRQL other = 0xff;
  Thread("other", [&] { other = KeGetCurrentIrql(); }).Join();
  EXPECT_EQ(other, PASSIVE_LEVEL);
  KeLowerIrql(old);
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(Irql, RaisingToALowerOrLoweringToAHigherLevelIsAVerifierFailure) {
  sim::verifier::Recorder rec;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KIRQL ignored;
  KeRaiseIrql(APC_LEVEL, &ignored);
  EXPECT_TRUE(rec.Has("KeRaiseIrql"));
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeLowerIrql(old);
  KeLowerIrql(DISPATCH_LEVEL);
  EXPECT_TRUE(rec.Has("KeLowerIrql"));
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SpinLocks, ProvideMutualExclusionAcrossThreads) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  long counter = 0;  // deliberately not atomic
  auto work = [&] {
    for (int i = 0; i < 20000; i++) {
      KLOCK_QUEUE_HANDLE h;
      if (i & 1) {
        KeAcquireInStackQueuedSpinLock(&lock, &h);
        counter++;
        KeReleaseInStackQueuedSpinLock(&h);
      } else {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        counter++;
        KeReleaseSpinLock(&lock, old);
      }
    }
  };
  {
    Thread a("a", work), b("b", work), c("c", work);
  }
  EXPECT_EQ(counter, 60000);
}

TEST_F(SpinLocks, TryToAcquireFailsWhileAnotherThreadHoldsIt) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KEVENT held, release;
  KeInitializeEvent(&held, NotificationEvent, FALSE);
  KeInitializeEvent(&release, NotificationEvent, FALSE);
  Thread holder("holder", [&] {
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KeSetEvent(&held, 0, FALSE);
    while (KeReadStateEvent(&release) == 0) KeStallExecutionProcessor(10);
    KeReleaseSpinLock(&lock, old);
  });
  ASSERT_EQ(WaitMs(&held, 10000), STATUS_SUCCESS);
  AtDispatchLevel([&] { EXPECT_FALSE(KeTryToAcquireSpinLockAtDpcLevel(&lock)); });
  KeSetEvent(&release, 0, FALSE);
  holder.Join();
  AtDispatchLevel([&] {
    EXPECT_TRUE(KeTryToAcquireSpinLockAtDpcLevel(&lock));
    KeReleaseSpinLockFromDpcLevel(&lock);
  });
}

TEST_F(SpinLocks, MisuseIsAVerifierFailure) {
  sim::verifier::Recorder rec;
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;

  KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
  EXPECT_TRUE(rec.Has("KeReleaseSpinLock", "not held"));

  KeAcquireSpinLock(&lock, &old);
  KIRQL again;
  KeAcquireSpinLock(&lock, &again);
  EXPECT_TRUE(rec.Has("KeAcquireSpinLock", "already held"));
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);

  Thread("other", [&] {
    KIRQL o;
    KeRaiseIrql(DISPATCH_LEVEL, &o);
    KeReleaseSpinLockFromDpcLevel(&lock);
    KeLowerIrql(o);
  }).Join();
  EXPECT_TRUE(rec.Has("KeReleaseSpinLockFromDpcLevel", "held by thread"));
  EXPECT_FALSE(KeTestSpinLock(&lock)) << "still held by this thread";

  KIRQL high;
  KeRaiseIrql(HIGH_LEVEL, &high);
  KeReleaseSpinLock(&lock, old);
  EXPECT_TRUE(rec.Has("KeReleaseSpinLock", "released at IRQL 15"));
  KeLowerIrql(high);
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_TRUE(KeTestSpinLock(&lock));

  KeAcquireSpinLockAtDpcLevel(&lock);
  EXPECT_TRUE(rec.Has("KeAcquireSpinLockAtDpcLevel"));
  EXPECT_TRUE(KeTestSpinLock(&lock)) << "refused at PASSIVE_LEVEL";
}

TEST_F(Interlocked, OperationsReturnTheDocumentedValues) {
  LONG v = 5;
  EXPECT_EQ(InterlockedCompareExchange(&v, 9, 4), 5) << "returns the initial value; no exchange";
  EXPECT_EQ(v, 5);
  EXPECT_EQ(InterlockedCompareExchange(&v, 9, 5), 5);
  EXPECT_EQ(v, 9);
  EXPECT_EQ(InterlockedExchangeAdd(&v, 3), 9) << "returns the value before the addition";
  EXPECT_EQ(InterlockedIncrement(&v), 13) << "returns the value after the increment";
  EXPECT_EQ(InterlockedOr(&v, 0x10), 13);
  EXPECT_EQ(v, 0x1D);
  LONG64 w = 1LL << 40;
  EXPECT_EQ(InterlockedCompareExchange64(&w, 7, 1LL << 40), 1LL << 40);
  EXPECT_EQ(w, 7);
  PVOID p = nullptr;
  int target;
  EXPECT_EQ(InterlockedCompareExchangePointer(&p, &target, nullptr), nullptr);
  EXPECT_EQ(p, &target);
}

TEST_F(BugCheck, IsAVerifierFailureThatDoesNotReturn) {
  sim::verifier::Recorder rec;
  EXPECT_THROW(KeBugCheckEx(0xC4, 1, 2, 3, 4), sim::kernel::BugCheck);
  EXPECT_TRUE(rec.Has("KeBugCheckEx", "0x000000C4"));
}

TEST_F(Lists, RemoveEntryListDetectsCorruptedLinks) {
  LIST_ENTRY head, a, b;
  InitializeListHead(&head);
  InsertTailList(&head, &a);
  InsertTailList(&head, &b);
  EXPECT_EQ(RemoveHeadList(&head), &a);
  sim::verifier::Recorder rec;
  b.Flink = &a;  // stale link to an entry that was already removed
  RemoveEntryList(&b);
  EXPECT_TRUE(rec.Has("LIST_ENTRY"));
}

TEST_F(OsVersion, AnswersAgainstTheConfiguredVersion) {
  EXPECT_TRUE(RtlIsNtDdiVersionAvailable(NTDDI_WIN10));
  EXPECT_FALSE(RtlIsNtDdiVersionAvailable(NTDDI_WIN10_RS1));
  sim::kernel::SetOsVersion(NTDDI_WIN7);
  EXPECT_TRUE(RtlIsNtDdiVersionAvailable(NTDDI_WIN7));
  EXPECT_FALSE(RtlIsNtDdiVersionAvailable(NTDDI_WIN8));
  sim::kernel::SetOsVersion(NTDDI_WIN10);
}

TEST_F(KernelCode, CompilesWithKernelFlagsAndSeesThePagedCodeCheck) {
  EXPECT_EQ(KernelFlagsListRoundTrip(), 3);
  sim::verifier::Recorder rec;
  AtDispatchLevel([] { KernelFlagsPagedFunction(); });
  EXPECT_TRUE(rec.Has("PAGED_CODE", "KernelFlagsPagedFunction"));
}

}  // namespace
