// MDLs through their states (built, locked, mapped) and the pages of
// MmAllocatePagesForMdlEx; I/O work items at PASSIVE_LEVEL holding their
// device.
#include <gtest/gtest.h>

#include <thread>

#include "sim/kernel/core/handles.h"
#include "sim/kernel/core/pool.h"
#include "sim/kernel/core/verifier.h"
#include "test_driver.h"
#include "testbed_test.h"

using namespace iotest;

namespace {

constexpr ULONG kMdlTestTag = sim::pool::MakeTag("MdlT");

TEST(MdlTest, NonPagedPoolMdlIsMappedWithoutAMapping) {
  auto* buffer = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, 3 * PAGE_SIZE, kMdlTestTag));
  PVOID va = buffer + 100;
  PMDL mdl = IoAllocateMdl(va, 2 * PAGE_SIZE, FALSE, FALSE, nullptr);
  ASSERT_NE(mdl, nullptr);
  EXPECT_EQ(MmGetMdlVirtualAddress(mdl), va);
  EXPECT_EQ(MmGetMdlByteCount(mdl), 2u * PAGE_SIZE);
  EXPECT_EQ(MmGetMdlByteOffset(mdl), BYTE_OFFSET(va));
  MmBuildMdlForNonPagedPool(mdl);
  EXPECT_TRUE(mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority | MdlMappingNoExecute), va);
  EXPECT_FALSE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
  PPFN_NUMBER pfn = MmGetMdlPfnArray(mdl);
  EXPECT_EQ(pfn[1], pfn[0] + 1);
  IoFreeMdl(mdl);
  ExFreePoolWithTag(buffer, kMdlTestTag);
}

TEST(MdlTest, NonPagedPoolMdlOverOtherMemoryIsAVerifierFailure) {
  static UCHAR image[64];
  auto* paged = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, 64, kMdlTestTag));
  auto* nonPaged = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, 64, kMdlTestTag));
  struct {
    const char* what;
    PVOID va;
    ULONG length;
  } const cases[] = {{"image data", image, sizeof image},
                     {"paged pool", paged, 64},
                     {"past the end of a nonpaged block", nonPaged + 32, 64}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sim::verifier::Recorder recorder;
    PMDL mdl = IoAllocateMdl(c.va, c.length, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    EXPECT_TRUE(recorder.Has("MmBuildMdlForNonPagedPool", "not in one nonpaged pool block"));
    EXPECT_FALSE(mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL);
    IoFreeMdl(mdl);
  }
  ExFreePoolWithTag(paged, kMdlTestTag);
  ExFreePoolWithTag(nonPaged, kMdlTestTag);
}

TEST(MdlTest, PagesForMdlMayComeShortOfWhatWasAsked) {
  sim::testbed::Testbed bed(trox::test::BedOptions());
  bed.LimitPagesForMdl(2 * PAGE_SIZE);
  PHYSICAL_ADDRESS low{}, high{}, skip{};
  high.QuadPart = -1;
  PMDL mdl = MmAllocatePagesForMdl(low, high, skip, 5 * PAGE_SIZE);
  ASSERT_NE(mdl, nullptr);
  EXPECT_EQ(MmGetMdlByteCount(mdl), 2u * PAGE_SIZE) << "the caller learns the shortfall from the byte count";
  MmFreePagesFromMdl(mdl);
  ExFreePool(mdl);
}

TEST(MdlTest, LockedPagesMapAndUnlockingReleasesTheMapping) {
  static UCHAR buffer[256];
  PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
  {
    sim::verifier::Recorder recorder;
    EXPECT_EQ(MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority), nullptr);
    EXPECT_TRUE(recorder.Has("MmMapLockedPagesSpecifyCache", "not locked"));
  }
  MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
  auto* p = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
  EXPECT_EQ(p, buffer);
  EXPECT_TRUE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), p);  // mapped once
  {
    sim::verifier::Recorder recorder;
    IoFreeMdl(mdl);
    EXPECT_TRUE(recorder.Has("IoFreeMdl", "locked"));
  }
  MmUnlockPages(mdl);
  EXPECT_EQ(mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_PAGES_LOCKED), 0);
  IoFreeMdl(mdl);
}

