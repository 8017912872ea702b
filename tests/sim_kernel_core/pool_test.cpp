// Pool tracking, fault injection and lookaside lists.
#include <gtest/gtest.h>

#include <functional>

#include "kernel_test_util.h"
#include "testbed_test.h"
#include "sim/kernel/core/pool.h"
#include "sim/kernel/core/verifier.h"

namespace {

using sim::clock::Thread;

class Pool : public trox::test::TestbedTest {};
class Lookaside : public trox::test::TestbedTest {};

using sim::pool::MakeTag;

constexpr ULONG kTag = MakeTag("Test");

TEST_F(Pool, AllocationsAreTrackedByTagSizeAndType) {
  size_t before = sim::pool::OutstandingCount();
  void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 24, kTag);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(sim::pool::OutstandingCount(), before + 1);
  auto all = sim::pool::Outstanding();
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all.back().address, p);
  EXPECT_EQ(all.back().tag, kTag);
  EXPECT_EQ(all.back().size, 24u);
  EXPECT_EQ(all.back().type, NonPagedPoolNx);
  ExFreePoolWithTag(p, kTag);
  EXPECT_EQ(sim::pool::OutstandingCount(), before);
}

TEST_F(Pool, Pool2ZeroesUnlessUninitialisedIsAsked) {
  auto* z = static_cast<unsigned char*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, 64, kTag));
  auto* u = static_cast<unsigned char*>(ExAllocatePool2(POOL_FLAG_NON_PAGED | POOL_FLAG_UNINITIALIZED, 64, kTag));
  ASSERT_TRUE(z && u);
  bool allZero = true, anyNonZero = false;
  for (int i = 0; i < 64; i++) {
    allZero &= z[i] == 0;
    anyNonZero |= u[i] != 0;
  }
  EXPECT_TRUE(allZero);
  EXPECT_TRUE(anyNonZero) << "uninitialised pool must not look zeroed";
  ExFreePool(z);
  ExFreePool(u);
}

TEST_F(Pool, WrongTagDoubleFreeAndUnknownPointerAreVerifierFailures) {
  sim::verifier::Recorder rec;
  void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
  ExFreePoolWithTag(p, MakeTag("Othr"));
  EXPECT_TRUE(rec.Has("ExFreePoolWithTag", "'Test'"));
  EXPECT_TRUE(rec.Has("ExFreePoolWithTag", "'Othr'"));
  EXPECT_TRUE(sim::pool::IsPoolBlock(p)) << "a refused free leaves the block allocated";
  ExFreePoolWithTag(p, kTag);
  ExFreePoolWithTag(p, kTag);
  EXPECT_TRUE(rec.Has("ExFreePoolWithTag", "freed twice"));
  static int notPool;
  ExFreePool(&notPool);
  EXPECT_TRUE(rec.Has("ExFreePool", "not an allocated pool block"));
}

// Freeing a block whose kernel object is still in use is refused (the block
// stays allocated) and names the object; once the object is done with, the
// free goes through.
TEST_F(Pool, FreeingABlockTheKernelStillUsesIsAVerifierFailure) {
  struct Block {
    KTIMER timer;
    KDPC dpc;
    KEVENT event;
    NPAGED_LOOKASIDE_LIST lookaside;
  };
  struct Case {
    const char* what;
    std::function<void(Block*)> use, release;
  };
  const Case cases[] = {
      {"a timer that is still set",
       [](Block* b) {
         KeInitializeTimer(&b->timer);
         LARGE_INTEGER due = RelativeMs(1000);
         KeSetTimer(&b->timer, due, nullptr);
       },
       [](Block* b) { KeCancelTimer(&b->timer); }},
      {"a DPC that is still queued",
       [this](Block* b) {
         KeInitializeDpc(
             &b->dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
         // Neither processor gets to it before the free.
         Bed().StallProcessor(0, 1000 * kMs);
         Bed().StallProcessor(1, 1000 * kMs);
         KeInsertQueueDpc(&b->dpc, nullptr, nullptr);
       },
       [](Block* b) { KeRemoveQueueDpc(&b->dpc); }},
      {"a lookaside list that was not deleted",
       [](Block* b) { ExInitializeNPagedLookasideList(&b->lookaside, nullptr, nullptr, 0, 64, kTag, 0); },
       [](Block* b) { ExDeleteNPagedLookasideList(&b->lookaside); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim::verifier::Recorder rec;
    auto* block = static_cast<Block*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(Block), kTag));
    ASSERT_NE(block, nullptr);
    c.use(block);
    ExFreePoolWithTag(block, kTag);
    EXPECT_TRUE(rec.Has("ExFreePoolWithTag", c.what));
    EXPECT_TRUE(sim::pool::IsPoolBlock(block));
    c.release(block);
    ExFreePoolWithTag(block, kTag);
    EXPECT_EQ(rec.Count(), 1u);
  }
}

TEST_F(Pool, FreeingAnEventAThreadWaitsOnIsAVerifierFailure) {
  auto* event = static_cast<KEVENT*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KEVENT), kTag));
  KeInitializeEvent(event, NotificationEvent, FALSE);
  Thread waiter("waiter", [event] { KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr); });
  Bed().RunFor(kMs);
  sim::verifier::Recorder rec;
  ExFreePoolWithTag(event, kTag);
  EXPECT_TRUE(rec.Has("ExFreePoolWithTag", "an object that a thread waits on"));
  KeSetEvent(event, IO_NO_INCREMENT, FALSE);
  waiter.Join();
  ExFreePoolWithTag(event, kTag);
}

