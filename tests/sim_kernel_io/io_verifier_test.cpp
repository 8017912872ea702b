// Each I/O verifier check fires on a purpose-made misuse, and the offending
// call then leaves things as they were.
#include <gtest/gtest.h>

#include "sim/kernel/core/pool.h"
#include "sim/kernel/core/verifier.h"
#include "sim/kernel/io/driver_loader.h"
#include "test_driver.h"

using namespace iotest;
using sim::verifier::Recorder;

namespace {

class VerifierTest : public ::testing::Test {
 protected:
  void SetUp() override { KeInitializeEvent(&event, NotificationEvent, FALSE); }
  PIRP BuildIoctl(ULONG outLength = 0) {
    return IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS), dev,
                                         nullptr, 0, outLength ? out : nullptr, outLength, FALSE, &event, &iosb);
  }
  Recorder recorder;
  TestDriver driver{u"verifiertest"};
  PDEVICE_OBJECT dev = driver.CreateDevice("dev");
  KEVENT event;
  IO_STATUS_BLOCK iosb{};
  UCHAR out[8] = {};
};

TEST_F(VerifierTest, CompletingAnIrpTwice) {
  Dev(dev)->handlers[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
    Complete(irp, STATUS_SUCCESS);
    return Complete(irp, STATUS_SUCCESS);
  };
  IoCallDriver(dev, BuildIoctl());
  EXPECT_TRUE(recorder.Has("IoCompleteRequest", "completed twice"));
  EXPECT_EQ(recorder.Count(), 1u);
}

TEST_F(VerifierTest, PendingReturnedWithoutMarkingAndTheReverse) {
  PIRP held = nullptr;
  Dev(dev)->handlers[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    held = irp;
    return STATUS_PENDING;
  };
  IoCallDriver(dev, BuildIoctl());
  Complete(held, STATUS_SUCCESS);
  EXPECT_TRUE(recorder.Has("IoCallDriver", "without IoMarkIrpPending"));

  recorder.Clear();
  Dev(dev)->handlers[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    return Complete(irp, STATUS_SUCCESS);
  };
  KeClearEvent(&event);
  IoCallDriver(dev, BuildIoctl());
  EXPECT_TRUE(recorder.Has("IoCallDriver", "did not return STATUS_PENDING"));
}

TEST_F(VerifierTest, CallingDownWithoutAStackLocationLeft) {
  PDEVICE_OBJECT other = driver.CreateDevice("other");
  Dev(dev)->handlers[IRP_MJ_DEVICE_CONTROL] = [other](PDEVICE_OBJECT, PIRP irp) {
    EXPECT_EQ(IoCallDriver(other, irp), STATUS_INVALID_PARAMETER);  // the IRP has one location only
    return Complete(irp, STATUS_UNSUCCESSFUL);
  };
  IoCallDriver(dev, BuildIoctl());
  EXPECT_TRUE(recorder.Has("IoCallDriver", "no stack location left"));
  EXPECT_EQ(iosb.Status, STATUS_UNSUCCESSFUL);
}

