// Configuration, alternate settings and the interface array with its pipes.
#include "usb/usbcl.h"
#include "base/trace.h"
#include "usb/usb_descriptors.h"
#include "usb/usb_trace_events.h"

namespace {

constexpr ULONG kInterfaceInfoHeaderSize = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes);

// An interface information block from the bus driver whose pipes all lie
// inside its Length.
bool InterfaceInfoSound(const USBD_INTERFACE_INFORMATION* info) {
  if (info == nullptr || info->Length < kInterfaceInfoHeaderSize) return false;
  return info->NumberOfPipes <= (info->Length - kInterfaceInfoHeaderSize) / sizeof(USBD_PIPE_INFORMATION);
}

PUSBD_INTERFACE_INFORMATION CopyInterfaceInfo(const USBD_INTERFACE_INFORMATION* info) {
  PUSBD_INTERFACE_INFORMATION copy =
      static_cast<PUSBD_INTERFACE_INFORMATION>(AllocateDriverPool(info->Length, kPoolTagDriver));
  if (copy == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceUsbAllocFailed, info->Length);
    return nullptr;
  }
  RtlCopyMemory(copy, info, info->Length);
  return copy;
}

class InterfaceLock {
 public:
  explicit InterfaceLock(PKMUTEX mutex) : m_Mutex(mutex) {
    KeWaitForSingleObject(m_Mutex, Executive, KernelMode, FALSE, nullptr);
  }
  ~InterfaceLock() { KeReleaseMutex(m_Mutex, FALSE); }
  InterfaceLock(const InterfaceLock&) = delete;
  InterfaceLock& operator=(const InterfaceLock&) = delete;

 private:
  PKMUTEX m_Mutex;
};

}  // namespace

PUSBD_INTERFACE_LIST_ENTRY CUSBCL::CreateInterfaceList(PLONG EntryCount) {
  if (EntryCount != nullptr) *EntryCount = 0;
  PUSB_CONFIGURATION_DESCRIPTOR config = m_ConfigurationDescriptor;
  if (config == nullptr) return nullptr;
  const ULONG interfaces = config->bNumInterfaces;
  PUSBD_INTERFACE_LIST_ENTRY list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
      AllocateDriverPool((interfaces + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY), kPoolTagDriver));
  if (list == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceUsbAllocFailed, (interfaces + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY));
    return nullptr;
  }
  LONG count = 0;
  for (ULONG number = 0; number < interfaces; ++number) {
    PUSB_INTERFACE_DESCRIPTOR descriptor = FindInterfaceDescriptor(config, static_cast<UCHAR>(number), 0);
    if (descriptor != nullptr) list[count++].InterfaceDescriptor = descriptor;
  }
  if (count == 0) {
    // Nothing to configure: bNumInterfaces is 0 or names no interface present.
    Trace(TRACE_LEVEL_ERROR, TraceUsbInterfaceListEmpty, interfaces);
    FreeDriverPool(list, kPoolTagDriver);
    return nullptr;
  }
  if (EntryCount != nullptr) *EntryCount = count;
  return list;
}

void CUSBCL::FreeInterfaceList(PUSBD_INTERFACE_LIST_ENTRY List) { FreeDriverPool(List, kPoolTagDriver); }

