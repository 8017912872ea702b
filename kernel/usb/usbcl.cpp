// Life cycle, attach and the synchronous requests of the USB request layer.
#include "usb/usbcl.h"
#include "base/trace.h"
#include "usb/usb_descriptors.h"
#include "usb/usb_trace_events.h"

namespace {

constexpr ULONG kDeviceDescriptorSize = sizeof(USB_DEVICE_DESCRIPTOR);
constexpr ULONG kConfigurationHeaderSize = 9;
constexpr ULONG kLanguageListHeadSize = 4;

// Lookaside entries come from the driver's pool type (no-execute where the
// system has it), whatever type the list itself was created for.
PVOID AllocateLookasideEntry(POOL_TYPE, SIZE_T size, ULONG tag) {
  return ExAllocatePoolWithTag(DriverPoolType(), size, tag);
}

void FreeLookasideEntry(PVOID entry) { ExFreePoolWithTag(entry, kPoolTagDriver); }

}  // namespace

CUSBCL::CUSBCL()
    : m_HighSpeed(0),
      m_DeviceDescriptor(),
      m_ConfigurationDescriptor(nullptr),
      m_LowerDevice(nullptr),
      m_ConfigurationHandle(nullptr),
      m_InterfaceCount(0),
      m_Interfaces(nullptr),
      m_InterfaceMutex(),
      m_LanguageList(nullptr),
      m_BusInterface(),
      m_ContextList(nullptr),
      m_UrbList(nullptr),
      m_IrpPoolLock(0),
      m_FreeIrps(),
      m_IrpsInUse(0),
      m_IrpsIdle(),
      m_LookasideBlock(nullptr) {
  constexpr SIZE_T kAlignment = alignof(NPAGED_LOOKASIDE_LIST);
  m_LookasideBlock = AllocateDriverPool(2 * sizeof(NPAGED_LOOKASIDE_LIST) + kAlignment - 1, kPoolTagDriver);
  if (m_LookasideBlock != nullptr) {
    const ULONG_PTR aligned = (reinterpret_cast<ULONG_PTR>(m_LookasideBlock) + kAlignment - 1) & ~(kAlignment - 1);
    m_ContextList = reinterpret_cast<PNPAGED_LOOKASIDE_LIST>(aligned);
    m_UrbList = m_ContextList + 1;
    ExInitializeNPagedLookasideList(m_ContextList, AllocateLookasideEntry, FreeLookasideEntry, 0,
                                    sizeof(TransferContext), kPoolTagDriver, 0);
    ExInitializeNPagedLookasideList(m_UrbList, AllocateLookasideEntry, FreeLookasideEntry, 0, kIsoUrbSize,
                                    kPoolTagDriver, 0);
  } else {
    Trace(TRACE_LEVEL_ERROR, TraceUsbAllocFailed, 2 * sizeof(NPAGED_LOOKASIDE_LIST) + kAlignment - 1);
  }
  KeInitializeMutex(&m_InterfaceMutex, 0);
  KeInitializeSpinLock(&m_IrpPoolLock);
  InitializeListHead(&m_FreeIrps);
  KeInitializeEvent(&m_IrpsIdle, NotificationEvent, TRUE);
}

CUSBCL::~CUSBCL() {
  // Completions still to come would use the lists and the pool freed below.
  WaitForTransfers();
  FreeIrpPool();
  FreeInterfaces();
  FreeDriverPool(m_ConfigurationDescriptor, kPoolTagDriver);
  m_ConfigurationDescriptor = nullptr;
  FreeDriverPool(m_LanguageList, kPoolTagDriver);
  m_LanguageList = nullptr;
  // Both bus interface queries took a reference; QueryHighSpeed dropped its own.
  if (m_BusInterface.InterfaceDereference != nullptr) m_BusInterface.InterfaceDereference(m_BusInterface.BusContext);
  RtlZeroMemory(&m_BusInterface, sizeof(m_BusInterface));
  if (m_LookasideBlock != nullptr) {
    ExDeleteNPagedLookasideList(m_UrbList);
    ExDeleteNPagedLookasideList(m_ContextList);
    FreeDriverPool(m_LookasideBlock, kPoolTagDriver);
  }
  m_ContextList = nullptr;
  m_UrbList = nullptr;
  m_LookasideBlock = nullptr;
}