TEST_F(VerifierTest, AllocatedIrpCompletedToTheTopAndFreedInFlight) {
  PIRP held = nullptr;
  Dev(dev)->handlers[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  };
  PIRP irp = IoAllocateIrp(dev->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  IoCallDriver(dev, irp);
  IoFreeIrp(irp);
  EXPECT_TRUE(recorder.Has("IoFreeIrp", "still in flight"));
  Complete(held, STATUS_SUCCESS);  // no completion routine takes it back
  EXPECT_TRUE(recorder.Has("IoCompleteRequest", "no owner"));
  EXPECT_EQ(recorder.Count(), 2u);
  IoFreeIrp(irp);  // now it is no longer in flight
  EXPECT_EQ(recorder.Count(), 2u);
}

TEST_F(VerifierTest, CompletingAboveDispatchLevel) {
  PIRP held = nullptr;
  Dev(dev)->handlers[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  };
  IoCallDriver(dev, BuildIoctl());
  KIRQL old;
  KeRaiseIrql(CLOCK_LEVEL, &old);
  Complete(held, STATUS_SUCCESS);
  KeLowerIrql(old);
  EXPECT_TRUE(recorder.Has("IoCompleteRequest"));
  EXPECT_EQ(KeReadStateEvent(&event), 0);  // not completed
  Complete(held, STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
}

TEST_F(VerifierTest, CompletionRoutineThatFreesTheIrpMustStopCompletion) {
  Dev(dev)->handlers[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); };
  PIRP irp = IoAllocateIrp(dev->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  IoSetCompletionRoutine(
      irp,
      [](PDEVICE_OBJECT, PIRP irp, PVOID) -> NTSTATUS {
        IoFreeIrp(irp);
        return STATUS_SUCCESS;
      },
      nullptr, TRUE, TRUE, TRUE);
  IoCallDriver(dev, irp);
  EXPECT_TRUE(recorder.Has("IoCompleteRequest", "STATUS_MORE_PROCESSING_REQUIRED"));
}

TEST_F(VerifierTest, CancelRoutineThatKeepsTheCancelLock) {
  static PIRP s_held;
  Dev(dev)->handlers[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    s_held = irp;
    IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
    return STATUS_PENDING;
  };
  PIRP irp = BuildIoctl();
  IoCallDriver(dev, irp);
  EXPECT_TRUE(IoCancelIrp(irp));
  EXPECT_TRUE(recorder.Has("IoCancelIrp", "without releasing the cancel spin lock"));
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  Complete(s_held, STATUS_CANCELLED);
}

TEST_F(VerifierTest, CompletingWithTheCancelRoutineStillSet) {
  Dev(dev)->handlers[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
    IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
    return Complete(irp, STATUS_SUCCESS);
  };
  IoCallDriver(dev, BuildIoctl());
  EXPECT_TRUE(recorder.Has("IoCompleteRequest", "cancel routine"));
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
}

TEST_F(VerifierTest, BufferedInformationBeyondTheOutputBufferIsCutOff) {
  Dev(dev)->handlers[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
    memset(irp->AssociatedIrp.SystemBuffer, 0x11, 4);
    return Complete(irp, STATUS_SUCCESS, 4096);
  };
  IoCallDriver(dev, BuildIoctl(4));
  EXPECT_TRUE(recorder.Has("IoCompleteRequest", "exceeds the output buffer length"));
  EXPECT_EQ(out[3], 0x11);
  EXPECT_EQ(out[4], 0);
}

TEST_F(VerifierTest, BuildingASynchronousRequestAtDispatchLevel) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(BuildIoctl(), nullptr);
  KeLowerIrql(old);
  EXPECT_TRUE(recorder.Has("IoBuildDeviceIoControlRequest"));
}

TEST(UnloadLeakTest, UnloadReportsWhatTheDriverLeftBehind) {
  Recorder recorder;
  PIRP irp;
  PMDL mdl;
  PIO_WORKITEM item;
  PVOID pool;
  PDEVICE_OBJECT dev;
  static UCHAR buffer[64];
  {
    TestDriver driver{u"leaky"};
    driver.keepDevicesAtUnload = true;
    dev = driver.CreateDevice("dev");
    // Allocations made while the driver's code runs are the driver's.
    Dev(dev)->handlers[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT d, PIRP request) {
      irp = IoAllocateIrp(1, FALSE);
      mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
      item = IoAllocateWorkItem(d);
      pool = ExAllocatePoolWithTag(NonPagedPoolNx, 16, sim::pool::MakeTag("Leak"));
      return Complete(request, STATUS_SUCCESS);
    };
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    IoCallDriver(dev, IoBuildDeviceIoControlRequest(0x222000, dev, nullptr, 0, nullptr, 0, FALSE, &event, &iosb));
  }
  EXPECT_TRUE(recorder.Has("DriverUnload", "device objects"));
  EXPECT_TRUE(recorder.Has("DriverUnload", "IRP"));
  EXPECT_TRUE(recorder.Has("DriverUnload", "MDL"));
  EXPECT_TRUE(recorder.Has("DriverUnload", "work item"));
  EXPECT_GE(recorder.Count(), 5u);  // the pool block too
  IoFreeIrp(irp);
  IoFreeMdl(mdl);
  IoFreeWorkItem(item);
  ExFreePoolWithTag(pool, sim::pool::MakeTag("Leak"));
  IoDeleteDevice(dev);  // the device kept its driver object alive
}

}  // namespace
