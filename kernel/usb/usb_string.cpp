// String descriptors: the language list read at attach, and strings read on demand.
#include "usb/usbcl.h"
#include "base/trace.h"
#include "usb/usb_trace_events.h"

namespace {

constexpr ULONG kStringHeadSize = 4;

}  // namespace

void UsbString::Reset() {
  FreeDriverPool(m_Buffer, kPoolTagDriver);
  m_Buffer = nullptr;
  m_Length = 0;
}

NTSTATUS CUSBCL::GetStringDescriptor(UCHAR Index, UsbString* String, USHORT LanguageId) {
  if (String == nullptr) return STATUS_INVALID_PARAMETER;
  // The language list's bLength was checked against what the device returned.
  const ULONG listLength = m_LanguageList != nullptr ? m_LanguageList[0] : 0;
  if (Index == 0 || listLength < 4) {
    Trace(TRACE_LEVEL_ERROR, TraceUsbStringRejected, Index, LanguageId);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  const ULONG languages = (listLength - 2) / 2;
  USHORT language = 0;
  for (ULONG i = 0; i < languages; ++i) {
    const USHORT listed = static_cast<USHORT>(m_LanguageList[2 + 2 * i] | (m_LanguageList[3 + 2 * i] << 8));
    if (LanguageId == 0 || listed == LanguageId) {
      language = listed;
      break;
    }
    if (i + 1 == languages) {
      Trace(TRACE_LEVEL_ERROR, TraceUsbStringRejected, Index, LanguageId);
      return STATUS_INVALID_DEVICE_REQUEST;
    }
  }

  UCHAR head[kStringHeadSize] = {};
  ULONG returned = 0;
  NTSTATUS status = ReadDescriptor(USB_STRING_DESCRIPTOR_TYPE, Index, language, head, sizeof(head), &returned);
  if (!NT_SUCCESS(status)) {
    Trace(TRACE_LEVEL_ERROR, TraceUsbStringFailed, Index, language, status);
    return status;
  }
  if (returned == 0) {
    Trace(TRACE_LEVEL_ERROR, TraceUsbStringFailed, Index, language, STATUS_NOT_SUPPORTED);
    return STATUS_NOT_SUPPORTED;
  }
  const ULONG descriptorLength = head[0];
  if (descriptorLength <= 3) {
    Trace(TRACE_LEVEL_INFORMATION, TraceUsbStringEmpty, Index, descriptorLength);
    String->Reset();
    return STATUS_SUCCESS;
  }

  // bLength rounded down to whole characters.
  const ULONG size = (descriptorLength / 2 - 1) * 2 + 2;
  String->Reset();
  PUCHAR buffer = static_cast<PUCHAR>(AllocateDriverPool(size, kPoolTagDriver));
  if (buffer == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceUsbAllocFailed, size);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  status = ReadDescriptor(USB_STRING_DESCRIPTOR_TYPE, Index, language, buffer, size, &returned);
  if (!NT_SUCCESS(status)) {
    Trace(TRACE_LEVEL_ERROR, TraceUsbStringFailed, Index, language, status);
    FreeDriverPool(buffer, kPoolTagDriver);
    return status;
  }
  // Keep only what both the device's answer and its own bLength cover, in
  // whole characters.
  ULONG length = returned < buffer[0] ? returned : buffer[0];
  length &= ~1UL;
  if (length < 2) {
    Trace(TRACE_LEVEL_ERROR, TraceUsbStringFailed, Index, language, STATUS_NOT_SUPPORTED);
    FreeDriverPool(buffer, kPoolTagDriver);
    return STATUS_NOT_SUPPORTED;
  }
  String->m_Buffer = buffer;
  String->m_Length = length;
  Trace(TRACE_LEVEL_VERBOSE, TraceUsbOperationDone, UsbOpGetStringDescriptor, STATUS_SUCCESS, Index, length);
  return STATUS_SUCCESS;
}

NTSTATUS CUSBCL::GetSerialNumber(UsbString* String, USHORT LanguageId) {
  return GetStringDescriptor(m_DeviceDescriptor.iSerialNumber, String, LanguageId);
}
