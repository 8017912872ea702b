// The USBDI bus interface of the bus driver, queried with IRP_MN_QUERY_INTERFACE.
#include "usb/usbcl.h"
#include "base/trace.h"
#include "usb/usb_trace_events.h"

namespace {

// USB_BUS_INTERFACE_USBDI_GUID. <usbbusif.h> only declares it, and no import
// library of the kernel defines it: the driver carries its own instance.
constexpr GUID kUsbBusInterfaceUsbdiGuid = {
    0xb1a96a13, 0x3de0, 0x4574, {0x9b, 0x01, 0xc0, 0x8f, 0xea, 0xb3, 0x18, 0xd6}};

NTSTATUS QueryInterfaceCompletion(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
  if (Irp->PendingReturned) KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  // The IRP is ours: the caller frees it.
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS CUSBCL::QueryBusInterface(PUSB_BUS_INTERFACE_USBDI_V1 Interface) {
  if (m_LowerDevice == nullptr) return STATUS_INVALID_DEVICE_STATE;
  RtlZeroMemory(Interface, sizeof(*Interface));
  PIRP irp = IoAllocateIrp(m_LowerDevice->StackSize, FALSE);
  if (irp == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceUsbBusInterfaceFailed, STATUS_INSUFFICIENT_RESOURCES);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_PNP;
  stack->MinorFunction = IRP_MN_QUERY_INTERFACE;
  stack->Parameters.QueryInterface.InterfaceType = &kUsbBusInterfaceUsbdiGuid;
  stack->Parameters.QueryInterface.Size = static_cast<USHORT>(sizeof(USB_BUS_INTERFACE_USBDI_V1));
  stack->Parameters.QueryInterface.Version = USB_BUSIF_USBDI_VERSION_1;
  stack->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(Interface);
  stack->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
  IoSetCompletionRoutine(irp, QueryInterfaceCompletion, &event, TRUE, TRUE, TRUE);
  if (IoCallDriver(m_LowerDevice, irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  }
  const NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  if (!NT_SUCCESS(status)) {
    Trace(TRACE_LEVEL_ERROR, TraceUsbBusInterfaceFailed, status);
    return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CUSBCL::GetBusInterface() {
  USB_BUS_INTERFACE_USBDI_V1 busInterface;
  const NTSTATUS status = QueryBusInterface(&busInterface);
  if (!NT_SUCCESS(status)) return status;
  if (m_BusInterface.InterfaceDereference != nullptr) m_BusInterface.InterfaceDereference(m_BusInterface.BusContext);
  m_BusInterface = busInterface;
  return STATUS_SUCCESS;
}

NTSTATUS CUSBCL::QueryHighSpeed() {
  USB_BUS_INTERFACE_USBDI_V1 busInterface;
  const NTSTATUS status = QueryBusInterface(&busInterface);
  if (!NT_SUCCESS(status)) return status;
  if (busInterface.IsDeviceHighSpeed == nullptr) {
    // A bus driver that answered with an older interface version.
    Trace(TRACE_LEVEL_ERROR, TraceUsbBusInterfaceIncomplete, busInterface.Size, busInterface.Version);
    m_HighSpeed = 0;
  } else {
    m_HighSpeed = busInterface.IsDeviceHighSpeed(busInterface.BusContext) ? 1 : 0;
  }
  if (busInterface.InterfaceDereference != nullptr) busInterface.InterfaceDereference(busInterface.BusContext);
  return STATUS_SUCCESS;
}
