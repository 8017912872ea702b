// The device sample rate, the engine tunables and the host-controller
// workaround, as Init decides them, and rate changes.
#include "adapter/adapter_common.h"

#include "adapter/adapter_trace_events.h"
#include "adapter/miniport_link.h"
#include "adapter/wave_subdevice.h"
#include "base/trace.h"
#include "registry/driver_registry.h"

namespace {

constexpr ULONG kDefaultSampleRate = 44100;
constexpr ULONG kPciVendorAmd = 0x1002;
constexpr ULONG kPciVendorAmdAlternate = 0x1022;

}  // namespace

void CAdapterCommon::DecideAmdWorkaround() {
  ULONG forced = 0;
  if (!NT_SUCCESS(QueryDeviceValue(m_DeviceKey, kForceAmdChipsetValue, REG_DWORD, &forced, sizeof(forced)))) {
    forced = 0;
  }
  const USB_CONTROLLER_INFO_0& controller = m_Decisions.Controller;
  const BOOLEAN amd = (controller.PciVendorId == kPciVendorAmd || controller.PciVendorId == kPciVendorAmdAlternate) &&
                      (controller.ControllerFlavor == OHCI_Generic || controller.ControllerFlavor == EHCI_Generic);
  const BOOLEAN both = m_Function.PlaybackStream() != nullptr && m_Function.CaptureStream() != nullptr;
  m_AmdWorkaround = both && (forced != 0 || amd);
}

void CAdapterCommon::DecideModeAndTunables() {
  EngineTunables& tunables = m_Engine.Tunables();
  const BOOLEAN render = m_Function.PlaybackStream() != nullptr;
  const BOOLEAN capture = m_Function.CaptureStream() != nullptr;
  if (render && capture) {
    m_PerStreamFormatMode = FALSE;
    if (m_AmdWorkaround) {
      tunables.RenderMsPerTransfer = 1;
      tunables.RenderTransfersInFlight = 8;
    }
  } else if (render) {
    if (tunables.RenderMsPerTransfer > 4) {
      tunables.RenderMsPerTransfer = 4;
    }
    m_PerStreamFormatMode = TRUE;
  }
  m_Decisions.TuningFlags[0] =
      ReadTransferTuning(kDirectionRender, &tunables.RenderMsPerTransfer, &tunables.RenderTransfersInFlight,
                         tunables.RenderMsPerTransfer, tunables.RenderTransfersInFlight);
  m_Decisions.TuningFlags[1] =
      ReadTransferTuning(kDirectionCapture, &tunables.CaptureMsPerTransfer, &tunables.CaptureTransfersInFlight,
                         tunables.CaptureMsPerTransfer, tunables.CaptureTransfersInFlight);
  m_Decisions.AmdWorkaround = m_AmdWorkaround;
  m_Decisions.PerStreamFormatMode = m_PerStreamFormatMode;
}

NTSTATUS CAdapterCommon::DecideDeviceSampleRate() {
  if (!m_Function.HasSharedClock() && m_PerStreamFormatMode) {
    m_DeviceSampleRate = 0;
    return STATUS_SUCCESS;
  }
  ULONG rate = 0;
  NTSTATUS status = QueryDeviceValue(m_DeviceKey, kSampleRateValue, REG_DWORD, &rate, sizeof(rate));
  if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
    rate = kDefaultSampleRate;
    status = SetDeviceValue(m_DeviceKey, kSampleRateValue, REG_DWORD, &rate, sizeof(rate));
    if (!NT_SUCCESS(status)) {
      return status;
    }
    m_Decisions.SampleRateWritten = TRUE;
  } else if (!NT_SUCCESS(status)) {
    return status;
  }
  status = m_Function.IsSampleRateSupported(rate);
  if (status == STATUS_INVALID_PARAMETER) {
    ULONG lowest = 0;
    ULONG highest = 0;
    rate = NT_SUCCESS(GetDeviceRateRange(&lowest, &highest)) ? lowest : kDefaultSampleRate;
    if (NT_SUCCESS(SetDeviceValue(m_DeviceKey, kSampleRateValue, REG_DWORD, &rate, sizeof(rate)))) {
      m_Decisions.SampleRateWritten = TRUE;
    }
  } else if (!NT_SUCCESS(status)) {
    return status;
  }
  m_DeviceSampleRate = rate;
  status = m_Function.SetDeviceSampleRate(rate);
  if (!NT_SUCCESS(status)) {
    Trace(TRACE_LEVEL_WARNING, TraceAdapterClockFailed, rate, status);
  }
  return STATUS_SUCCESS;
}