NTSTATUS CUSBCL::ConfigurationRequest(PUSBD_INTERFACE_LIST_ENTRY InterfaceList, LONG EntryCount) {
  PUSB_CONFIGURATION_DESCRIPTOR config = m_ConfigurationDescriptor;
  if (config == nullptr) return STATUS_INVALID_DEVICE_STATE;
  if (InterfaceList == nullptr || EntryCount <= 0) return STATUS_INVALID_PARAMETER;
  // Every entry before the terminating one must name an interface descriptor
  // of our own configuration: usbd walks them by their bNumEndpoints.
  const PUCHAR begin = reinterpret_cast<PUCHAR>(config);
  const PUCHAR end = begin + config->wTotalLength;
  for (LONG i = 0; i < EntryCount; ++i) {
    const PUCHAR descriptor = reinterpret_cast<PUCHAR>(InterfaceList[i].InterfaceDescriptor);
    if (descriptor < begin || descriptor + sizeof(USB_INTERFACE_DESCRIPTOR) > end) {
      Trace(TRACE_LEVEL_ERROR, TraceUsbInterfaceMissing, i, EntryCount);
      return STATUS_INVALID_PARAMETER;
    }
  }
  if (InterfaceList[EntryCount].InterfaceDescriptor != nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceUsbInterfaceMissing, EntryCount, EntryCount);
    return STATUS_INVALID_PARAMETER;
  }

  PURB urb = USBD_CreateConfigurationRequestEx(config, InterfaceList);
  if (urb == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceUsbConfigureFailed, STATUS_INSUFFICIENT_RESOURCES, EntryCount);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  NTSTATUS status = SubmitUrb(urb);
  if (NT_SUCCESS(status)) {
    InterfaceLock lock(&m_InterfaceMutex);
    FreeInterfaces();
    m_ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
    m_Interfaces = static_cast<PUSBD_INTERFACE_INFORMATION*>(
        AllocateDriverPool(EntryCount * sizeof(PUSBD_INTERFACE_INFORMATION), kPoolTagDriver));
    if (m_Interfaces == nullptr) {
      Trace(TRACE_LEVEL_ERROR, TraceUsbAllocFailed, EntryCount * sizeof(PUSBD_INTERFACE_INFORMATION));
      status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
      m_InterfaceCount = EntryCount;
      for (LONG i = 0; i < EntryCount && NT_SUCCESS(status); ++i) {
        const USBD_INTERFACE_INFORMATION* info = InterfaceList[i].Interface;
        if (!InterfaceInfoSound(info)) {
          Trace(TRACE_LEVEL_ERROR, TraceUsbInterfaceInfoBad, i, info != nullptr ? info->Length : 0,
                info != nullptr ? info->NumberOfPipes : 0);
          status = STATUS_UNSUCCESSFUL;
          break;
        }
        m_Interfaces[i] = CopyInterfaceInfo(info);
        if (m_Interfaces[i] == nullptr) status = STATUS_INSUFFICIENT_RESOURCES;
      }
    }
    if (!NT_SUCCESS(status)) FreeInterfaces();
  }
  // The list's Interface pointers lead into the URB freed below; leave the
  // caller our copies instead (valid until the alternate setting changes).
  for (LONG i = 0; i < EntryCount; ++i) {
    InterfaceList[i].Interface = (NT_SUCCESS(status) && m_Interfaces != nullptr) ? m_Interfaces[i] : nullptr;
  }
  ExFreePool(urb);
  if (!NT_SUCCESS(status)) Trace(TRACE_LEVEL_ERROR, TraceUsbConfigureFailed, status, EntryCount);
  Trace(TRACE_LEVEL_VERBOSE, TraceUsbOperationDone, UsbOpConfigurationRequest, status, EntryCount, m_InterfaceCount);
  return status;
}

void CUSBCL::FreeInterfaces() {
  if (m_Interfaces != nullptr) {
    for (LONG i = 0; i < m_InterfaceCount; ++i) FreeDriverPool(m_Interfaces[i], kPoolTagDriver);
    FreeDriverPool(m_Interfaces, kPoolTagDriver);
  }
  m_Interfaces = nullptr;
  m_InterfaceCount = 0;
}