void CUSBCL::WaitForTransfers() {
  if (m_IrpsInUse != 0) Trace(TRACE_LEVEL_WARNING, TraceUsbWaitForTransfers, m_IrpsInUse);
  KeWaitForSingleObject(&m_IrpsIdle, Executive, KernelMode, FALSE, nullptr);
}

NTSTATUS CUSBCL::Attach(PDEVICE_OBJECT LowerDevice, ULONG IrpPoolSize) {
  Trace(TRACE_LEVEL_INFORMATION, TraceUsbAttach, LowerDevice, IrpPoolSize);
  if (LowerDevice == nullptr) return STATUS_INVALID_PARAMETER;
  if (m_LowerDevice != nullptr) return STATUS_INVALID_DEVICE_STATE;
  if (m_LookasideBlock == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  m_LowerDevice = LowerDevice;

  const ULONG poolSize = IrpPoolSize == 0 ? kDefaultIrpPoolSize : IrpPoolSize;
  for (ULONG i = 0; i < poolSize; ++i) {
    PIRP irp = AllocatePoolIrp();
    if (irp == nullptr) {
      Trace(TRACE_LEVEL_WARNING, TraceUsbIrpAllocFailed, i, m_LowerDevice->StackSize);
      continue;
    }
    AddIrpToPool(irp);
  }

  NTSTATUS status = GetBusInterface();
  if (NT_SUCCESS(status)) status = QueryHighSpeed();
  if (NT_SUCCESS(status)) status = ReadDeviceDescriptor();
  if (NT_SUCCESS(status)) status = ReadConfigurationDescriptor();
  if (NT_SUCCESS(status)) status = ReadLanguageList();
  Trace(NT_SUCCESS(status) ? TRACE_LEVEL_INFORMATION : TRACE_LEVEL_ERROR, TraceUsbAttachDone, status);
  return status;
}

NTSTATUS CUSBCL::ReadDescriptor(UCHAR Type, UCHAR Index, USHORT LanguageId, PVOID Buffer, ULONG Length,
                                PULONG Returned) {
  *Returned = 0;
  URB urb;
  RtlZeroMemory(&urb, sizeof(urb));
  UsbBuildGetDescriptorRequest(&urb, static_cast<USHORT>(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)), Type, Index,
                               LanguageId, Buffer, nullptr, Length, nullptr);
  const NTSTATUS status = SubmitUrb(&urb);
  if (!NT_SUCCESS(status)) {
    Trace(TRACE_LEVEL_ERROR, TraceUsbDescriptorReadFailed, Type, Index, status, urb.UrbHeader.Status);
    return status;
  }
  const ULONG returned = urb.UrbControlDescriptorRequest.TransferBufferLength;
  if (returned > Length) {
    // A bus driver never reports more than it was given room for.
    Trace(TRACE_LEVEL_ERROR, TraceUsbDescriptorShort, Type, Index, Length, returned);
    return STATUS_NOT_SUPPORTED;
  }
  *Returned = returned;
  return STATUS_SUCCESS;
}

