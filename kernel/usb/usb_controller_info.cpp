// The host controller's identity: its device name from the bus driver, then
// the controller information from the controller itself.
#include "usb/usbcl.h"
#include "base/trace.h"
#include "usb/usb_trace_events.h"

namespace {

constexpr ULONG kNameHeaderSize = FIELD_OFFSET(USB_HUB_NAME, HubName);  // the ActualLength field
// A counted string holds at most 0xFFFF bytes.
constexpr ULONG kMaximumNameLength = 0xFFFF;

enum : ULONG { kStepProbe = 1, kStepName = 2 };

}  // namespace

NTSTATUS CUSBCL::QueryControllerInfo(PUSB_CONTROLLER_INFO_0 Info) {
  if (Info == nullptr) return STATUS_INVALID_PARAMETER;
  if (m_LowerDevice == nullptr) return STATUS_INVALID_DEVICE_STATE;

  // First ask with room for nothing but the length.
  USB_HUB_NAME probe;
  RtlZeroMemory(&probe, sizeof(probe));
  NTSTATUS status = SendInternalRequest(IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME, &probe,
                                        reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(sizeof(probe))));
  const ULONG actualLength = probe.ActualLength;
  if (actualLength == 0 || actualLength > kMaximumNameLength) {
    if (NT_SUCCESS(status)) status = STATUS_UNSUCCESSFUL;
    Trace(TRACE_LEVEL_ERROR, TraceUsbControllerNameFailed, kStepProbe, status, actualLength);
    return status;
  }

  const ULONG bufferLength = actualLength + kNameHeaderSize;
  PUSB_HUB_NAME name = static_cast<PUSB_HUB_NAME>(AllocateDriverPool(bufferLength, kPoolTagDriver));
  if (name == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceUsbAllocFailed, bufferLength);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  status = SendInternalRequest(IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME, name,
                               reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(bufferLength)));
  if (!NT_SUCCESS(status)) {
    Trace(TRACE_LEVEL_ERROR, TraceUsbControllerNameFailed, kStepName, status, name->ActualLength);
    FreeDriverPool(name, kPoolTagDriver);
    return status;
  }

  // The characters follow the length field; never more than the buffer
  // holds, whole characters only, without terminating zeros.
  PWCH characters = reinterpret_cast<PWCH>(reinterpret_cast<PUCHAR>(name) + kNameHeaderSize);
  ULONG nameBytes = name->ActualLength < actualLength ? name->ActualLength : actualLength;
  nameBytes &= ~1UL;
  while (nameBytes >= sizeof(WCHAR) && characters[nameBytes / sizeof(WCHAR) - 1] == 0) nameBytes -= sizeof(WCHAR);
  UNICODE_STRING controllerName;
  controllerName.Length = static_cast<USHORT>(nameBytes);
  controllerName.MaximumLength = static_cast<USHORT>(nameBytes);
  controllerName.Buffer = characters;

  PFILE_OBJECT fileObject = nullptr;
  PDEVICE_OBJECT controller = nullptr;
  status = IoGetDeviceObjectPointer(&controllerName, FILE_ALL_ACCESS, &fileObject, &controller);
  if (!NT_SUCCESS(status)) {
    Trace(TRACE_LEVEL_ERROR, TraceUsbControllerOpenFailed, status);
    FreeDriverPool(name, kPoolTagDriver);
    return status;
  }

  PUSBUSER_CONTROLLER_INFO_0 request =
      static_cast<PUSBUSER_CONTROLLER_INFO_0>(AllocateDriverPool(sizeof(USBUSER_CONTROLLER_INFO_0), kPoolTagDriver));
  if (request == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceUsbAllocFailed, sizeof(USBUSER_CONTROLLER_INFO_0));
    status = STATUS_INSUFFICIENT_RESOURCES;
  } else {
    request->Header.UsbUserRequest = USBUSER_GET_CONTROLLER_INFO_0;
    request->Header.RequestBufferLength = sizeof(USBUSER_CONTROLLER_INFO_0);
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    RtlZeroMemory(&ioStatus, sizeof(ioStatus));
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp =
        IoBuildDeviceIoControlRequest(IOCTL_USB_USER_REQUEST, controller, request, sizeof(USBUSER_CONTROLLER_INFO_0),
                                      request, sizeof(USBUSER_CONTROLLER_INFO_0), FALSE, &event, &ioStatus);
    if (irp == nullptr) {
      Trace(TRACE_LEVEL_ERROR, TraceUsbIrpBuildFailed, IOCTL_USB_USER_REQUEST);
      status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
      status = IoCallDriver(controller, irp);
      if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
      }
      // The controller reports its own verdict inside the answer as well.
      if (NT_SUCCESS(status) && request->Header.UsbUserStatusCode != UsbUserSuccess) status = STATUS_UNSUCCESSFUL;
      if (NT_SUCCESS(status)) {
        RtlCopyMemory(Info, &request->Info0, sizeof(USB_CONTROLLER_INFO_0));
        Trace(TRACE_LEVEL_INFORMATION, TraceUsbControllerInfo, Info->PciVendorId, Info->PciDeviceId,
              Info->ControllerFlavor);
      } else {
        Trace(TRACE_LEVEL_ERROR, TraceUsbControllerInfoFailed, status, request->Header.UsbUserStatusCode);
      }
    }
    FreeDriverPool(request, kPoolTagDriver);
  }
  ObDereferenceObject(fileObject);
  FreeDriverPool(name, kPoolTagDriver);
  Trace(TRACE_LEVEL_VERBOSE, TraceUsbOperationDone, UsbOpQueryControllerInfo, status, actualLength);
  return status;
}
