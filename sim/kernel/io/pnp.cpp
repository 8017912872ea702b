#include "sim/kernel/io/pnp.h"

#include <map>
#include <mutex>

#include "sim/kernel/core/clock.h"
#include "sim/kernel/core/irql_checks.h"
#include "sim/kernel/core/verifier.h"
#include "sim/kernel/core/work_queue.h"
#include "sim/kernel/io/device_interface.h"
#include "sim/kernel/io/io_internal.h"
#ifdef SIM_IO_HAVE_REGISTRY
#include "sim/kernel/registry/device_keys.h"
#endif

using sim::verifier::Fail;

namespace sim::pnp {
namespace {

struct Record {
  std::u16string instancePath;
  std::vector<std::u16string> hardwareIds;
  std::vector<std::u16string> compatibleIds;
  DeviceState state = DeviceState::Reported;
  bool removeQueued = false;
  DEVICE_CAPABILITIES caps{};
};

struct Manager {
  std::mutex lock;
  sim::clock::Condition changed{"PnP device state"};
  std::map<PDEVICE_OBJECT, Record> devices;
  std::map<int, std::pair<PDEVICE_OBJECT, RemovalCallback>> callbacks;
  int nextCallback = 1;
  // One PnP operation at a time, as the PnP manager's queue; held across
  // the IRPs it sends.
  sim::clock::Mutex operation;
};

Manager& M() {
  static Manager* m = new Manager;
  return *m;
}

bool Lookup(PDEVICE_OBJECT pdo, Record* out) {
  std::lock_guard<std::mutex> l(M().lock);
  auto it = M().devices.find(pdo);
  if (it == M().devices.end()) return false;
  if (out) *out = it->second;
  return true;
}

void SetState(PDEVICE_OBJECT pdo, DeviceState s) {
  std::lock_guard<std::mutex> l(M().lock);
  auto it = M().devices.find(pdo);
  if (it != M().devices.end()) it->second.state = s;
  M().changed.NotifyAll();
}

std::vector<RemovalCallback> CallbacksFor(PDEVICE_OBJECT pdo) {
  std::vector<RemovalCallback> cbs;
  std::lock_guard<std::mutex> l(M().lock);
  for (auto& [id, entry] : M().callbacks) {
    if (entry.first == pdo) cbs.push_back(entry.second);
  }
  return cbs;
}

void Notify(PDEVICE_OBJECT pdo, RemovalEvent ev) {
  for (auto& cb : CallbacksFor(pdo)) cb(pdo, ev);
}

NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& params = {}) {
  return sim::io::SendSynchronousIrp(pdo, KernelMode, STATUS_NOT_SUPPORTED, [&](PIRP, PIO_STACK_LOCATION sp) {
    sp->MajorFunction = IRP_MJ_PNP;
    sp->MinorFunction = minor;
    if (params) params(sp);
  });
}

int OpenFiles(PDEVICE_OBJECT pdo) { return sim::io::Ext(pdo)->OpenFiles.load(); }

// IRP_MN_REMOVE_DEVICE and what follows it; pdo is referenced by the caller.
void SendRemove(PDEVICE_OBJECT pdo) {
  // The bus driver may delete the PDO while handling the IRP, which forgets
  // its callbacks: take them first.
  auto callbacks = CallbacksFor(pdo);
  SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
  sim::io::DisableDeviceInterfaces(pdo);
  if (Lookup(pdo, nullptr)) {
    PDEVICE_OBJECT above;
    {
      std::lock_guard<std::mutex> l(sim::io::StackLock());
      above = pdo->AttachedDevice;
    }
    if (above) {
      Fail("IRP_MN_REMOVE_DEVICE", "device %p of %s is still attached to the PDO after removal", above,
           sim::io::DriverNameUtf8(above->DriverObject).c_str());
    }
  }
  SetState(pdo, DeviceState::Removed);
  for (auto& cb : callbacks) cb(pdo, RemovalEvent::RemoveComplete);
}

}  // namespace

NTSTATUS ReportPdo(PDEVICE_OBJECT pdo, const std::u16string& instancePath,
                   const std::vector<std::u16string>& hardwareIds, const std::vector<std::u16string>& compatibleIds) {
  if (!pdo || pdo->Type != IO_TYPE_DEVICE || instancePath.empty()) return STATUS_INVALID_PARAMETER;
  {
    std::lock_guard<std::mutex> l(M().lock);
    for (auto& [dev, rec] : M().devices) {
      if (dev != pdo && sim::io::NamesEqual(rec.instancePath, instancePath)) return STATUS_OBJECT_NAME_COLLISION;
    }
    Record& r = M().devices[pdo];
    r.instancePath = instancePath;
    r.hardwareIds = hardwareIds;
    r.compatibleIds = compatibleIds;
    r.state = DeviceState::Reported;
  }
  // A reported PDO is enumerated by its bus: it is no longer initializing.
  pdo->Flags |= DO_BUS_ENUMERATED_DEVICE;
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
#ifdef SIM_IO_HAVE_REGISTRY
  sim::registry::SetDeviceInstancePath(pdo, instancePath);
#endif
  return STATUS_SUCCESS;
}

