// Cancellation: cancel routines run with the cancel spin lock held at
// DISPATCH_LEVEL, IoCancelIrp's result, and the cancel flag for a driver that
// has not set its routine yet.
#include <gtest/gtest.h>

#include "test_driver.h"

using namespace iotest;

namespace {

struct Queue {
  PIRP irp = nullptr;
  KIRQL irqlInRoutine = 0xFF;
  bool routineSawCancel = false;
  bool routineCleared = false;
};
Queue* g_queue = nullptr;

void CancelRoutine(PDEVICE_OBJECT, PIRP irp) {
  g_queue->irqlInRoutine = KeGetCurrentIrql();
  g_queue->routineSawCancel = irp->Cancel;
  g_queue->routineCleared = irp->CancelRoutine == nullptr;
  g_queue->irp = nullptr;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  Complete(irp, STATUS_CANCELLED);
}

// Queues the IRP cancellably, the documented way: set the routine, then
// check whether the IRP was cancelled meanwhile.
NTSTATUS QueueIrp(PDEVICE_OBJECT, PIRP irp) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  IoSetCancelRoutine(irp, CancelRoutine);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
    IoReleaseCancelSpinLock(irql);
    return Complete(irp, STATUS_CANCELLED);
  }
  IoMarkIrpPending(irp);
  g_queue->irp = irp;
  IoReleaseCancelSpinLock(irql);
  return STATUS_PENDING;
}

class CancelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_queue = &queue;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    Dev(dev)->handlers[IRP_MJ_READ] = QueueIrp;
  }
  void TearDown() override { g_queue = nullptr; }
  PIRP BuildRead() {
    return IoBuildSynchronousFsdRequest(IRP_MJ_READ, dev, buffer, sizeof buffer, nullptr, &event, &iosb);
  }

  Queue queue;
  TestDriver driver{u"canceltest"};
  PDEVICE_OBJECT dev = driver.CreateDevice("dev");
  KEVENT event;
  IO_STATUS_BLOCK iosb{};
  UCHAR buffer[4];
};

TEST_F(CancelTest, CancelRoutineRunsUnderTheCancelLockAndCompletesTheIrp) {
  PIRP irp = BuildRead();
  bool ownerRoutineRan = false;
  IoSetCompletionRoutine(
      irp,
      [](PDEVICE_OBJECT, PIRP irp, PVOID ran) -> NTSTATUS {
        *static_cast<bool*>(ran) = irp->Cancel && irp->IoStatus.Status == STATUS_CANCELLED;
        return STATUS_SUCCESS;
      },
      &ownerRoutineRan, FALSE, FALSE, TRUE);
  EXPECT_EQ(IoCallDriver(dev, irp), STATUS_PENDING);
  EXPECT_TRUE(IoCancelIrp(irp));
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
  EXPECT_EQ(queue.irqlInRoutine, DISPATCH_LEVEL);
  EXPECT_TRUE(queue.routineSawCancel);
  EXPECT_TRUE(queue.routineCleared);
  EXPECT_TRUE(ownerRoutineRan);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(CancelTest, CancelWithoutRoutineOnlyFlagsTheIrp) {
  PIRP irp = BuildRead();
  PIRP held = nullptr;
  Dev(dev)->handlers[IRP_MJ_READ] = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;  // not cancellable
    return STATUS_PENDING;
  };
  EXPECT_EQ(IoCallDriver(dev, irp), STATUS_PENDING);
  EXPECT_FALSE(IoCancelIrp(irp));
  EXPECT_TRUE(held->Cancel);
  Complete(held, STATUS_SUCCESS);
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
}

TEST_F(CancelTest, IrpCancelledBeforeItIsQueuedIsCompletedAtOnce) {
  // Cancel before the driver sees it (a request cancelled on the way down).
  PIRP irp = BuildRead();
  Dev(dev)->handlers[IRP_MJ_READ] = [&](PDEVICE_OBJECT d, PIRP irp) {
    EXPECT_FALSE(IoCancelIrp(irp));
    return QueueIrp(d, irp);
  };
  EXPECT_EQ(IoCallDriver(dev, irp), STATUS_CANCELLED);
  EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
  EXPECT_EQ(queue.irp, nullptr);
}

}  // namespace
