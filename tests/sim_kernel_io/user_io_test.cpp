// User-mode requests: create with the file name, buffered and direct
// transfers, device control, cancel, and the order of cleanup and close.
#include <gtest/gtest.h>

#include "sim/kernel/io/user_io.h"
#include "test_driver.h"

using namespace iotest;
using sim::io::UserHandle;

namespace {

constexpr ULONG kBuffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x810, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kInDirect = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x811, METHOD_IN_DIRECT, FILE_ANY_ACCESS);
constexpr int64_t kSecond = 10'000'000;

class UserIoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto& h = Dev(dev)->handlers;
    h[IRP_MJ_CREATE] = [this](PDEVICE_OBJECT, PIRP irp) {
      PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
      log.Add("create " + Utf8(&sp->FileObject->FileName) + (irp->RequestorMode == UserMode ? " user" : " kernel"));
      sp->FileObject->FsContext2 = reinterpret_cast<PVOID>(0x42);
      return Complete(irp, STATUS_SUCCESS);
    };
    h[IRP_MJ_CLEANUP] = [this](PDEVICE_OBJECT, PIRP irp) {
      log.Add("cleanup");
      return Complete(irp, STATUS_SUCCESS);
    };
    h[IRP_MJ_CLOSE] = [this](PDEVICE_OBJECT, PIRP irp) {
      log.Add(IoGetCurrentIrpStackLocation(irp)->FileObject->FsContext2 == reinterpret_cast<PVOID>(0x42)
                  ? "close"
                  : "close of unknown file");
      return Complete(irp, STATUS_SUCCESS);
    };
  }
  std::unique_ptr<UserHandle> Open(const std::u16string& path) {
    std::unique_ptr<UserHandle> h;
    EXPECT_EQ(UserHandle::Open(path, GENERIC_READ | GENERIC_WRITE, 0, &h), STATUS_SUCCESS);
    return h;
  }

  EventLog log;
  TestDriver driver{u"usertest"};
  PDEVICE_OBJECT dev = driver.CreateDevice("dev", u"\\Device\\TroxUserTest", DO_BUFFERED_IO);
};

TEST_F(UserIoTest, CreateCarriesTheRemainingPathAndCloseFollowsCleanup) {
  std::u16string linkName = u"\\DosDevices\\TroxUserLink";
  std::u16string targetName = u"\\Device\\TroxUserTest";
  UNICODE_STRING link = Ustr(linkName);
  UNICODE_STRING target = Ustr(targetName);
  ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
  {
    auto a = Open(u"\\Device\\TroxUserTest");
    auto b = Open(u"\\\\.\\troxuserlink\\Sub");
    auto c = b->Duplicate();
    b->Close();
    EXPECT_EQ(log.Entries(), (std::vector<std::string>{"create  user", "create \\Sub user"}));
    c->Close();  // last handle of the second file object
    a->Close();
  }
  EXPECT_TRUE(log.WaitFor("close"));
  EXPECT_EQ(log.Entries(), (std::vector<std::string>{"create  user", "create \\Sub user", "cleanup", "close",
                                                     "cleanup", "close"}));
  std::unique_ptr<UserHandle> none;
  EXPECT_EQ(UserHandle::Open(u"\\Device\\NoSuchDevice", GENERIC_READ, 0, &none), STATUS_OBJECT_NAME_NOT_FOUND);
  IoDeleteSymbolicLink(&link);
}

TEST_F(UserIoTest, FailedCreateSendsNoClose) {
  Dev(dev)->handlers[IRP_MJ_CREATE] = [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_ACCESS_DENIED); };
  std::unique_ptr<UserHandle> h;
  EXPECT_EQ(UserHandle::Open(u"\\Device\\TroxUserTest", GENERIC_READ, 0, &h), STATUS_ACCESS_DENIED);
  EXPECT_EQ(h, nullptr);
  EXPECT_TRUE(log.Entries().empty());
}

TEST_F(UserIoTest, ExclusiveDeviceRefusesASecondOpen) {
  dev->Flags |= DO_EXCLUSIVE;
  auto first = Open(u"\\Device\\TroxUserTest");
  std::unique_ptr<UserHandle> second;
  EXPECT_EQ(UserHandle::Open(u"\\Device\\TroxUserTest", GENERIC_READ, 0, &second), STATUS_ACCESS_DENIED);
  first.reset();
  EXPECT_TRUE(log.WaitFor("close"));
  EXPECT_EQ(UserHandle::Open(u"\\Device\\TroxUserTest", GENERIC_READ, 0, &second), STATUS_SUCCESS);
}

