#include "adapter/wave_subdevice.h"

#include "adapter/adapter_trace_events.h"
#include "base/trace.h"

namespace {

struct SubdeviceName {
  ULONG Rate;
  PCWSTR Name;
};

#define TROX_FILTER_GUID L"{5D96CF7F-265B-4da9-8F0C-26EF4243ED52}"

constexpr SubdeviceName kNames[] = {
    {32000, TROX_FILTER_GUID L"_32000"},   {44100, TROX_FILTER_GUID L"_44100"},   {48000, TROX_FILTER_GUID L"_48000"},
    {88200, TROX_FILTER_GUID L"_88200"},   {96000, TROX_FILTER_GUID L"_96000"},   {176400, TROX_FILTER_GUID L"_176400"},
    {192000, TROX_FILTER_GUID L"_192000"}, {352800, TROX_FILTER_GUID L"_352800"}, {384000, TROX_FILTER_GUID L"_384000"},
    {705600, TROX_FILTER_GUID L"_705600"}, {768000, TROX_FILTER_GUID L"_768000"}, {0, nullptr},
};

}  // namespace

PCWSTR WaveSubdeviceName(ULONG Rate) {
  if (Rate == 0) {
    return TROX_FILTER_GUID;
  }
  for (const SubdeviceName* entry = kNames; entry->Name != nullptr; ++entry) {
    if (entry->Rate == Rate) {
      return entry->Name;
    }
  }
  return nullptr;
}

NTSTATUS InstallWaveSubdevice(PDEVICE_OBJECT DeviceObject, IAdapterCommon* Adapter) {
  if (DeviceObject == nullptr || Adapter == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  const ULONG rate = Adapter->GetDeviceSampleRate();
  if (WaveSubdeviceName(rate) == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceAdapterSubdeviceName, rate);
    return STATUS_UNSUCCESSFUL;
  }
  // No WaveRT port is registered by this driver: the device starts without
  // a filter and serves the private interface.
  Trace(TRACE_LEVEL_WARNING, TraceAdapterSubdeviceSkipped, rate);
  return STATUS_NOT_SUPPORTED;
}
