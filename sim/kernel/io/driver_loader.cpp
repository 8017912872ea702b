#include "sim/kernel/io/driver_loader.h"

#include <atomic>
#include <cstdlib>
#include <functional>
#include <string>

#include "sim/kernel/core/handles.h"
#include "sim/kernel/core/irql_checks.h"
#include "sim/kernel/core/pool.h"
#include "sim/kernel/core/verifier.h"
#include "sim/kernel/core/work_queue.h"
#include "sim/kernel/io/io_internal.h"

using sim::verifier::Fail;

namespace sim::io {
namespace {

// What the driver object owns besides itself: its name strings.
struct DriverStorage {
  DRIVER_OBJECT object;
  DRIVER_EXTENSION extension;
  std::u16string name;
  std::u16string serviceKey;
  std::u16string registryPath;
  UNICODE_STRING registryPathString;
};

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

void SetString(UNICODE_STRING* s, std::u16string& storage) {
  s->Buffer = reinterpret_cast<PWCH>(storage.data());
  s->Length = static_cast<USHORT>(storage.size() * sizeof(WCHAR));
  s->MaximumLength = s->Length;
}

void DestroyDriver(void* object) { delete reinterpret_cast<DriverStorage*>(object); }

struct Call {
  std::function<void()> body;
};

void RunCall(PVOID context) { static_cast<Call*>(context)->body(); }

// Runs body on a new system thread at PASSIVE_LEVEL and waits for it.
void OnSystemThread(std::function<void()> body) {
  Call call{std::move(body)};
  HANDLE thread = nullptr;
  NTSTATUS st = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, RunCall, &call);
  if (!NT_SUCCESS(st)) {
    call.body();
    return;
  }
  PVOID object = nullptr;
  ObReferenceObjectByHandle(thread, SYNCHRONIZE, nullptr, KernelMode, &object, nullptr);
  ZwClose(thread);
  KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(object);
}

// Drivers loaded now. Pool blocks carry no owner, so pool leaks are checked
// when the last driver goes (earlier, another driver's blocks would count).
std::atomic<int> g_loadedDrivers{0};

void CheckLeaks(PDRIVER_OBJECT driver, const char* context) {
  std::string name = DriverNameUtf8(driver);
  if (driver->DeviceObject) {
    Fail(context, "%s left device objects behind (first %p)", name.c_str(), driver->DeviceObject);
  }
  if (size_t n = OutstandingIrps(driver)) Fail(context, "%s left %zu IRP(s) allocated", name.c_str(), n);
  if (size_t n = OutstandingMdls(driver)) Fail(context, "%s left %zu MDL(s) allocated", name.c_str(), n);
  if (size_t n = OutstandingWorkItems(driver)) Fail(context, "%s left %zu work item(s) allocated", name.c_str(), n);
  if (g_loadedDrivers == 0) sim::pool::CheckNoLeaks(context);
}

void DeleteDriver(PDRIVER_OBJECT driver) {
  // Work items still queued hold their device; let them finish first.
  sim::kernel::DrainSystemWork();
  ObDereferenceObject(driver);
}

}  // namespace

NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, std::u16string_view serviceName, std::u16string_view registryPath,
                    PDRIVER_OBJECT* out) {
  *out = nullptr;
  if (!sim::kernel::CheckIrqlAtMost("sim::io::LoadDriver", PASSIVE_LEVEL)) return STATUS_UNSUCCESSFUL;
  auto* s = new DriverStorage{};
  s->name = u"\\Driver\\" + std::u16string(serviceName);
  s->serviceKey = std::u16string(serviceName);
  s->registryPath = registryPath.empty()
                        ? u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + std::u16string(serviceName)
                        : std::u16string(registryPath);
  PDRIVER_OBJECT driver = &s->object;
  driver->Type = IO_TYPE_DRIVER;
  driver->Size = sizeof(DRIVER_OBJECT);
  driver->DriverExtension = &s->extension;
  driver->DriverInit = entry;
  s->extension.DriverObject = driver;
  SetString(&driver->DriverName, s->name);
  SetString(&s->extension.ServiceKeyName, s->serviceKey);
  SetString(&s->registryPathString, s->registryPath);
  for (auto& f : driver->MajorFunction) f = InvalidDeviceRequest;
  sim::kernel::RegisterObject(driver, DriverType(), DestroyDriver);

  NTSTATUS status = STATUS_SUCCESS;
  OnSystemThread([&] {
    DriverScope scope(driver);
    status = entry(driver, &s->registryPathString);
  });
  if (!NT_SUCCESS(status)) {
    CheckLeaks(driver, "DriverEntry");
    DeleteDriver(driver);
    return status;
  }
  // Device objects created in DriverEntry are ready once it returns.
  {
    std::lock_guard<std::mutex> l(StackLock());
    for (PDEVICE_OBJECT d = driver->DeviceObject; d; d = d->NextDevice) d->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  ++g_loadedDrivers;
  *out = driver;
  return STATUS_SUCCESS;
}

void UnloadDriver(PDRIVER_OBJECT driver) {
  if (!sim::kernel::CheckIrqlAtMost("sim::io::UnloadDriver", PASSIVE_LEVEL)) return;
  if (driver->DriverUnload) {
    OnSystemThread([driver] {
      DriverScope scope(driver);
      driver->DriverUnload(driver);
    });
  }
  sim::kernel::DrainSystemWork();
  --g_loadedDrivers;
  CheckLeaks(driver, "DriverUnload");
  DeleteDriver(driver);
}

}  // namespace sim::io
