// I/O work items: run at PASSIVE_LEVEL on the system worker threads with the
// device object referenced until the routine has run.
#include <mutex>
#include <unordered_map>

#include "sim/kernel/core/irql_checks.h"
#include "sim/kernel/core/verifier.h"
#include "sim/kernel/core/work_queue.h"
#include "sim/kernel/io/io_internal.h"

using sim::verifier::Fail;

struct _IO_WORKITEM {
  PDEVICE_OBJECT DeviceObject;
  bool Queued;
  bool Embedded;  // IoInitializeWorkItem on caller memory
};

namespace {

struct ItemTable {
  std::mutex lock;
  std::unordered_map<PIO_WORKITEM, PDRIVER_OBJECT> items;  // allocated by IoAllocateWorkItem
};

ItemTable& T() {
  static ItemTable* t = new ItemTable;
  return *t;
}

}  // namespace

namespace sim::io {
size_t LiveWorkItemCount() {
  std::lock_guard<std::mutex> l(T().lock);
  return T().items.size();
}

size_t OutstandingWorkItems(PDRIVER_OBJECT driver) {
  std::lock_guard<std::mutex> l(T().lock);
  size_t n = 0;
  for (auto& [item, owner] : T().items) n += owner == driver ? 1 : 0;
  return n;
}
}  // namespace sim::io

extern "C" {

ULONG IoSizeofWorkItem(void) { return sizeof(_IO_WORKITEM); }

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  if (!sim::kernel::CheckIrqlAtMost("IoAllocateWorkItem", DISPATCH_LEVEL)) return nullptr;
  auto item = new _IO_WORKITEM{DeviceObject, false, false};
  std::lock_guard<std::mutex> l(T().lock);
  T().items[item] = DeviceObject->DriverObject;
  return item;
}

void IoInitializeWorkItem(PVOID IoObject, PIO_WORKITEM IoWorkItem) {
  *IoWorkItem = _IO_WORKITEM{static_cast<PDEVICE_OBJECT>(IoObject), false, true};
}

void IoUninitializeWorkItem(PIO_WORKITEM IoWorkItem) {
  std::lock_guard<std::mutex> l(T().lock);
  if (IoWorkItem->Queued) Fail("IoUninitializeWorkItem", "work item %p is still queued", IoWorkItem);
}

void IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  std::lock_guard<std::mutex> l(T().lock);
  auto it = T().items.find(IoWorkItem);
  if (it == T().items.end()) {
    Fail("IoFreeWorkItem", "%p is not a work item from IoAllocateWorkItem (or was freed already)", IoWorkItem);
    return;
  }
  if (IoWorkItem->Queued) {
    Fail("IoFreeWorkItem", "work item %p is still queued", IoWorkItem);
    return;
  }
  T().items.erase(it);
  delete IoWorkItem;
}

void IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                     PVOID Context) {
  if (!sim::kernel::CheckIrqlAtMost("IoQueueWorkItem", DISPATCH_LEVEL)) return;
  PDEVICE_OBJECT dev;
  {
    std::lock_guard<std::mutex> l(T().lock);
    if (IoWorkItem->Queued) {
      Fail("IoQueueWorkItem", "work item %p is already queued", IoWorkItem);
      return;
    }
    IoWorkItem->Queued = true;
    dev = IoWorkItem->DeviceObject;
  }
  ObReferenceObject(dev);
  sim::kernel::QueueSystemWork(QueueType, [IoWorkItem, WorkerRoutine, Context, dev] {
    {
      // The routine may free or requeue the item: it is no longer queued.
      std::lock_guard<std::mutex> l(T().lock);
      IoWorkItem->Queued = false;
    }
    {
      sim::io::DriverScope scope(dev->DriverObject);
      WorkerRoutine(dev, Context);
    }
    ObDereferenceObject(dev);
  });
}

}  // extern "C"
