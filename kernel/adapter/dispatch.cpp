#include "adapter/dispatch.h"

#include "adapter/adapter_common.h"
#include "adapter/adapter_extension.h"
#include "adapter/adapter_trace_events.h"
#include "adapter/asio_file_context.h"
#include "base/trace.h"

namespace {

const WCHAR kPrivateFileName[] = L"\\asio";

NTSTATUS Complete(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

CAsioFileContext* ContextOf(PIRP Irp) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  return file != nullptr ? static_cast<CAsioFileContext*>(file->FsContext2) : nullptr;
}

// Cleanup, read, write and device control: inside the request gate.
NTSTATUS DispatchPrivate(PIRP Irp, NTSTATUS (CAsioFileContext::*Operation)(PIRP)) {
  Irp->IoStatus.Information = 0;
  CAsioFileContext* context = ContextOf(Irp);
  NTSTATUS status = STATUS_INVALID_DEVICE_STATE;
  if (context != nullptr) {
    CRequestGate& gate = context->Adapter()->RequestGate();
    if (gate.Acquire()) {
      status = (context->*Operation)(Irp);
      gate.Release();
    } else {
      status = STATUS_DELETE_PENDING;
    }
  }
  if (status == STATUS_PENDING) {
    return status;
  }
  return Complete(Irp, status);
}

}  // namespace

BOOLEAN IsPrivateFileObject(PIRP Irp) {
  // Built from the literal once, before any request can race for it.
  static const UNICODE_STRING privateName = {sizeof(kPrivateFileName) - sizeof(WCHAR), sizeof(kPrivateFileName),
                                             const_cast<PWCH>(kPrivateFileName)};
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  return file != nullptr && RtlCompareUnicodeString(&file->FileName, &privateName, TRUE) == 0;
}

NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (!IsPrivateFileObject(Irp)) {
    return PcDispatchIrp(DeviceObject, Irp);
  }
  Irp->IoStatus.Information = 0;
  AdapterExtension* extension = GetAdapterExtension(DeviceObject);
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  KeWaitForSingleObject(&extension->ExtensionMutex, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = STATUS_SUCCESS;
  auto* adapter = static_cast<CAdapterCommon*>(extension->Adapter);
  if (extension->RemovePending != 0 || extension->DeviceFailed != 0) {
    status = STATUS_DELETE_PENDING;
  } else if (adapter == nullptr) {
    // Not started: there is no device to talk to.
    status = STATUS_DEVICE_NOT_READY;
  } else {
    auto* context = new (DriverPoolType(), kPoolTagDriver) CAsioFileContext(adapter);
    if (context == nullptr) {
      status = STATUS_INSUFFICIENT_RESOURCES;
    } else if (file->FsContext2 != nullptr) {
      delete context;
      status = STATUS_UNSUCCESSFUL;
    } else {
      file->FsContext2 = context;
      CRequestGate& gate = adapter->RequestGate();
      if (gate.Acquire()) {
        status = context->Create(Irp);
        gate.Release();
      } else {
        status = STATUS_DELETE_PENDING;
      }
      if (NT_SUCCESS(status)) {
        // The private handle keeps the device core alive.
        adapter->AddRef();
      } else {
        file->FsContext2 = nullptr;
        delete context;
      }
    }
  }
  KeReleaseMutex(&extension->ExtensionMutex, FALSE);
  Trace(TRACE_LEVEL_INFORMATION, TraceAdapterPrivate, IRP_MJ_CREATE, status);
  return Complete(Irp, status);
}

NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (!IsPrivateFileObject(Irp)) {
    return PcDispatchIrp(DeviceObject, Irp);
  }
  Irp->IoStatus.Information = 0;
  CAsioFileContext* context = ContextOf(Irp);
  if (context == nullptr) {
    return Complete(Irp, STATUS_SUCCESS);
  }
  CAdapterCommon* adapter = context->Adapter();
  CRequestGate& gate = adapter->RequestGate();
  NTSTATUS status = STATUS_DELETE_PENDING;
  if (gate.Acquire()) {
    status = context->Close(Irp);
    gate.Release();
  }
  // Whatever the gate said, the handle is gone.
  IoGetCurrentIrpStackLocation(Irp)->FileObject->FsContext2 = nullptr;
  delete context;
  adapter->Release();
  return Complete(Irp, status);
}

NTSTATUS DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (!IsPrivateFileObject(Irp)) {
    return PcDispatchIrp(DeviceObject, Irp);
  }
  return DispatchPrivate(Irp, &CAsioFileContext::Read);
}

NTSTATUS DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (!IsPrivateFileObject(Irp)) {
    return PcDispatchIrp(DeviceObject, Irp);
  }
  return DispatchPrivate(Irp, &CAsioFileContext::Write);
}

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (!IsPrivateFileObject(Irp)) {
    return PcDispatchIrp(DeviceObject, Irp);
  }
  return DispatchPrivate(Irp, &CAsioFileContext::DeviceControl);
}

NTSTATUS DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (!IsPrivateFileObject(Irp)) {
    return PcDispatchIrp(DeviceObject, Irp);
  }
  return DispatchPrivate(Irp, &CAsioFileContext::Cleanup);
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  const UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
  if (minor == IRP_MN_QUERY_REMOVE_DEVICE || minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL) {
    AdapterExtension* extension = GetAdapterExtension(DeviceObject);
    KeWaitForSingleObject(&extension->ExtensionMutex, Executive, KernelMode, FALSE, nullptr);
    extension->RemovePending = 1;
    IAdapterCommon* adapter = extension->Adapter;
    KeReleaseMutex(&extension->ExtensionMutex, FALSE);
    if (adapter != nullptr) {
      adapter->OnDeviceRemoval();
    }
    if (minor == IRP_MN_REMOVE_DEVICE) {
      // The device object goes with this request; whoever still holds the
      // device core must not reach it through the core any more.
      KeWaitForSingleObject(&extension->ExtensionMutex, Executive, KernelMode, FALSE, nullptr);
      extension->Adapter = nullptr;
      KeReleaseMutex(&extension->ExtensionMutex, FALSE);
      if (adapter != nullptr) {
        static_cast<CAdapterCommon*>(adapter)->ForgetDeviceObject();
      }
    }
  }
  return PcDispatchIrp(DeviceObject, Irp);
}

void InstallDispatchHooks(PDRIVER_OBJECT DriverObject) {
  DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  DriverObject->MajorFunction[IRP_MJ_READ] = DispatchRead;
  DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
  DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
}