NTSTATUS CUSBCL::SelectAlternate(UCHAR InterfaceNumber, UCHAR AlternateSetting) {
  PUSB_CONFIGURATION_DESCRIPTOR config = m_ConfigurationDescriptor;
  InterfaceLock lock(&m_InterfaceMutex);
  if (config == nullptr || m_Interfaces == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceUsbSelectAlternateRejected, InterfaceNumber, AlternateSetting, STATUS_UNSUCCESSFUL);
    return STATUS_UNSUCCESSFUL;
  }
  LONG position = -1;
  for (LONG i = 0; i < m_InterfaceCount; ++i) {
    if (m_Interfaces[i] == nullptr) {
      Trace(TRACE_LEVEL_ERROR, TraceUsbSelectAlternateRejected, InterfaceNumber, AlternateSetting, STATUS_UNSUCCESSFUL);
      return STATUS_UNSUCCESSFUL;
    }
    if (m_Interfaces[i]->InterfaceNumber == InterfaceNumber) {
      position = i;
      break;
    }
  }
  PUSB_INTERFACE_DESCRIPTOR descriptor =
      position < 0 ? nullptr : FindInterfaceDescriptor(config, InterfaceNumber, AlternateSetting);
  if (descriptor == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceUsbSelectAlternateRejected, InterfaceNumber, AlternateSetting,
          STATUS_INVALID_PARAMETER);
    return STATUS_INVALID_PARAMETER;
  }

  const ULONG endpoints = descriptor->bNumEndpoints;
  const ULONG urbSize = GET_SELECT_INTERFACE_REQUEST_SIZE(endpoints == 0 ? 1 : endpoints);
  PURB urb = static_cast<PURB>(AllocateDriverPool(urbSize, kPoolTagDriver));
  if (urb == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceUsbAllocFailed, urbSize);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
  urb->UrbHeader.Length = static_cast<USHORT>(sizeof(struct _URB_SELECT_INTERFACE) - sizeof(USBD_PIPE_INFORMATION) +
                                              endpoints * sizeof(USBD_PIPE_INFORMATION));
  urb->UrbSelectInterface.ConfigurationHandle = m_ConfigurationHandle;
  urb->UrbSelectInterface.Interface.Length =
      static_cast<USHORT>(kInterfaceInfoHeaderSize + endpoints * sizeof(USBD_PIPE_INFORMATION));
  urb->UrbSelectInterface.Interface.InterfaceNumber = InterfaceNumber;
  urb->UrbSelectInterface.Interface.AlternateSetting = AlternateSetting;

  NTSTATUS status = SubmitUrb(urb);
  if (NT_SUCCESS(status)) {
    const USBD_INTERFACE_INFORMATION* info = &urb->UrbSelectInterface.Interface;
    PUSBD_INTERFACE_INFORMATION copy = nullptr;
    if (!InterfaceInfoSound(info) || info->Length > urbSize - FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface)) {
      Trace(TRACE_LEVEL_ERROR, TraceUsbInterfaceInfoBad, position, info->Length, info->NumberOfPipes);
      status = STATUS_UNSUCCESSFUL;
    } else {
      copy = CopyInterfaceInfo(info);
      if (copy == nullptr) status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (copy != nullptr) {
      FreeDriverPool(m_Interfaces[position], kPoolTagDriver);
      m_Interfaces[position] = copy;
    }
  }
  FreeDriverPool(urb, kPoolTagDriver);
  if (!NT_SUCCESS(status)) {
    Trace(TRACE_LEVEL_ERROR, TraceUsbSelectAlternateFailed, InterfaceNumber, AlternateSetting, status);
  }
  Trace(TRACE_LEVEL_VERBOSE, TraceUsbOperationDone, UsbOpSelectAlternate, status, InterfaceNumber, AlternateSetting);
  return status;
}

PUSBD_PIPE_INFORMATION CUSBCL::FindPipe(UCHAR EndpointAddress) {
  PUSBD_PIPE_INFORMATION found = nullptr;
  InterfaceLock lock(&m_InterfaceMutex);
  if (m_Interfaces == nullptr) return nullptr;
  for (LONG i = 0; i < m_InterfaceCount; ++i) {
    PUSBD_INTERFACE_INFORMATION info = m_Interfaces[i];
    if (info == nullptr) continue;
    for (ULONG p = 0; p < info->NumberOfPipes; ++p) {
      if (info->Pipes[p].EndpointAddress == EndpointAddress) found = &info->Pipes[p];
    }
  }
  return found;
}
