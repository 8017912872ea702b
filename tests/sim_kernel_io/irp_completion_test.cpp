// Completion of IRPs through a device stack: routine order, the device object
// each routine gets, PendingReturned, STATUS_MORE_PROCESSING_REQUIRED and the
// SL_INVOKE_* conditions.
#include <gtest/gtest.h>

#include <thread>

#include "sim/kernel/core/handles.h"
#include "test_driver.h"

using namespace iotest;

namespace {

struct RoutineContext {
  EventLog* log;
  const char* label;
  NTSTATUS result;
  bool propagatePending;
};

NTSTATUS Recording(PDEVICE_OBJECT dev, PIRP irp, PVOID context) {
  auto* c = static_cast<RoutineContext*>(context);
  c->log->Add(std::string(c->label) + " dev=" + (dev ? Dev(dev)->name : "null") +
              " pending=" + (irp->PendingReturned ? "1" : "0"));
  if (c->propagatePending && irp->PendingReturned && c->result != STATUS_MORE_PROCESSING_REQUIRED) {
    IoMarkIrpPending(irp);
  }
  return c->result;
}

NTSTATUS FreeAndStop(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* c = static_cast<RoutineContext*>(context);
  c->log->Add(std::string(c->label) + " status=" + std::to_string(irp->IoStatus.Status) +
              " info=" + std::to_string(irp->IoStatus.Information));
  IoFreeIrp(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

class StackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bottom = driver.CreateDevice("bottom");
    middle = driver.CreateDevice("middle", u"", 0, bottom);
    top = driver.CreateDevice("top", u"", 0, middle);
  }
  // Forwards with a completion routine in the next location.
  void ForwardWithRoutine(PDEVICE_OBJECT d, RoutineContext* ctx) {
    Dev(d)->handlers[IRP_MJ_DEVICE_CONTROL] = [ctx](PDEVICE_OBJECT self, PIRP irp) {
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, Recording, ctx, TRUE, TRUE, TRUE);
      return IoCallDriver(Dev(self)->lower, irp);
    };
  }
  PIRP OwnedIrp(RoutineContext* owner) {
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, FreeAndStop, owner, TRUE, TRUE, TRUE);
    return irp;
  }

  TestDriver driver{u"stacktest"};
  PDEVICE_OBJECT bottom, middle, top;
  EventLog log;
};

TEST_F(StackTest, CompletionRoutinesRunBottomUpWithTheDeviceThatSetThem) {
  RoutineContext m{&log, "middle-routine", STATUS_SUCCESS, true};
  RoutineContext t{&log, "top-routine", STATUS_SUCCESS, true};
  RoutineContext owner{&log, "owner", 0, false};
  ForwardWithRoutine(top, &t);
  ForwardWithRoutine(middle, &m);
  Dev(bottom)->handlers[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 7); };

  EXPECT_EQ(top->StackSize, 3);
  EXPECT_EQ(IoCallDriver(top, OwnedIrp(&owner)), STATUS_SUCCESS);
  // The originator has no stack location of its own: its routine gets no device.
  EXPECT_EQ(log.Entries(), (std::vector<std::string>{"middle-routine dev=middle pending=0",
                                                     "top-routine dev=top pending=0", "owner status=0 info=7"}));
}

TEST_F(StackTest, PendingReturnedPropagatesThroughLevelsWithoutRoutine) {
  RoutineContext t{&log, "top-routine", STATUS_SUCCESS, true};
  RoutineContext owner{&log, "owner", 0, false};
  ForwardWithRoutine(top, &t);
  Dev(middle)->handlers[IRP_MJ_DEVICE_CONTROL] = PassDown;  // no routine of its own
  PIRP held = nullptr;
  Dev(bottom)->handlers[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  };
  PIRP irp = OwnedIrp(&owner);
  EXPECT_EQ(IoCallDriver(top, irp), STATUS_PENDING);
  EXPECT_TRUE(log.Entries().empty());
  std::thread([&] { Complete(held, STATUS_SUCCESS, 3); }).join();
  EXPECT_EQ(log.Entries(),
            (std::vector<std::string>{"top-routine dev=top pending=1", "owner status=0 info=3"}));
}

