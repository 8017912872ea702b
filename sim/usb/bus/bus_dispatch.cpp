#include "sim/usb/bus/bus_dispatch.h"

#include <usbbusif.h>
#include <usbioctl.h>
#include <usbuser.h>

#include <cstring>

#include "sim/usb/bus/bus_interface.h"
#include "sim/usb/bus/host_controller.h"
#include "sim/usb/bus/pdo_extension.h"

namespace sim::usb {

namespace {

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// ---- host controller FDO ----

NTSTATUS FdoCreateClose(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); }

NTSTATUS FdoDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  auto* ext = static_cast<FdoExtension*>(device->DeviceExtension);
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  if (ext == nullptr || ext->signature != kFdoSignature) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  if (sp->Parameters.DeviceIoControl.IoControlCode != IOCTL_USB_USER_REQUEST) {
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
  ULONG inLength = sp->Parameters.DeviceIoControl.InputBufferLength;
  ULONG outLength = sp->Parameters.DeviceIoControl.OutputBufferLength;
  auto* header = static_cast<PUSBUSER_REQUEST_HEADER>(irp->AssociatedIrp.SystemBuffer);
  if (header == nullptr || inLength < sizeof(USBUSER_REQUEST_HEADER) || outLength < sizeof(USBUSER_REQUEST_HEADER)) {
    return Complete(irp, STATUS_BUFFER_TOO_SMALL);
  }
  ULONG room = inLength < outLength ? inLength : outLength;
  if (header->RequestBufferLength > room) {
    header->UsbUserStatusCode = UsbUserInvalidHeaderParameter;
    return Complete(irp, STATUS_SUCCESS, sizeof(USBUSER_REQUEST_HEADER));
  }
  if (header->UsbUserRequest != USBUSER_GET_CONTROLLER_INFO_0) {
    header->UsbUserStatusCode = UsbUserInvalidRequestCode;
    return Complete(irp, STATUS_SUCCESS, sizeof(USBUSER_REQUEST_HEADER));
  }
  header->ActualBufferLength = sizeof(USBUSER_CONTROLLER_INFO_0);
  if (header->RequestBufferLength < sizeof(USBUSER_CONTROLLER_INFO_0)) {
    header->UsbUserStatusCode = UsbUserBufferTooSmall;
    return Complete(irp, STATUS_SUCCESS, sizeof(USBUSER_REQUEST_HEADER));
  }
  ControllerInfo info = ext->controller->Info();
  auto* answer = reinterpret_cast<PUSBUSER_CONTROLLER_INFO_0>(header);
  answer->Info0.PciVendorId = info.pciVendorId;
  answer->Info0.PciDeviceId = info.pciDeviceId;
  answer->Info0.PciRevision = info.pciRevision;
  answer->Info0.NumberOfRootPorts = info.numberOfRootPorts;
  answer->Info0.ControllerFlavor = info.flavor;
  answer->Info0.HcFeatureFlags = info.hcFeatureFlags;
  header->UsbUserStatusCode = UsbUserSuccess;
  return Complete(irp, STATUS_SUCCESS, sizeof(USBUSER_CONTROLLER_INFO_0));
}

// ---- device PDOs ----

NTSTATUS GetControllerName(PdoExtension* ext, PIRP irp, PIO_STACK_LOCATION sp) {
  auto* name = static_cast<PUSB_HUB_NAME>(sp->Parameters.Others.Argument1);
  auto length = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(sp->Parameters.Others.Argument2));
  if (name == nullptr || length < sizeof(ULONG)) return Complete(irp, STATUS_BUFFER_TOO_SMALL);
  const std::u16string& text = ext->controllerName;
  ULONG bytes = static_cast<ULONG>(text.size() * sizeof(WCHAR));
  name->ActualLength = bytes;
  // A buffer too small for the whole name gets the length alone.
  if (length >= sizeof(ULONG) + bytes) {
    memcpy(name->HubName, text.data(), bytes);
    if (length >= sizeof(ULONG) + bytes + sizeof(WCHAR)) name->HubName[text.size()] = 0;
  }
  return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS PdoInternalDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  PdoExtension* ext = PdoExt(device);
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  if (ext == nullptr) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  switch (sp->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
      if (ext->removed) {
        auto* urb = static_cast<PURB>(sp->Parameters.Others.Argument1);
        if (urb) urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
        return Complete(irp, STATUS_NO_SUCH_DEVICE);
      }
      return ext->controller->SubmitUrb(ext->slot, irp);
    case IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME:
      return GetControllerName(ext, irp, sp);
    default:
      return Complete(irp, STATUS_NOT_SUPPORTED);
  }
}