NTSTATUS StartDevice(PDEVICE_OBJECT pdo, PDRIVER_OBJECT functionDriver) {
  if (!sim::kernel::CheckIrqlAtMost("sim::pnp::StartDevice", PASSIVE_LEVEL)) return STATUS_UNSUCCESSFUL;
  std::lock_guard<sim::clock::Mutex> op(M().operation);
  Record rec;
  if (!Lookup(pdo, &rec)) return STATUS_NO_SUCH_DEVICE;
  if (rec.state == DeviceState::Started || rec.state == DeviceState::SurpriseRemoved) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  PDRIVER_ADD_DEVICE addDevice = functionDriver->DriverExtension->AddDevice;
  if (!addDevice) return STATUS_INVALID_DEVICE_REQUEST;
  ObReferenceObject(pdo);
  NTSTATUS status;
  {
    sim::io::DriverScope scope(functionDriver);
    status = addDevice(functionDriver, pdo);
  }
  if (!NT_SUCCESS(status)) {
    ObDereferenceObject(pdo);
    return status;
  }
  {
    std::lock_guard<std::mutex> l(sim::io::StackLock());
    for (PDEVICE_OBJECT d = pdo->AttachedDevice; d; d = d->AttachedDevice) {
      if (d->Flags & DO_DEVICE_INITIALIZING) {
        Fail("AddDevice", "%s left DO_DEVICE_INITIALIZING set on device %p",
             sim::io::DriverNameUtf8(d->DriverObject).c_str(), d);
        d->Flags &= ~DO_DEVICE_INITIALIZING;
      }
    }
  }
  CM_RESOURCE_LIST raw{};
  CM_RESOURCE_LIST translated{};
  status = SendPnp(pdo, IRP_MN_START_DEVICE, [&](PIO_STACK_LOCATION sp) {
    sp->Parameters.StartDevice.AllocatedResources = &raw;
    sp->Parameters.StartDevice.AllocatedResourcesTranslated = &translated;
  });
  if (!NT_SUCCESS(status)) {
    SendRemove(pdo);
    SetState(pdo, DeviceState::StartFailed);
    ObDereferenceObject(pdo);
    return status;
  }
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof(caps);
  caps.Version = 1;
  caps.Address = MAXULONG;
  caps.UINumber = MAXULONG;
  SendPnp(pdo, IRP_MN_QUERY_CAPABILITIES,
          [&](PIO_STACK_LOCATION sp) { sp->Parameters.DeviceCapabilities.Capabilities = &caps; });
  {
    std::lock_guard<std::mutex> l(M().lock);
    auto it = M().devices.find(pdo);
    if (it != M().devices.end()) {
      it->second.caps = caps;
      it->second.state = DeviceState::Started;
      it->second.removeQueued = false;
    }
  }
  ObDereferenceObject(pdo);
  return STATUS_SUCCESS;
}

NTSTATUS QueryRemove(PDEVICE_OBJECT pdo, QueryRemoveOutcome outcome) {
  if (!sim::kernel::CheckIrqlAtMost("sim::pnp::QueryRemove", PASSIVE_LEVEL)) return STATUS_UNSUCCESSFUL;
  std::lock_guard<sim::clock::Mutex> op(M().operation);
  Record rec;
  if (!Lookup(pdo, &rec)) return STATUS_NO_SUCH_DEVICE;
  if (rec.state != DeviceState::Started) return STATUS_INVALID_DEVICE_STATE;
  ObReferenceObject(pdo);
  Notify(pdo, RemovalEvent::QueryRemove);
  if (OpenFiles(pdo) > 0) {
    Notify(pdo, RemovalEvent::RemoveCancelled);
    ObDereferenceObject(pdo);
    return STATUS_DEVICE_BUSY;
  }
  NTSTATUS status = SendPnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
  if (!NT_SUCCESS(status) || outcome == QueryRemoveOutcome::Cancel) {
    SendPnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
    Notify(pdo, RemovalEvent::RemoveCancelled);
  } else {
    SendRemove(pdo);
  }
  ObDereferenceObject(pdo);
  return status;
}

NTSTATUS Remove(PDEVICE_OBJECT pdo) { return QueryRemove(pdo, QueryRemoveOutcome::Remove); }