STDMETHODIMP_(ULONG) CAdapterCommon::GetDeviceSampleRate() { return m_DeviceSampleRate; }

STDMETHODIMP_(NTSTATUS) CAdapterCommon::GetDeviceRateRange(PULONG Lowest, PULONG Highest) {
  if (Lowest == nullptr || Highest == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  const UCHAR direction = m_Function.PlaybackStream() != nullptr ? kDirectionRender : kDirectionCapture;
  ULONG channels = 0;
  ULONG minBits = 0;
  ULONG maxBits = 0;
  return m_Function.GetStreamCaps(direction, &channels, &minBits, &maxBits, Lowest, Highest);
}

STDMETHODIMP_(NTSTATUS) CAdapterCommon::GetSampleRateRange(UCHAR Direction, PULONG Low, PULONG High) {
  if (Low == nullptr || High == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  return m_Function.GetSampleRateRange(IsCaptureDirection(Direction) ? kDirectionCapture : kDirectionRender, Low, High);
}

STDMETHODIMP_(NTSTATUS) CAdapterCommon::SetSampleRate(ULONG Rate) {
  if (m_PerStreamFormatMode && !m_Function.HasSharedClock()) {
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  if (Rate == m_DeviceSampleRate && (m_StreamSampleRate == 0 || m_StreamSampleRate == Rate)) {
    return STATUS_SUCCESS;
  }
  if (!NT_SUCCESS(m_Function.IsSampleRateSupported(Rate))) {
    return STATUS_INVALID_PARAMETER;
  }
  LockStreams();
  const BOOLEAN busy = m_CaptureStartCount != 0 || m_RenderStartCount != 0;
  UnlockStreams();
  if (busy) {
    return STATUS_DEVICE_BUSY;
  }
  IMiniportEngineLink* miniport = nullptr;
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_MiniportLock, &handle);
  miniport = static_cast<IMiniportEngineLink*>(m_Miniport);
  if (miniport != nullptr) {
    miniport->AddRef();
  }
  KeReleaseInStackQueuedSpinLock(&handle);
  if (miniport == nullptr) {
    return STATUS_DEVICE_NOT_READY;
  }
  miniport->DetachFromDevice();
  const NTSTATUS unregistered = miniport->UnregisterFromPort(m_FunctionalDeviceObject);
  if (!NT_SUCCESS(unregistered)) {
    Trace(TRACE_LEVEL_WARNING, TraceAdapterUnregisterFailed, unregistered);
  }
  miniport->Release();

  LockStreams();
  m_StreamSampleRate = 0;
  m_DeviceSampleRate = Rate;
  NTSTATUS status = m_Function.SetDeviceSampleRate(Rate);
  if (!NT_SUCCESS(status)) {
    Trace(TRACE_LEVEL_WARNING, TraceAdapterClockFailed, Rate, status);
  }
  status = SetDeviceValue(m_DeviceKey, kSampleRateValue, REG_DWORD, &Rate, sizeof(Rate));
  if (!NT_SUCCESS(status)) {
    Trace(TRACE_LEVEL_WARNING, TraceAdapterRateNotStored, Rate, status);
  }
  UnlockStreams();
  InstallWaveSubdevice(m_FunctionalDeviceObject, this);
  return STATUS_SUCCESS;
}
