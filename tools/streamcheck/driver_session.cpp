#include "tools/streamcheck/driver_session.h"

#include <ntddk.h>

#include "base/pool.h"
#include "base/pool_tags.h"

namespace streamcheck {

DriverSession::DriverSession(sim::testbed::Testbed& bed, sim::usb::UsbAudioDevice& device, bool configure) : bed_(bed) {
  if (NTSTATUS status = bed_.LoadDriver(); !NT_SUCCESS(status)) {
    Fail("LoadDriver", status);
    return;
  }
  pdo_ = bed_.Plug(device);
  if (pdo_ == nullptr) {
    Fail("Plug", STATUS_NO_SUCH_DEVICE);
    return;
  }
  if (NTSTATUS status = bed_.Start(pdo_); !NT_SUCCESS(status)) {
    Fail("StartDevice", status);
    Diagnose();
    return;
  }
  started_ = true;
  PDEVICE_OBJECT fdo = bed_.FunctionDevice(pdo_);
  if (fdo == nullptr) {
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

void DriverSession::Diagnose() {
  // The device core attaches and configures the function during the start;
  // doing the same on the bare device tells which of the two refused it.
  audio_ = new (NonPagedPoolNx, kPoolTagDriver) CUSBAudioCL();
  if (audio_ == nullptr) return;
  NTSTATUS status = audio_->Attach(pdo_, kDeviceStartIrpPool);
  const char* step = "Attach";
  if (NT_SUCCESS(status)) {
    status = audio_->Configure();
    step = "Configure";
  }
  if (!NT_SUCCESS(status)) {
    failedStep_ = step;
    failedStatus_ = status;
  }
  delete audio_;
  audio_ = nullptr;
}

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
  if (started_) removed = bed_.Stop(pdo_);
  return removed;
}

}  // namespace streamcheck