NTSTATUS CUSBCL::ReadExactDescriptor(UCHAR Type, UCHAR Index, USHORT LanguageId, PVOID Buffer, ULONG Length) {
  ULONG returned = 0;
  const NTSTATUS status = ReadDescriptor(Type, Index, LanguageId, Buffer, Length, &returned);
  if (!NT_SUCCESS(status)) return status;
  if (returned != Length) {
    Trace(TRACE_LEVEL_ERROR, TraceUsbDescriptorShort, Type, Index, Length, returned);
    return STATUS_NOT_SUPPORTED;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CUSBCL::ReadDeviceDescriptor() {
  const NTSTATUS status =
      ReadExactDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &m_DeviceDescriptor, kDeviceDescriptorSize);
  if (NT_SUCCESS(status)) {
    Trace(TRACE_LEVEL_INFORMATION, TraceUsbDeviceDescriptor, m_DeviceDescriptor.idVendor, m_DeviceDescriptor.idProduct,
          m_DeviceDescriptor.bcdUSB, m_HighSpeed);
  }
  return status;
}

NTSTATUS CUSBCL::ReadConfigurationDescriptor() {
  USB_CONFIGURATION_DESCRIPTOR head;
  RtlZeroMemory(&head, sizeof(head));
  NTSTATUS status = ReadExactDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, &head, kConfigurationHeaderSize);
  if (!NT_SUCCESS(status)) return status;
  const ULONG totalLength = head.wTotalLength;
  if (totalLength < kConfigurationHeaderSize) {
    Trace(TRACE_LEVEL_ERROR, TraceUsbConfigTotalLengthBad, totalLength, totalLength);
    return STATUS_NOT_SUPPORTED;
  }
  PUSB_CONFIGURATION_DESCRIPTOR config =
      static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(AllocateDriverPool(totalLength, kPoolTagDriver));
  if (config == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceUsbAllocFailed, totalLength);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  status = ReadExactDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, config, totalLength);
  if (NT_SUCCESS(status) && config->wTotalLength != totalLength) {
    // The second read must describe the same set as the first.
    Trace(TRACE_LEVEL_ERROR, TraceUsbConfigTotalLengthBad, config->wTotalLength, totalLength);
    status = STATUS_NOT_SUPPORTED;
  }
  if (NT_SUCCESS(status)) status = CheckConfigurationDescriptor(config, totalLength);
  if (!NT_SUCCESS(status)) {
    FreeDriverPool(config, kPoolTagDriver);
    return status;
  }
  FreeDriverPool(m_ConfigurationDescriptor, kPoolTagDriver);
  m_ConfigurationDescriptor = config;
  return STATUS_SUCCESS;
}

NTSTATUS CUSBCL::ReadLanguageList() {
  UCHAR head[kLanguageListHeadSize] = {};
  NTSTATUS status = ReadExactDescriptor(USB_STRING_DESCRIPTOR_TYPE, 0, 0, head, sizeof(head));
  if (!NT_SUCCESS(status)) return status;
  const ULONG listLength = head[0];
  if (listLength < 2) {
    Trace(TRACE_LEVEL_ERROR, TraceUsbLanguageListBad, listLength);
    return STATUS_NOT_SUPPORTED;
  }
  PUCHAR list = static_cast<PUCHAR>(AllocateDriverPool(listLength, kPoolTagDriver));
  if (list == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceUsbAllocFailed, listLength);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  status = ReadExactDescriptor(USB_STRING_DESCRIPTOR_TYPE, 0, 0, list, listLength);
  if (NT_SUCCESS(status) && list[0] != listLength) {
    // The list is later walked by its own bLength: it must be what was read.
    Trace(TRACE_LEVEL_ERROR, TraceUsbLanguageListBad, list[0]);
    status = STATUS_NOT_SUPPORTED;
  }
  if (!NT_SUCCESS(status)) {
    FreeDriverPool(list, kPoolTagDriver);
    return status;
  }
  FreeDriverPool(m_LanguageList, kPoolTagDriver);
  m_LanguageList = list;
  return STATUS_SUCCESS;
}

NTSTATUS CUSBCL::SendInternalRequest(ULONG ControlCode, PVOID Argument1, PVOID Argument2) {
  if (m_LowerDevice == nullptr) return STATUS_INVALID_DEVICE_STATE;
  KEVENT event;
  IO_STATUS_BLOCK ioStatus;
  RtlZeroMemory(&ioStatus, sizeof(ioStatus));
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(ControlCode, m_LowerDevice, nullptr, 0, nullptr, 0, TRUE, &event, &ioStatus);
  if (irp == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceUsbIrpBuildFailed, ControlCode);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->Parameters.Others.Argument1 = Argument1;
  stack->Parameters.Others.Argument2 = Argument2;
  // A request that did not pend has its final status in the return value;
  // the status block is filled when the I/O manager finishes the IRP.
  NTSTATUS status = IoCallDriver(m_LowerDevice, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = ioStatus.Status;
  }
  return status;
}

