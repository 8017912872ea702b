#include "test_driver.h"

#include <map>

#include "sim/kernel/core/work_queue.h"
#include "sim/kernel/io/driver_loader.h"

namespace iotest {
namespace {

std::mutex g_lock;
std::map<PDRIVER_OBJECT, TestDriver*> g_drivers;

NTSTATUS Dispatch(PDEVICE_OBJECT d, PIRP irp) {
  TestDevice* dev = Dev(d);
  UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
  if (dev && dev->handlers[major]) return dev->handlers[major](d, irp);
  if (dev && dev->lower) return PassDown(d, irp);
  return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  TestDriver* td;
  {
    std::lock_guard<std::mutex> l(g_lock);
    td = g_drivers[driver];
  }
  return td && td->addDevice ? td->addDevice(driver, pdo) : STATUS_SUCCESS;
}

void Unload(PDRIVER_OBJECT) {}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& f : driver->MajorFunction) f = Dispatch;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}

}  // namespace

TestDevice* Dev(PDEVICE_OBJECT d) { return d->DeviceExtension ? *static_cast<TestDevice**>(d->DeviceExtension) : nullptr; }

void EventLog::Add(const std::string& s) {
  std::lock_guard<std::mutex> l(lock_);
  entries_.push_back(s);
  changed_.NotifyAll();
}

std::vector<std::string> EventLog::Entries() const {
  std::lock_guard<std::mutex> l(lock_);
  return entries_;
}

bool EventLog::WaitFor(const std::string& s, int64_t timeoutMs) const {
  std::unique_lock<std::mutex> l(lock_);
  return sim::clock::WaitUntil(changed_, l, sim::clock::Now() + timeoutMs * 10000, [&] {
    for (auto& e : entries_) {
      if (e == s) return true;
    }
    return false;
  });
}

TestDriver::TestDriver(const std::u16string& service) {
  sim::io::LoadDriver(Entry, service, &object);
  std::lock_guard<std::mutex> l(g_lock);
  g_drivers[object] = this;
}

TestDriver::~TestDriver() {
  // Closes of file objects whose last reference went with a completed
  // request are still queued; they reach the devices deleted below.
  sim::kernel::DrainSystemWork();
  if (!keepDevicesAtUnload) {
    while (!devices_.empty()) DeleteDevice(devices_.back()->self);
  }
  sim::io::UnloadDriver(object);
  std::lock_guard<std::mutex> l(g_lock);
  g_drivers.erase(object);
}

PDEVICE_OBJECT TestDriver::CreateDevice(const std::string& label, const std::u16string& name, ULONG flags,
                                        PDEVICE_OBJECT attachTo, ULONG characteristics) {
  UNICODE_STRING n = Ustr(name);
  PDEVICE_OBJECT d = nullptr;
  IoCreateDevice(object, sizeof(TestDevice*), name.empty() ? nullptr : &n, FILE_DEVICE_UNKNOWN, characteristics,
                 FALSE, &d);
  auto dev = std::make_unique<TestDevice>();
  dev->self = d;
  dev->name = label;
  *static_cast<TestDevice**>(d->DeviceExtension) = dev.get();
  d->Flags |= flags;
  if (attachTo) dev->lower = IoAttachDeviceToDeviceStack(d, attachTo);
  d->Flags &= ~DO_DEVICE_INITIALIZING;
  devices_.push_back(std::move(dev));
  return d;
}

void TestDriver::DeleteDevice(PDEVICE_OBJECT d) {
  for (auto it = devices_.begin(); it != devices_.end(); ++it) {
    if ((*it)->self != d) continue;
    if ((*it)->lower) IoDetachDevice((*it)->lower);
    IoDeleteDevice(d);
    devices_.erase(it);
    return;
  }
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS PassDown(PDEVICE_OBJECT d, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(Dev(d)->lower, irp);
}

std::string Utf8(PCUNICODE_STRING s) {
  std::string out;
  for (USHORT i = 0; s && s->Buffer && i < s->Length / 2; i++) out.push_back(static_cast<char>(s->Buffer[i]));
  return out;
}

UNICODE_STRING Ustr(const std::u16string& s) {
  UNICODE_STRING u;
  u.Buffer = reinterpret_cast<PWCH>(const_cast<char16_t*>(s.data()));
  u.Length = static_cast<USHORT>(s.size() * 2);
  u.MaximumLength = u.Length;
  return u;
}

}  // namespace iotest