NTSTATUS PdoPnp(PDEVICE_OBJECT device, PIRP irp) {
  PdoExtension* ext = PdoExt(device);
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;  // a bus driver keeps what it does not handle
  if (ext == nullptr) return Complete(irp, status);
  switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE:
      ext->started = true;
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_STOP_DEVICE:
      ext->started = false;
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_SURPRISE_REMOVAL:
      ext->started = false;
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE:
      ext->started = false;
      // The PDO itself stays until the bus driver no longer reports it
      // (unplug); the bus owner deletes it then.
      ext->removed = ext->slot->gone;
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES caps = sp->Parameters.DeviceCapabilities.Capabilities;
      if (caps == nullptr || caps->Size < sizeof(DEVICE_CAPABILITIES)) {
        status = STATUS_INVALID_PARAMETER;
        break;
      }
      caps->Removable = 1;
      caps->SurpriseRemovalOK = 1;
      caps->UniqueID = ext->uniqueSerial ? 1 : 0;
      caps->Address = ext->slot->port();
      caps->UINumber = ext->slot->port();
      caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
      for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) caps->DeviceState[s] = PowerDeviceD3;
      caps->SystemWake = PowerSystemUnspecified;
      caps->DeviceWake = PowerDeviceUnspecified;
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_QUERY_INTERFACE:
      if (sp->Parameters.QueryInterface.InterfaceType != nullptr &&
          IsEqualGUID(*sp->Parameters.QueryInterface.InterfaceType, USB_BUS_INTERFACE_USBDI_GUID)) {
        status = QueryUsbdiBusInterface(ext, sp);
      }
      break;
    default:
      break;
  }
  return Complete(irp, status, irp->IoStatus.Information);
}

NTSTATUS PdoPower(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  if (sp->MinorFunction == IRP_MN_SET_POWER || sp->MinorFunction == IRP_MN_QUERY_POWER) status = STATUS_SUCCESS;
  PoStartNextPowerIrp(irp);
  return Complete(irp, status);
}

NTSTATUS PdoDefault(PDEVICE_OBJECT, PIRP irp) {
  NTSTATUS status = irp->IoStatus.Status;
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  if (sp->MajorFunction == IRP_MJ_CREATE || sp->MajorFunction == IRP_MJ_CLOSE || sp->MajorFunction == IRP_MJ_CLEANUP) {
    status = STATUS_SUCCESS;
  } else if (sp->MajorFunction != IRP_MJ_SYSTEM_CONTROL) {
    status = STATUS_INVALID_DEVICE_REQUEST;
  }
  return Complete(irp, status);
}

void UnloadNothing(PDRIVER_OBJECT) {}

}  // namespace

NTSTATUS HostControllerDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_CREATE] = FdoCreateClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = FdoCreateClose;
  driver->MajorFunction[IRP_MJ_CLEANUP] = FdoCreateClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = FdoDeviceControl;
  driver->DriverUnload = UnloadNothing;
  return STATUS_SUCCESS;
}

NTSTATUS BusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = PdoDefault;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = PdoInternalDeviceControl;
  driver->MajorFunction[IRP_MJ_PNP] = PdoPnp;
  driver->MajorFunction[IRP_MJ_POWER] = PdoPower;
  driver->DriverUnload = UnloadNothing;
  return STATUS_SUCCESS;
}

}  // namespace sim::usb
