// System threads, thread objects, handles and object references.
#include <gtest/gtest.h>

#include <atomic>

#include "kernel_test_util.h"
#include "testbed_test.h"
#include "sim/kernel/core/handles.h"
#include "sim/kernel/core/verifier.h"

namespace {

using sim::clock::Thread;

class SystemThreads : public trox::test::TestbedTest {};
class Threads : public trox::test::TestbedTest {};
class Handles : public trox::test::TestbedTest {};
class Objects : public trox::test::TestbedTest {};

struct ThreadProbe {
  std::atomic<int> irql{-1};
  std::atomic<KPRIORITY> priority{-1};
  std::atomic<bool> system{false};
  KEVENT go;
  KEVENT started;
  ThreadProbe() {
    KeInitializeEvent(&go, NotificationEvent, FALSE);
    KeInitializeEvent(&started, NotificationEvent, FALSE);
  }
};

void ProbeThread(PVOID context) {
  auto* p = static_cast<ThreadProbe*>(context);
  p->irql = KeGetCurrentIrql();
  p->priority = KeQueryPriorityThread(KeGetCurrentThread());
  p->system = PsIsSystemThread(PsGetCurrentThread());
  KeSetEvent(&p->started, 0, FALSE);
  KeWaitForSingleObject(&p->go, Executive, KernelMode, FALSE, nullptr);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

PVOID ReferenceThread(HANDLE h) {
  PVOID thread = nullptr;
  EXPECT_EQ(ObReferenceObjectByHandle(h, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr), STATUS_SUCCESS);
  return thread;
}

TEST_F(SystemThreads, RunAtPassiveWithDefaultPriorityAndSignalWhenTheyEnd) {
  ThreadProbe probe;
  HANDLE h = nullptr;
  ASSERT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ProbeThread, &probe),
            STATUS_SUCCESS);
  ASSERT_NE(h, nullptr);
  PVOID thread = ReferenceThread(h);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
  ASSERT_EQ(WaitMs(&probe.started, 10000), STATUS_SUCCESS);
  EXPECT_EQ(probe.irql, PASSIVE_LEVEL);
  EXPECT_EQ(probe.priority, 8);
  EXPECT_TRUE(probe.system);
  EXPECT_EQ(Poll(thread), STATUS_TIMEOUT) << "a running thread is not signalled";
  KeSetEvent(&probe.go, 0, FALSE);
  EXPECT_EQ(WaitMs(thread, 10000), STATUS_SUCCESS);
  EXPECT_EQ(Poll(thread), STATUS_SUCCESS) << "an ended thread stays signalled";
  ObDereferenceObject(thread);
}

TEST_F(SystemThreads, CreationIsPassiveLevelOnly) {
  sim::verifier::Recorder rec;
  HANDLE h = nullptr;
  AtDispatchLevel([&] {
    EXPECT_NE(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ProbeThread, nullptr),
              STATUS_SUCCESS);
  });
  EXPECT_TRUE(rec.Has("PsCreateSystemThread"));
}

void EndsAtDispatch(PVOID) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
}

TEST_F(SystemThreads, EndingAtRaisedIrqlIsAVerifierFailure) {
  sim::verifier::Recorder rec;
  HANDLE h;
  ASSERT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, EndsAtDispatch, nullptr),
            STATUS_SUCCESS);
  PVOID thread = ReferenceThread(h);
  ZwClose(h);
  EXPECT_EQ(WaitMs(thread, 10000), STATUS_SUCCESS);
  ObDereferenceObject(thread);
  EXPECT_TRUE(rec.Has("PsTerminateSystemThread", "IRQL 2"));
}

TEST_F(Threads, PriorityIsRecordedAndReturned) {
  PKTHREAD me = KeGetCurrentThread();
  KPRIORITY old = KeQueryPriorityThread(me);
  EXPECT_EQ(KeSetPriorityThread(me, LOW_REALTIME_PRIORITY), old);
  EXPECT_EQ(KeQueryPriorityThread(me), LOW_REALTIME_PRIORITY);
  KeSetPriorityThread(me, old);
}

TEST_F(Threads, EveryThreadHasItsOwnObjectAndId) {
  PKTHREAD mine = KeGetCurrentThread();
  HANDLE myId = PsGetCurrentThreadId();
  PKTHREAD other = nullptr;
  HANDLE otherId = nullptr;
  Thread t("other", [&] {
    other = KeGetCurrentThread();
    otherId = PsGetCurrentThreadId();
  });
  t.Join();
  EXPECT_NE(mine, other);
  EXPECT_NE(myId, otherId);
  EXPECT_EQ(KeGetCurrentThread(), mine);
}

TEST_F(Handles, ReferenceByHandleChecksTheTypeAndCurrentThreadPseudoHandle) {
  PVOID self = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(NtCurrentThread(), 0, *PsThreadType, KernelMode, &self, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(self, KeGetCurrentThread());
  ObDereferenceObject(self);

  static int object;
  POBJECT_TYPE fileType = sim::kernel::DefineObjectType("TestFile");
  sim::kernel::RegisterObject(&object, fileType, nullptr);
  HANDLE h = sim::kernel::InsertHandle(&object, fileType, nullptr);
  PVOID p = nullptr;
  EXPECT_EQ(ObReferenceObjectByHandle(h, 0, *PsThreadType, KernelMode, &p, nullptr), STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_EQ(ObReferenceObjectByHandle(h, 0, fileType, KernelMode, &p, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(p, &object);
  EXPECT_EQ(sim::kernel::ObjectReferenceCount(&object), 2);
  ObDereferenceObject(p);
  EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
  EXPECT_EQ(ObReferenceObjectByHandle(h, 0, nullptr, KernelMode, &p, nullptr), STATUS_INVALID_HANDLE);
  ObDereferenceObject(&object);
  EXPECT_FALSE(sim::kernel::IsRegisteredObject(&object));
}

int gDestroyed = 0;
void CountDestroy(void*) { gDestroyed++; }

TEST_F(Objects, DestroyRunsWhenTheLastReferenceGoesAndHandlesHoldReferences) {
  static int object;
  gDestroyed = 0;
  POBJECT_TYPE type = sim::kernel::DefineObjectType("Counted");
  sim::kernel::RegisterObject(&object, type, CountDestroy);
  ObReferenceObject(&object);  // the handle's reference
  HANDLE h = sim::kernel::InsertHandle(&object, type, [](void* o) { ObDereferenceObject(o); });
  ZwClose(h);
  EXPECT_EQ(gDestroyed, 0);
  ObDereferenceObject(&object);
  EXPECT_EQ(gDestroyed, 1);
}

TEST_F(Objects, MisuseIsAVerifierFailure) {
  sim::verifier::Recorder rec;
  static int notAnObject;
  ObDereferenceObject(&notAnObject);
  EXPECT_TRUE(rec.Has("ObfDereferenceObject"));
  ZwClose((HANDLE)(ULONG_PTR)0x1234);
  EXPECT_TRUE(rec.Has("ZwClose", "invalid kernel handle"));
}

}  // namespace
