// IRPs built by the I/O manager for drivers: the buffers of each transfer
// method, the copy-back of buffered output at completion, the status block
// and event, and IoReuseIrp.
#include <gtest/gtest.h>

#include <thread>

#include "test_driver.h"

using namespace iotest;

namespace {

constexpr ULONG kBufferedCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kOutDirectCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
constexpr ULONG kNeitherCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_NEITHER, FILE_ANY_ACCESS);

class BuildTest : public ::testing::Test {
 protected:
  NTSTATUS Send(PIRP irp) {
    NTSTATUS st = IoCallDriver(dev, irp);
    if (st == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return st;
  }
  void SetUp() override { KeInitializeEvent(&event, NotificationEvent, FALSE); }

  TestDriver driver{u"buildtest"};
  PDEVICE_OBJECT dev = driver.CreateDevice("dev");
  KEVENT event;
  IO_STATUS_BLOCK iosb{};
};

TEST_F(BuildTest, BufferedDeviceControlCopiesOnlyTheReportedBytesBack) {
  Dev(dev)->handlers[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(sp->Parameters.DeviceIoControl.IoControlCode, kBufferedCode);
    EXPECT_EQ(sp->Parameters.DeviceIoControl.InputBufferLength, 4u);
    EXPECT_EQ(sp->Parameters.DeviceIoControl.OutputBufferLength, 16u);
    auto* buf = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    EXPECT_EQ(memcmp(buf, "\x01\x02\x03\x04", 4), 0);
    memset(buf, 0x5A, 16);
    return Complete(irp, STATUS_SUCCESS, 6);
  };
  UCHAR in[4] = {1, 2, 3, 4};
  UCHAR out[16];
  memset(out, 0xEE, sizeof out);
  PIRP irp = IoBuildDeviceIoControlRequest(kBufferedCode, dev, in, sizeof in, out, sizeof out, FALSE, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_DEVICE_CONTROL);
  EXPECT_EQ(Send(irp), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 6u);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  for (int i = 0; i < 16; i++) EXPECT_EQ(out[i], i < 6 ? 0x5A : 0xEE) << i;
}

TEST_F(BuildTest, PendingRequestFillsStatusBlockAndEventWhenCompletedElsewhere) {
  PIRP held = nullptr;
  Dev(dev)->handlers[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    // Internal requests carry their argument in Others.Argument1 (a URB, say).
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1, reinterpret_cast<PVOID>(0x1234));
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  };
  PIRP irp = IoBuildDeviceIoControlRequest(0x220003, dev, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = reinterpret_cast<PVOID>(0x1234);
  EXPECT_EQ(IoCallDriver(dev, irp), STATUS_PENDING);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
  std::thread([&] { Complete(held, STATUS_DEVICE_NOT_CONNECTED); }).join();
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(iosb.Status, STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(BuildTest, DirectAndNeitherMethodsHandTheCallersBuffersToTheDriver) {
  UCHAR in[8] = {9, 8, 7, 6, 5, 4, 3, 2};
  UCHAR out[32] = {};
  Dev(dev)->handlers[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->Parameters.DeviceIoControl.IoControlCode == kOutDirectCode) {
      EXPECT_EQ(memcmp(irp->AssociatedIrp.SystemBuffer, in, 8), 0);  // input stays buffered
      EXPECT_NE(irp->MdlAddress, nullptr);
      EXPECT_EQ(MmGetMdlByteCount(irp->MdlAddress), sizeof out);
      auto* p = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
      EXPECT_EQ(p, out);
      p[0] = 0x77;
      return Complete(irp, STATUS_SUCCESS, 1);
    }
    EXPECT_EQ(sp->Parameters.DeviceIoControl.Type3InputBuffer, in);
    EXPECT_EQ(irp->UserBuffer, out);
    EXPECT_EQ(irp->MdlAddress, nullptr);
    return Complete(irp, STATUS_SUCCESS);
  };
  EXPECT_EQ(Send(IoBuildDeviceIoControlRequest(kOutDirectCode, dev, in, 8, out, sizeof out, FALSE, &event, &iosb)),
            STATUS_SUCCESS);
  EXPECT_EQ(out[0], 0x77);
  KeClearEvent(&event);
  EXPECT_EQ(Send(IoBuildDeviceIoControlRequest(kNeitherCode, dev, in, 8, out, sizeof out, FALSE, &event, &iosb)),
            STATUS_SUCCESS);
}

TEST_F(BuildTest, SynchronousFsdReadFollowsTheDeviceIoMethod) {
  UCHAR data[10] = {};
  Dev(dev)->handlers[IRP_MJ_READ] = [](PDEVICE_OBJECT d, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(sp->Parameters.Read.Length, 10u);
    EXPECT_EQ(sp->Parameters.Read.ByteOffset.QuadPart, 512);
    auto* p = (d->Flags & DO_BUFFERED_IO)
                  ? static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer)
                  : static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
    memset(p, (d->Flags & DO_BUFFERED_IO) ? 0xB0 : 0xD0, 10);
    return Complete(irp, STATUS_SUCCESS, 10);
  };
  LARGE_INTEGER offset;
  offset.QuadPart = 512;
  for (ULONG method : {DO_BUFFERED_IO, DO_DIRECT_IO}) {
    dev->Flags = (dev->Flags & ~(DO_BUFFERED_IO | DO_DIRECT_IO)) | method;
    KeClearEvent(&event);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, dev, data, sizeof data, &offset, &event, &iosb);
    EXPECT_EQ((irp->MdlAddress != nullptr), method == DO_DIRECT_IO);
    EXPECT_EQ(Send(irp), STATUS_SUCCESS);
    EXPECT_EQ(data[9], method == DO_BUFFERED_IO ? 0xB0 : 0xD0);
  }
}

TEST_F(BuildTest, ReusedIrpStartsOverWithTheGivenStatus) {
  int calls = 0;
  Dev(dev)->handlers[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    calls++;
    EXPECT_EQ(irp->IoStatus.Information, 0u);  // nothing left from the last use
    EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
    return Complete(irp, STATUS_SUCCESS, static_cast<ULONG_PTR>(calls));
  };
  PIRP irp = IoAllocateIrp(dev->StackSize, FALSE);
  auto stop = [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; };
  for (int round = 1; round <= 3; round++) {
    IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, stop, nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(dev, irp), STATUS_SUCCESS);
    EXPECT_EQ(irp->IoStatus.Information, static_cast<ULONG_PTR>(round));
  }
  IoFreeIrp(irp);
}

}  // namespace
