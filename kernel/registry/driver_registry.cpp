#include "registry/driver_registry.h"

#include "base/pool.h"
#include "base/trace.h"
#include "registry/registry_trace_events.h"
#include "base/vocabulary.h"

const WCHAR kSampleRateValue[] = L"SampleRate";
const WCHAR kForceAmdChipsetValue[] = L"ForceAMDChipset";
const WCHAR kDsdNativeModeValue[] = L"DSDNativeModeSupported";
const WCHAR kDumpCaptureValue[] = L"gDumpCapture";

namespace {

const WCHAR kTuningKeyPath[] = L"\\Registry\\Machine\\SOFTWARE\\TRELLAN\\Oxley ASIO Performance";

// REG_DWORD, 4 bytes, for RTL_QUERY_REGISTRY_TYPECHECK.
constexpr ULONG kDwordTypeCheck = (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_DWORD;

}  // namespace

NTSTATUS OpenDeviceKey(PDEVICE_OBJECT PhysicalDeviceObject, PHANDLE Key) {
  *Key = nullptr;
  NTSTATUS status = IoOpenDeviceRegistryKey(PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, Key);
  if (!NT_SUCCESS(status)) {
    *Key = nullptr;
    Trace(TRACE_LEVEL_ERROR, TraceRegistryOpenFailed, status);
  }
  return status;
}

NTSTATUS QueryDeviceValue(HANDLE Key, PCWSTR Name, ULONG ExpectedType, PVOID Buffer, ULONG ExpectedSize) {
  if (Key == nullptr || Name == nullptr || Buffer == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, Name);
  ULONG needed = 0;
  NTSTATUS status = ZwQueryValueKey(Key, &name, KeyValuePartialInformation, nullptr, 0, &needed);
  if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW && !NT_SUCCESS(status)) {
    return status;
  }
  if (needed < FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data)) {
    return STATUS_NO_MATCH;
  }
  auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(AllocateDriverPool(needed, kPoolTagDriver));
  if (info == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  ULONG returned = 0;
  status = ZwQueryValueKey(Key, &name, KeyValuePartialInformation, info, needed, &returned);
  if (NT_SUCCESS(status)) {
    // The value may have changed between the two queries; its data must lie
    // inside what was returned before it is looked at.
    const ULONG header = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
    if (returned != needed || info->DataLength > returned - header) {
      status = STATUS_NO_MATCH;
    } else if (info->DataLength != ExpectedSize || info->Type != ExpectedType) {
      status = STATUS_NO_MATCH;
    } else {
      RtlCopyMemory(Buffer, info->Data, ExpectedSize);
    }
  }
  FreeDriverPool(info, kPoolTagDriver);
  return status;
}

NTSTATUS SetDeviceValue(HANDLE Key, PCWSTR Name, ULONG Type, PVOID Data, ULONG Size) {
  if (Key == nullptr || Name == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, Name);
  NTSTATUS status = ZwSetValueKey(Key, &name, 0, Type, Data, Size);
  if (!NT_SUCCESS(status)) {
    Trace(TRACE_LEVEL_ERROR, TraceRegistryWriteFailed, status);
  }
  return status;
}

void CloseDeviceKey(PHANDLE Key) {
  if (*Key != nullptr) {
    ZwClose(*Key);
    *Key = nullptr;
  }
}

ULONG ReadTransferTuning(UCHAR Direction, PULONG First, PULONG Second, ULONG FirstDefault, ULONG SecondDefault) {
  if (First == nullptr || Second == nullptr) {
    return kTuningNullOutput;
  }
  const BOOLEAN capture = IsCaptureDirection(Direction);
  const ULONG firstLimit = capture ? kMaxCaptureMsPerTransfer : kMaxRenderMsPerTransfer;
  const ULONG secondLimit = capture ? kMaxCaptureTransfersInFlight : kMaxRenderTransfersInFlight;
  if (FirstDefault < 1 || FirstDefault > firstLimit || SecondDefault < 1 || SecondDefault > secondLimit) {
    return kTuningBadDefault;
  }

  ULONG first = FirstDefault;
  ULONG second = SecondDefault;
  ULONG firstFallback = FirstDefault;
  ULONG secondFallback = SecondDefault;
  RTL_QUERY_REGISTRY_TABLE table[3] = {};
  table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
  table[0].Name = const_cast<PWSTR>(capture ? L"param3" : L"param1");
  table[0].EntryContext = &first;
  table[0].DefaultType = kDwordTypeCheck;
  table[0].DefaultData = &firstFallback;
  table[0].DefaultLength = sizeof(ULONG);
  table[1].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
  table[1].Name = const_cast<PWSTR>(capture ? L"param4" : L"param2");
  table[1].EntryContext = &second;
  table[1].DefaultType = kDwordTypeCheck;
  table[1].DefaultData = &secondFallback;
  table[1].DefaultLength = sizeof(ULONG);

  NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kTuningKeyPath, table, nullptr, nullptr);
  if (!NT_SUCCESS(status)) {
    *First = FirstDefault;
    *Second = SecondDefault;
    Trace(TRACE_LEVEL_INFORMATION, TraceRegistryTuningUnread, Direction, status);
    return kTuningKeyUnreadable;
  }
  ULONG flags = 0;
  if (first == 0) {
    first = FirstDefault;
    flags |= kTuningFirstDefaulted;
  } else if (first > firstLimit) {
    first = firstLimit;
    flags |= kTuningFirstLimited;
  }
  if (second == 0) {
    second = SecondDefault;
    flags |= kTuningSecondDefaulted;
  } else if (second > secondLimit) {
    second = secondLimit;
    flags |= kTuningSecondLimited;
  }
  *First = first;
  *Second = second;
  Trace(TRACE_LEVEL_INFORMATION, TraceRegistryTuning, Direction, first, second, flags);
  return flags;
}
