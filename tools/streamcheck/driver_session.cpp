#include "tools/streamcheck/driver_session.h"

#include <ntddk.h>

#include "adapter/pool.h"
#include "adapter/pool_tags.h"
#include "sim/kernel/io/driver_loader.h"
#include "sim/kernel/io/pnp.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace streamcheck {

DriverSession::DriverSession(sim::usb::UsbAudioDevice& device, bool configure) {
  if (NTSTATUS status = sim::io::LoadDriver(DriverEntry, u"troxaudio", &driver_); !NT_SUCCESS(status)) {
    driver_ = nullptr;
    Fail("LoadDriver", status);
    return;
  }
  bus_ = std::make_unique<sim::usb::UsbBus>();
  pdo_ = bus_->Plug(&device);
  if (pdo_ == nullptr) {
    Fail("Plug", STATUS_NO_SUCH_DEVICE);
    return;
  }
  if (NTSTATUS status = sim::pnp::StartDevice(pdo_, driver_); !NT_SUCCESS(status)) {
    Fail("StartDevice", status);
    return;
  }
  started_ = true;
  PDEVICE_OBJECT fdo = pdo_->AttachedDevice;
  if (fdo == nullptr || fdo->DriverObject != driver_) {
    Fail("FunctionDevice", STATUS_NO_SUCH_DEVICE);
    return;
  }
  lower_ = IoGetLowerDeviceObject(fdo);
  if (lower_ == nullptr) {
    Fail("IoGetLowerDeviceObject", STATUS_NO_SUCH_DEVICE);
    return;
  }
  audio_ = new (NonPagedPoolNx, kPoolTagDriver) CUSBAudioCL();
  if (audio_ == nullptr) {
    Fail("allocation", STATUS_INSUFFICIENT_RESOURCES);
  } else if (NTSTATUS status = audio_->Attach(lower_, kDeviceStartIrpPool); !NT_SUCCESS(status)) {
    Fail("Attach", status);
  } else if (configure && !NT_SUCCESS(status = audio_->Configure())) {
    Fail("Configure", status);
  }
}

DriverSession::~DriverSession() { Close(); }

bool DriverSession::Refused() const {
  return failedStep_ == "IoGetLowerDeviceObject" || failedStep_ == "allocation" || failedStep_ == "Attach" ||
         failedStep_ == "Configure";
}

void DriverSession::Fail(const char* step, NTSTATUS status) {
  if (failedStep_.empty()) {
    failedStep_ = step;
    failedStatus_ = status;
  }
}

NTSTATUS DriverSession::Close() {
  if (closed_) return STATUS_SUCCESS;
  closed_ = true;
  delete audio_;
  audio_ = nullptr;
  if (lower_ != nullptr) ObDereferenceObject(lower_);
  lower_ = nullptr;
  NTSTATUS removed = STATUS_SUCCESS;
  if (started_) removed = sim::pnp::Remove(pdo_);
  bus_.reset();
  if (driver_ != nullptr) sim::io::UnloadDriver(driver_);
  driver_ = nullptr;
  return removed;
}

}  // namespace streamcheck