TEST(MdlTest, PagesForMdlAreZeroedMappedAndFreedInOrder) {
  PHYSICAL_ADDRESS low{}, high{}, skip{};
  high.QuadPart = -1;
  PMDL mdl = MmAllocatePagesForMdlEx(low, high, skip, 3 * PAGE_SIZE + 10, MmCached, MM_ALLOCATE_FULLY_REQUIRED);
  ASSERT_NE(mdl, nullptr);
  EXPECT_EQ(MmGetMdlByteCount(mdl), 3u * PAGE_SIZE + 10);
  auto* p = static_cast<UCHAR*>(MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE,
                                                             NormalPagePriority | MdlMappingNoExecute));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p[3 * PAGE_SIZE + 9], 0);
  p[0] = 1;
  {
    sim::verifier::Recorder recorder;
    MmFreePagesFromMdl(mdl);
    EXPECT_TRUE(recorder.Has("MmFreePagesFromMdl", "still mapped"));
  }
  MmUnmapLockedPages(p, mdl);
  MmFreePagesFromMdl(mdl);
  ExFreePool(mdl);  // the descriptor is the caller's to free
}

class WorkItemTest : public ::testing::Test {
 protected:
  TestDriver driver{u"worktest"};
  PDEVICE_OBJECT dev = driver.CreateDevice("dev");
};

struct WorkContext {
  KEVENT release;  // the routine waits for it
  KEVENT done;
  KIRQL irql = 0xFF;
  std::thread::id thread;
  PDEVICE_OBJECT device = nullptr;
  PIO_WORKITEM item = nullptr;
};

TEST_F(WorkItemTest, RoutineRunsAtPassiveOnAWorkerHoldingTheDevice) {
  WorkContext ctx;
  KeInitializeEvent(&ctx.release, NotificationEvent, FALSE);
  KeInitializeEvent(&ctx.done, NotificationEvent, FALSE);
  ctx.item = IoAllocateWorkItem(dev);
  LONG_PTR before = sim::kernel::ObjectReferenceCount(dev);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);  // queued from a DPC, say
  IoQueueWorkItem(
      ctx.item,
      [](PDEVICE_OBJECT d, PVOID c) {
        auto* w = static_cast<WorkContext*>(c);
        w->irql = KeGetCurrentIrql();
        w->thread = std::this_thread::get_id();
        w->device = d;
        KeWaitForSingleObject(&w->release, Executive, KernelMode, FALSE, nullptr);
        IoFreeWorkItem(w->item);  // allowed from the routine itself
        KeSetEvent(&w->done, IO_NO_INCREMENT, FALSE);
      },
      DelayedWorkQueue, &ctx);
  KeLowerIrql(old);
  EXPECT_EQ(sim::kernel::ObjectReferenceCount(dev), before + 1);
  KeSetEvent(&ctx.release, IO_NO_INCREMENT, FALSE);
  LARGE_INTEGER timeout;
  timeout.QuadPart = -50'000'000;
  ASSERT_EQ(KeWaitForSingleObject(&ctx.done, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  EXPECT_EQ(ctx.irql, PASSIVE_LEVEL);
  EXPECT_NE(ctx.thread, std::this_thread::get_id());
  EXPECT_EQ(ctx.device, dev);
}

}  // namespace

namespace {

TEST(RemoveLockTest, RemovalWaitsForHoldersAndRefusesNewOnes) {
  // Simulated time: "still waiting after 20 ms" cannot be a loaded host's doing.
  sim::testbed::Testbed bed(trox::test::BedOptions());
  static IO_REMOVE_LOCK lock;
  IoInitializeRemoveLock(&lock, 0, 0, 0);
  ASSERT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_SUCCESS);  // a request inside
  ASSERT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_SUCCESS);  // the remove IRP's own
  KEVENT removed;
  KeInitializeEvent(&removed, NotificationEvent, FALSE);
  sim::clock::Thread remover("remover", [&] {
    IoReleaseRemoveLockAndWait(&lock, nullptr);
    KeSetEvent(&removed, IO_NO_INCREMENT, FALSE);
  });
  LARGE_INTEGER shortWait;
  shortWait.QuadPart = -200'000;  // 20 ms: the remover must still be waiting
  EXPECT_EQ(KeWaitForSingleObject(&removed, Executive, KernelMode, FALSE, &shortWait), STATUS_TIMEOUT);
  EXPECT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_DELETE_PENDING);
  IoReleaseRemoveLock(&lock, nullptr);
  remover.Join();
  EXPECT_EQ(KeReadStateEvent(&removed), 1);
}

TEST(RemoveLockTest, ReleasingMoreThanAcquiredIsReported) {
  static IO_REMOVE_LOCK lock;
  IoInitializeRemoveLock(&lock, 0, 0, 0);
  sim::verifier::Recorder recorder;
  IoReleaseRemoveLock(&lock, nullptr);
  EXPECT_TRUE(recorder.Has("IoReleaseRemoveLock"));
  EXPECT_EQ(lock.Common.IoCount, 1);
}

}  // namespace