TEST_F(Pool, PagedPoolAboveApcLevelAndZeroSizeAreVerifierFailures) {
  sim::verifier::Recorder rec;
  AtDispatchLevel([&] {
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 16, kTag), nullptr);
    void* np = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag);
    EXPECT_NE(np, nullptr);
    ExFreePoolWithTag(np, kTag);
  });
  EXPECT_EQ(rec.Count(), 1u);
  EXPECT_TRUE(rec.Has("ExAllocatePoolWithTag", "paged pool"));
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 0, kTag), nullptr);
  EXPECT_TRUE(rec.Has("ExAllocatePoolWithTag", "zero-byte"));
}

TEST_F(Pool, LeakCheckListsDriverAllocationsButNotTheStandIns) {
  sim::verifier::Recorder rec;
  void* standIn;
  {
    sim::pool::StandInScope scope;
    standIn = ExAllocatePoolWithTag(NonPagedPoolNx, 10, MakeTag("SimX"));
  }
  EXPECT_EQ(sim::pool::CheckNoLeaks("DriverUnload"), 0u);
  void* leak = ExAllocatePoolWithTag(PagedPool, 77, MakeTag("Leak"));
  EXPECT_EQ(sim::pool::CheckNoLeaks("DriverUnload"), 1u);
  EXPECT_TRUE(rec.Has("DriverUnload", "'Leak'"));
  EXPECT_FALSE(rec.Has("DriverUnload", "'SimX'"));
  ExFreePool(leak);
  ExFreePool(standIn);
}

TEST_F(Pool, FaultInjectionFailsCountedAndTaggedAllocations) {
  sim::pool::FailNextAllocations(1, MakeTag("Fail"));
  void* other = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
  EXPECT_NE(other, nullptr) << "another tag is not affected";
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, MakeTag("Fail")), nullptr);
  void* again = ExAllocatePoolWithTag(NonPagedPoolNx, 8, MakeTag("Fail"));
  EXPECT_NE(again, nullptr);

  sim::pool::FailAllocationsAfter(2);
  void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
  void* b = ExAllocatePool2(POOL_FLAG_NON_PAGED, 8, kTag);
  EXPECT_TRUE(a && b);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag), nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag), nullptr);
  {
    sim::pool::StandInScope scope;
    void* s = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
    EXPECT_NE(s, nullptr) << "the stand-ins' own allocations are exempt";
    ExFreePool(s);
  }
  sim::pool::ResetFaultInjection();
  void* c = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
  EXPECT_NE(c, nullptr);
  for (void* p : {other, again, a, b, c}) ExFreePool(p);
}

TEST_F(Lookaside, KeepsFreedEntriesUpToDepthAndFreesTheRest) {
  NPAGED_LOOKASIDE_LIST list;
  ExInitializeNPagedLookasideList(&list, nullptr, nullptr, POOL_NX_ALLOCATION, 48, kTag, 2);
  size_t before = sim::pool::OutstandingCount();
  void* e[4];
  for (auto& p : e) p = ExAllocateFromNPagedLookasideList(&list);
  EXPECT_EQ(sim::pool::OutstandingCount(), before + 4);
  EXPECT_EQ(sim::pool::Outstanding().back().tag, kTag);
  EXPECT_EQ(sim::pool::Outstanding().back().size, 48u);
  for (auto& p : e) ExFreeToNPagedLookasideList(&list, p);
  EXPECT_EQ(sim::pool::OutstandingCount(), before + 2) << "only Depth entries stay cached";
  EXPECT_EQ(list.L.FreeMisses, 2u);
  void* again = ExAllocateFromNPagedLookasideList(&list);
  EXPECT_TRUE(again == e[2] || again == e[3] || again == e[0] || again == e[1]);
  EXPECT_EQ(sim::pool::OutstandingCount(), before + 2) << "served from the cache";
  ExFreeToNPagedLookasideList(&list, again);
  ExDeleteNPagedLookasideList(&list);
  EXPECT_EQ(sim::pool::OutstandingCount(), before);
}

int gCustomAllocs = 0, gCustomFrees = 0;
PVOID CustomAllocate(POOL_TYPE type, SIZE_T size, ULONG tag) {
  gCustomAllocs++;
  return ExAllocatePoolWithTag(type, size, tag);
}
void CustomFree(PVOID p) {
  gCustomFrees++;
  ExFreePoolWithTag(p, MakeTag("Cust"));
}

TEST_F(Lookaside, CustomRoutinesAreUsedWithTheListsTagAndSize) {
  gCustomAllocs = gCustomFrees = 0;
  NPAGED_LOOKASIDE_LIST list;
  ExInitializeNPagedLookasideList(&list, CustomAllocate, CustomFree, 0, 16, MakeTag("Cust"), 1);
  void* a = ExAllocateFromNPagedLookasideList(&list);
  void* b = ExAllocateFromNPagedLookasideList(&list);
  EXPECT_EQ(gCustomAllocs, 2);
  ExFreeToNPagedLookasideList(&list, a);
  ExFreeToNPagedLookasideList(&list, b);
  EXPECT_EQ(gCustomFrees, 1);
  ExDeleteNPagedLookasideList(&list);
  EXPECT_EQ(gCustomFrees, 2);
}

TEST_F(Lookaside, FreeingAnEntryTwiceIsAVerifierFailure) {
  sim::verifier::Recorder rec;
  NPAGED_LOOKASIDE_LIST list;
  ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 32, kTag, 4);
  void* e = ExAllocateFromNPagedLookasideList(&list);
  ExFreeToNPagedLookasideList(&list, e);
  ExFreeToNPagedLookasideList(&list, e);
  EXPECT_TRUE(rec.Has("ExFreeToNPagedLookasideList", "freed twice"));
  ExDeleteNPagedLookasideList(&list);
}

}  // namespace