NTSTATUS SurpriseRemove(PDEVICE_OBJECT pdo) {
  if (!sim::kernel::CheckIrqlAtMost("sim::pnp::SurpriseRemove", PASSIVE_LEVEL)) return STATUS_UNSUCCESSFUL;
  std::unique_lock<sim::clock::Mutex> op(M().operation);
  Record rec;
  if (!Lookup(pdo, &rec)) return STATUS_NO_SUCH_DEVICE;
  if (rec.state == DeviceState::SurpriseRemoved || rec.state == DeviceState::Removed) return STATUS_SUCCESS;
  ObReferenceObject(pdo);
  if (rec.state == DeviceState::Started) {
    SendPnp(pdo, IRP_MN_SURPRISE_REMOVAL);
    SetState(pdo, DeviceState::SurpriseRemoved);
    Notify(pdo, RemovalEvent::SurpriseRemoved);
  }
  bool removeNow = false;
  {
    std::lock_guard<std::mutex> l(M().lock);
    auto it = M().devices.find(pdo);
    if (it != M().devices.end() && OpenFiles(pdo) == 0 && !it->second.removeQueued) {
      it->second.removeQueued = true;
      removeNow = true;
    }
  }
  if (removeNow) SendRemove(pdo);
  ObDereferenceObject(pdo);
  return STATUS_SUCCESS;
}

void WaitForOperation() { std::lock_guard<sim::clock::Mutex> op(M().operation); }

bool WaitRemoved(PDEVICE_OBJECT pdo, int64_t deadline) {
  std::unique_lock<std::mutex> l(M().lock);
  return sim::clock::WaitUntil(M().changed, l, deadline, [&] {
    auto it = M().devices.find(pdo);
    return it == M().devices.end() || it->second.state == DeviceState::Removed;
  });
}

int RegisterRemovalCallback(PDEVICE_OBJECT pdo, RemovalCallback callback) {
  std::lock_guard<std::mutex> l(M().lock);
  int id = M().nextCallback++;
  M().callbacks[id] = {pdo, std::move(callback)};
  return id;
}

void UnregisterRemovalCallback(int id) {
  std::lock_guard<std::mutex> l(M().lock);
  M().callbacks.erase(id);
}

std::u16string InstancePath(PDEVICE_OBJECT pdo) {
  Record r;
  return Lookup(pdo, &r) ? r.instancePath : std::u16string();
}

std::vector<std::u16string> HardwareIds(PDEVICE_OBJECT pdo) {
  Record r;
  return Lookup(pdo, &r) ? r.hardwareIds : std::vector<std::u16string>();
}

bool IsReported(PDEVICE_OBJECT pdo) { return Lookup(pdo, nullptr); }

bool IsRemoved(PDEVICE_OBJECT pdo) {
  Record r;
  return Lookup(pdo, &r) && r.state == DeviceState::Removed;
}

DeviceState State(PDEVICE_OBJECT pdo) {
  Record r;
  return Lookup(pdo, &r) ? r.state : DeviceState::Removed;
}

DEVICE_CAPABILITIES Capabilities(PDEVICE_OBJECT pdo) {
  Record r;
  return Lookup(pdo, &r) ? r.caps : DEVICE_CAPABILITIES{};
}

PDEVICE_OBJECT FindPdo(const std::u16string& instancePath) {
  std::lock_guard<std::mutex> l(M().lock);
  for (auto& [dev, rec] : M().devices) {
    if (sim::io::NamesEqual(rec.instancePath, instancePath)) return dev;
  }
  return nullptr;
}

}  // namespace sim::pnp

namespace sim::io {

void OnDeviceDeleted(PDEVICE_OBJECT dev) {
  bool wasPdo;
  {
    std::lock_guard<std::mutex> l(sim::pnp::M().lock);
    wasPdo = sim::pnp::M().devices.erase(dev) != 0;
    std::erase_if(sim::pnp::M().callbacks, [dev](const auto& e) { return e.second.first == dev; });
    sim::pnp::M().changed.NotifyAll();
  }
  if (!wasPdo) return;
  ForgetDeviceInterfaces(dev);
#ifdef SIM_IO_HAVE_REGISTRY
  sim::registry::ClearDeviceInstancePath(dev);
#endif
}

void OnStackFilesClosed(PDEVICE_OBJECT base) {
  {
    std::lock_guard<std::mutex> l(sim::pnp::M().lock);
    auto it = sim::pnp::M().devices.find(base);
    if (it == sim::pnp::M().devices.end() || it->second.state != sim::pnp::DeviceState::SurpriseRemoved ||
        it->second.removeQueued) {
      return;
    }
    it->second.removeQueued = true;
  }
  // The last close may run inside a driver's completion path: remove from a
  // worker thread, as the PnP manager's own queue does.
  ObReferenceObject(base);
  sim::kernel::QueueSystemWork(DelayedWorkQueue, [base] {
    {
      std::lock_guard<sim::clock::Mutex> op(sim::pnp::M().operation);
      sim::pnp::SendRemove(base);
    }
    ObDereferenceObject(base);
  });
}

}  // namespace sim::io