NTSTATUS CUSBCL::SubmitUrb(PURB Urb) {
  if (Urb == nullptr) return STATUS_INVALID_PARAMETER;
  const NTSTATUS status = SendInternalRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, Urb, nullptr);
  if (!NT_SUCCESS(status)) {
    Trace(TRACE_LEVEL_ERROR, TraceUsbSubmitUrbFailed, Urb->UrbHeader.Function, status, Urb->UrbHeader.Status);
  }
  return status;
}

NTSTATUS CUSBCL::ClassRequest(UCHAR RequestType, UCHAR Request, USHORT Value, USHORT Index, USHORT Length,
                              PVOID Buffer) {
  static const USHORT kClassFunctions[4] = {URB_FUNCTION_CLASS_DEVICE, URB_FUNCTION_CLASS_INTERFACE,
                                            URB_FUNCTION_CLASS_ENDPOINT, URB_FUNCTION_CLASS_OTHER};
  static const USHORT kVendorFunctions[4] = {URB_FUNCTION_VENDOR_DEVICE, URB_FUNCTION_VENDOR_INTERFACE,
                                             URB_FUNCTION_VENDOR_ENDPOINT, URB_FUNCTION_VENDOR_OTHER};
  const UCHAR type = (RequestType >> 5) & 3;  // 0 standard, 1 class, 2 vendor, 3 reserved
  const UCHAR recipient = RequestType & 0x1F;
  if (type == 0 || type == 3 || recipient > 3 || (Length != 0 && Buffer == nullptr)) {
    Trace(TRACE_LEVEL_ERROR, TraceUsbClassRequestRejected, RequestType, Request, Length);
    return STATUS_INVALID_PARAMETER;
  }
  URB urb;
  RtlZeroMemory(&urb, sizeof(urb));
  const USHORT function = type == 1 ? kClassFunctions[recipient] : kVendorFunctions[recipient];
  const ULONG flags = (RequestType & 0x80) != 0 ? USBD_TRANSFER_DIRECTION_IN : 0;
  UsbBuildVendorRequest(&urb, function, static_cast<USHORT>(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)), flags,
                        0, Request, Value, Index, Buffer, nullptr, Length, nullptr);
  const NTSTATUS status = SubmitUrb(&urb);
  if (!NT_SUCCESS(status)) Trace(TRACE_LEVEL_ERROR, TraceUsbClassRequestFailed, RequestType, Request, status);
  Trace(TRACE_LEVEL_VERBOSE, TraceUsbOperationDone, UsbOpClassRequest, status, RequestType, Request);
  return status;
}

NTSTATUS CUSBCL::AbortPipe(PUSBD_PIPE_INFORMATION Pipe) { return SendPipeRequest(Pipe, URB_FUNCTION_ABORT_PIPE); }

NTSTATUS CUSBCL::ResetPipe(PUSBD_PIPE_INFORMATION Pipe) {
  return SendPipeRequest(Pipe, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL);
}

NTSTATUS CUSBCL::SendPipeRequest(PUSBD_PIPE_INFORMATION Pipe, USHORT Function) {
  if (Pipe == nullptr || Pipe->PipeHandle == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceUsbPipeRequestRejected, Function, KeGetCurrentIrql());
    return STATUS_INVALID_PARAMETER;
  }
  if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
    Trace(TRACE_LEVEL_ERROR, TraceUsbPipeRequestRejected, Function, KeGetCurrentIrql());
    return STATUS_UNSUCCESSFUL;
  }
  URB urb;
  RtlZeroMemory(&urb, sizeof(urb));
  urb.UrbHeader.Length = static_cast<USHORT>(sizeof(struct _URB_PIPE_REQUEST));
  urb.UrbHeader.Function = Function;
  urb.UrbPipeRequest.PipeHandle = Pipe->PipeHandle;
  const NTSTATUS status = SubmitUrb(&urb);
  if (!NT_SUCCESS(status)) Trace(TRACE_LEVEL_ERROR, TraceUsbPipeRequestFailed, Function, Pipe->EndpointAddress, status);
  Trace(TRACE_LEVEL_VERBOSE, TraceUsbOperationDone, UsbOpPipeRequest, status, Function, Pipe->EndpointAddress);
  return status;
}