TEST_F(UserIoTest, BufferedReadWriteAndDeviceControl) {
  std::string written;
  auto& h = Dev(dev)->handlers;
  h[IRP_MJ_WRITE] = [&](PDEVICE_OBJECT, PIRP irp) {
    ULONG n = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
    written.assign(static_cast<char*>(irp->AssociatedIrp.SystemBuffer), n);
    return Complete(irp, STATUS_SUCCESS, n);
  };
  h[IRP_MJ_READ] = [](PDEVICE_OBJECT, PIRP irp) {
    EXPECT_EQ(irp->RequestorMode, UserMode);
    memcpy(irp->AssociatedIrp.SystemBuffer, "pong", 4);
    return Complete(irp, STATUS_SUCCESS, 4);
  };
  h[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
    auto* b = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    b[0] = static_cast<UCHAR>(b[0] + 1);
    return Complete(irp, STATUS_SUCCESS, 1);
  };
  auto file = Open(u"\\Device\\TroxUserTest");
  auto w = file->Write("ping!", 5);
  EXPECT_TRUE(w->Wait());
  EXPECT_EQ(w->Result().information, 5u);
  EXPECT_EQ(written, "ping!");

  char in[8] = {};
  bool called = false;
  auto r = file->Read(in, sizeof in, [&](const sim::io::IoResult& res) { called = res.information == 4; });
  EXPECT_EQ(r->SubmitStatus(), STATUS_SUCCESS);
  EXPECT_TRUE(r->IsComplete());
  EXPECT_TRUE(called);
  EXPECT_EQ(std::string(in, 4), "pong");

  UCHAR value = 41;
  UCHAR result = 0;
  auto c = file->DeviceIoControl(kBuffered, &value, 1, &result, 1);
  EXPECT_EQ(c->Result().status, STATUS_SUCCESS);
  EXPECT_EQ(result, 42);
}

TEST_F(UserIoTest, DirectIoDescribesTheCallersBufferWithAnMdl) {
  PDEVICE_OBJECT direct = driver.CreateDevice("direct", u"\\Device\\TroxDirect", DO_DIRECT_IO);
  auto& h = Dev(direct)->handlers;
  h[IRP_MJ_READ] = [](PDEVICE_OBJECT, PIRP irp) {
    EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr);
    auto* p = static_cast<char*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority | MdlMappingNoExecute));
    memcpy(p, "direct", 6);
    return Complete(irp, STATUS_SUCCESS, 6);
  };
  h[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
    // METHOD_IN_DIRECT: the output buffer is a second input, read through the MDL.
    auto* p = static_cast<char*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
    EXPECT_EQ(std::string(p, 3), "abc");
    EXPECT_EQ(*static_cast<char*>(irp->AssociatedIrp.SystemBuffer), 'x');
    return Complete(irp, STATUS_SUCCESS);
  };
  std::unique_ptr<UserHandle> file;
  ASSERT_EQ(UserHandle::Open(u"\\Device\\TroxDirect", GENERIC_READ, 0, &file), STATUS_SUCCESS);
  char buf[16] = {};
  EXPECT_EQ(file->Read(buf, sizeof buf)->Result().information, 6u);
  EXPECT_EQ(std::string(buf, 6), "direct");
  char second[3] = {'a', 'b', 'c'};
  EXPECT_EQ(file->DeviceIoControl(kInDirect, "x", 1, second, 3)->Result().status, STATUS_SUCCESS);
}

TEST_F(UserIoTest, CloseWaitsForPendingRequestsAndCancelReachesTheDriver) {
  Dev(dev)->handlers[IRP_MJ_READ] = [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP irp) {
      IoReleaseCancelSpinLock(irp->CancelIrql);
      Complete(irp, STATUS_CANCELLED);
    });
    return STATUS_PENDING;
  };
  auto file = Open(u"\\Device\\TroxUserTest");
  char buf[4];
  auto first = file->Read(buf, sizeof buf);
  auto second = file->Read(buf, sizeof buf);
  EXPECT_EQ(second->SubmitStatus(), STATUS_PENDING);
  EXPECT_TRUE(second->Cancel());
  EXPECT_TRUE(second->WaitFor(5 * kSecond));
  EXPECT_EQ(second->Result().status, STATUS_CANCELLED);
  EXPECT_FALSE(first->IsComplete());

  file->Close();
  EXPECT_TRUE(log.WaitFor("cleanup"));
  // The pending read still holds the file object: no close yet.
  EXPECT_EQ(log.Entries().back(), "cleanup");
  file.reset();
  first->Cancel();
  EXPECT_TRUE(first->WaitFor(5 * kSecond));
  EXPECT_TRUE(log.WaitFor("close"));
  EXPECT_EQ(log.Entries(), (std::vector<std::string>{"create  user", "cleanup", "close"}));
}

TEST_F(UserIoTest, DeviceObjectPointerKeepsTheFileOpenUntilDereferenced) {
  std::u16string deviceName = u"\\Device\\TroxUserTest";
  UNICODE_STRING name = Ustr(deviceName);
  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT top = nullptr;
  PDEVICE_OBJECT filter = driver.CreateDevice("filter", u"", 0, dev);
  ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &top), STATUS_SUCCESS);
  EXPECT_EQ(top, filter);  // the top of the named device's stack
  EXPECT_EQ(file->DeviceObject, dev);
  EXPECT_EQ(log.Entries(), (std::vector<std::string>{"create  kernel", "cleanup"}));
  ObDereferenceObject(file);
  EXPECT_TRUE(log.WaitFor("close"));
}

}  // namespace
