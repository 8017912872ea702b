// Routines must hand the thread back as they got it: each check fires on a
// purpose-made misuse, names the call, and the thread is put right after it.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "sim/kernel/core/verifier.h"
#include "sim/kernel/io/user_io.h"
#include "test_driver.h"

using namespace iotest;
using sim::io::UserHandle;
using sim::verifier::Recorder;

namespace {

constexpr ULONG kIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x820, METHOD_BUFFERED, FILE_ANY_ACCESS);

class BalanceCheckTest : public ::testing::Test {
 public:
  void SetUp() override {
    KeInitializeSpinLock(&lock);
    KeInitializeMutex(&mutex, 0);
    auto& h = Dev(dev)->handlers;
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) {
      h[major] = [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); };
    }
  }
  // A device control from user mode whose dispatch routine runs `body` first.
  void UserIoctl(std::function<void()> body) {
    Dev(dev)->handlers[IRP_MJ_DEVICE_CONTROL] = [body](PDEVICE_OBJECT, PIRP irp) {
      body();
      return Complete(irp, STATUS_SUCCESS);
    };
    std::unique_ptr<UserHandle> handle;
    ASSERT_EQ(UserHandle::Open(u"\\Device\\TroxBalanceTest", GENERIC_READ, 0, &handle), STATUS_SUCCESS);
    handle->DeviceIoControl(kIoctl, nullptr, 0, nullptr, 0)->Wait();
    handle->Close();
  }

  Recorder recorder;
  TestDriver driver{u"balancetest"};
  PDEVICE_OBJECT dev = driver.CreateDevice("dev", u"\\Device\\TroxBalanceTest", DO_BUFFERED_IO);
  KSPIN_LOCK lock;
  KMUTEX mutex;
};

TEST_F(BalanceCheckTest, DispatchRoutineReturningWithASpinLockHeld) {
  UserIoctl([this] {
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
  });
  EXPECT_TRUE(recorder.Has("IoCallDriver", "returned holding 1 spin lock(s)"));
  EXPECT_TRUE(recorder.Has("IoCallDriver", "returned at IRQL 2 but was called at IRQL 0"));
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(BalanceCheckTest, CompletionRoutineReturningAtAnotherIrql) {
  PIRP irp = IoAllocateIrp(dev->StackSize + 1, FALSE);
  IoSetCompletionRoutine(
      irp,
      [](PDEVICE_OBJECT, PIRP done, PVOID) -> NTSTATUS {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        IoFreeIrp(done);
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      nullptr, TRUE, TRUE, TRUE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_CREATE;
  IoCallDriver(dev, irp);
  EXPECT_TRUE(recorder.Has("IoCompleteRequest", "returned at IRQL 2 but was called at IRQL 0"));
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(BalanceCheckTest, CallsThatNeedDispatchLevelOrBelow) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, TRUE);
  PIRP irp = IoAllocateIrp(dev->StackSize, FALSE);
  KIRQL old;
  KeRaiseIrql(CLOCK_LEVEL, &old);
  KeClearEvent(&event);
  EXPECT_EQ(IoCallDriver(dev, irp), STATUS_INVALID_DEVICE_STATE);
  KeLowerIrql(old);
  EXPECT_TRUE(recorder.Has("KeClearEvent"));
  EXPECT_TRUE(recorder.Has("IoCallDriver"));
  EXPECT_EQ(KeReadStateEvent(&event), 1) << "the refused call changed nothing";
  IoFreeIrp(irp);
}

// What a user-mode request may not leave behind on its way back, and the
// call the check names.
struct UserModeCase {
  const char* name;
  std::function<void(BalanceCheckTest&)> misuse;
  const char* call;
  const char* detail;
};

TEST_F(BalanceCheckTest, ReturnToUserMode) {
  const UserModeCase cases[] = {
      {"owning a KMUTEX",
       [](BalanceCheckTest& t) { KeWaitForSingleObject(&t.mutex, Executive, KernelMode, FALSE, nullptr); },
       "NtDeviceIoControlFile", "owning KMUTEX"},
      {"in a critical region", [](BalanceCheckTest&) { KeEnterCriticalRegion(); }, "NtDeviceIoControlFile",
       "normal kernel APCs disabled (1 critical"},
      {"a system thread with a user handle",
       [](BalanceCheckTest&) {
         HANDLE thread = nullptr;
         EXPECT_EQ(PsCreateSystemThread(
                       &thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                       [](PVOID) { PsTerminateSystemThread(STATUS_SUCCESS); }, nullptr),
                   STATUS_INVALID_PARAMETER);
       },
       "PsCreateSystemThread", "without OBJ_KERNEL_HANDLE"},
  };
  for (const UserModeCase& c : cases) {
    SCOPED_TRACE(c.name);
    recorder.Clear();
    UserIoctl([this, &c] { c.misuse(*this); });
    EXPECT_TRUE(recorder.Has(c.call, c.detail));
  }
  // The mutex is still the first case's; owning it kept APCs disabled.
  EXPECT_TRUE(KeAreApcsDisabled());
  KeReleaseMutex(&mutex, FALSE);
  EXPECT_FALSE(KeAreApcsDisabled());
}

}  // namespace
