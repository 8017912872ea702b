#include "base/trace.h"

namespace {

// Provider of the driver's events: {6A2E4F1D-93B7-4C58-A1E0-7D3B5C9F2E84}.
const GUID kTraceProvider = {0x6A2E4F1D, 0x93B7, 0x4C58, {0xA1, 0xE0, 0x7D, 0x3B, 0x5C, 0x9F, 0x2E, 0x84}};

REGHANDLE g_TraceHandle = 0;

constexpr ULONG kMaxTraceValues = 4;

}  // namespace

void TraceInitialize() {
  if (g_TraceHandle != 0) return;
  REGHANDLE handle = 0;
  if (NT_SUCCESS(EtwRegister(&kTraceProvider, nullptr, nullptr, &handle))) g_TraceHandle = handle;
}

void TraceCleanup() {
  if (g_TraceHandle == 0) return;
  EtwUnregister(g_TraceHandle);
  g_TraceHandle = 0;
}

void TraceWrite(UCHAR level, TraceEvent event, ULONG count, const ULONG64* values) {
  if (g_TraceHandle == 0) return;
  EVENT_DESCRIPTOR descriptor;
  RtlZeroMemory(&descriptor, sizeof(descriptor));
  descriptor.Id = static_cast<USHORT>(event);
  descriptor.Level = level;

  if (count > kMaxTraceValues) count = kMaxTraceValues;
  EVENT_DATA_DESCRIPTOR data[kMaxTraceValues];
  for (ULONG i = 0; i < count; ++i) EventDataDescCreate(&data[i], &values[i], sizeof(values[i]));
  EtwWrite(g_TraceHandle, &descriptor, nullptr, count, count != 0 ? data : nullptr);
}