TEST_F(StackTest, MoreProcessingRequiredStopsCompletionUntilTheIrpIsCompletedAgain) {
  RoutineContext t{&log, "top-routine", STATUS_SUCCESS, true};
  RoutineContext owner{&log, "owner", 0, false};
  ForwardWithRoutine(top, &t);
  // The middle driver waits for the lower driver and then completes the IRP
  // itself, the usual synchronous forwarding pattern.
  Dev(middle)->handlers[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT self, PIRP irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID e) -> NTSTATUS {
          KeSetEvent(static_cast<PKEVENT>(e), IO_NO_INCREMENT, FALSE);
          return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &event, TRUE, TRUE, TRUE);
    NTSTATUS st = IoCallDriver(Dev(self)->lower, irp);
    if (st == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    log.Add("middle sees " + std::to_string(irp->IoStatus.Status));
    st = irp->IoStatus.Status == STATUS_UNSUCCESSFUL ? STATUS_SUCCESS : irp->IoStatus.Status;
    return Complete(irp, st, 11);
  };
  Dev(bottom)->handlers[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    std::thread([irp] { Complete(irp, STATUS_UNSUCCESSFUL); }).detach();
    return STATUS_PENDING;
  };
  EXPECT_EQ(IoCallDriver(top, OwnedIrp(&owner)), STATUS_SUCCESS);
  EXPECT_EQ(log.Entries(), (std::vector<std::string>{"middle sees " + std::to_string(STATUS_UNSUCCESSFUL),
                                                     "top-routine dev=top pending=0", "owner status=0 info=11"}));
}

TEST_F(StackTest, RoutinesRunOnlyForTheOutcomesTheyAskedFor) {
  RoutineContext onError{&log, "error-only", STATUS_SUCCESS, true};
  RoutineContext owner{&log, "owner", 0, false};
  Dev(top)->handlers[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT self, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, Recording, &onError, FALSE, TRUE, FALSE);
    return IoCallDriver(Dev(self)->lower, irp);
  };
  Dev(middle)->handlers[IRP_MJ_DEVICE_CONTROL] = PassDown;
  NTSTATUS next = STATUS_SUCCESS;
  Dev(bottom)->handlers[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, next); };
  IoCallDriver(top, OwnedIrp(&owner));
  next = STATUS_IO_DEVICE_ERROR;
  IoCallDriver(top, OwnedIrp(&owner));
  EXPECT_EQ(log.Entries(), (std::vector<std::string>{"owner status=0 info=0", "error-only dev=top pending=0",
                                                     "owner status=" + std::to_string(STATUS_IO_DEVICE_ERROR) +
                                                         " info=0"}));
}

TEST_F(StackTest, CompletionRoutineExKeepsTheDeviceReferencedUntilItRan) {
  RoutineContext owner{&log, "owner", 0, false};
  PIRP held = nullptr;
  Dev(top)->handlers[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT self, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutineEx(
        self, irp, [](PDEVICE_OBJECT, PIRP irp, PVOID) -> NTSTATUS {
          if (irp->PendingReturned) IoMarkIrpPending(irp);
          return STATUS_SUCCESS;
        },
        nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(Dev(self)->lower, irp);
  };
  Dev(middle)->handlers[IRP_MJ_DEVICE_CONTROL] = PassDown;
  Dev(bottom)->handlers[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  };
  LONG_PTR before = sim::kernel::ObjectReferenceCount(top);
  EXPECT_EQ(IoCallDriver(top, OwnedIrp(&owner)), STATUS_PENDING);
  EXPECT_EQ(sim::kernel::ObjectReferenceCount(top), before + 1);
  Complete(held, STATUS_SUCCESS);
  EXPECT_EQ(sim::kernel::ObjectReferenceCount(top), before);
  EXPECT_EQ(log.Entries(), (std::vector<std::string>{"owner status=0 info=0"}));
}

}  // namespace
