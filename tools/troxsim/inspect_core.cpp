#include "tools/troxsim/inspect_core.h"

#include "tools/troxsim/inspect_print.h"

namespace troxsim {

DeviceCoreReport CollectDeviceCore(CAdapterCommon& adapter) {
  DeviceCoreReport core;
  const AdapterDecisions& d = adapter.Decisions();
  core.perStreamFormatMode = adapter.PerStreamFormatMode() != FALSE;
  core.tunables = adapter.Engine().Tunables();
  core.renderTuningFlags = d.TuningFlags[0];
  core.captureTuningFlags = d.TuningFlags[1];
  core.controllerQueried = d.ControllerQueried != FALSE;
  core.controllerVendor = d.Controller.PciVendorId;
  core.controllerFlavor = static_cast<uint32_t>(d.Controller.ControllerFlavor);
  core.amdWorkaround = adapter.AmdWorkaround() != FALSE;
  core.dsdNativeSupported = adapter.IsDsdNativeSupported() != FALSE;
  core.dsdFromRegistry = d.DsdFromRegistry != FALSE;
  const UsbString& serial = adapter.SerialNumber();
  for (ULONG i = 0; i < serial.CharacterCount(); ++i) {
    const WCHAR c = serial.Characters()[i];
    core.serialNumber += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
  }
  core.deviceSampleRate = adapter.GetDeviceSampleRate();
  core.sampleRateWritten = d.SampleRateWritten != FALSE;
  core.renderCoupled = adapter.IsRenderCoupled() != FALSE;
  return core;
}

void PrintDeviceCoreText(std::ostream& out, const DeviceCoreReport& c) {
  out << "\nDevice core:\n";
  out << "  format mode: " << (c.perStreamFormatMode ? "per stream" : "one device rate") << "; render "
      << (c.renderCoupled ? "follows the capture clock" : "runs on its own") << "\n";
  out << "  device sample rate: ";
  if (c.deviceSampleRate == 0) {
    out << "none (per-stream rates)\n";
  } else {
    out << c.deviceSampleRate << " Hz" << (c.sampleRateWritten ? ", written back to \"SampleRate\"" : "") << "\n";
  }
  out << "  render: " << c.tunables.RenderTransfersInFlight << " transfers of " << c.tunables.RenderMsPerTransfer
      << " ms in flight (tuning flags " << Hex(c.renderTuningFlags, 2)
      << "); capture: " << c.tunables.CaptureTransfersInFlight << " of " << c.tunables.CaptureMsPerTransfer
      << " ms (tuning flags " << Hex(c.captureTuningFlags, 2) << ")\n";
  out << "  host controller: ";
  if (c.controllerQueried) {
    out << "vendor " << Hex(c.controllerVendor, 4) << ", flavor " << c.controllerFlavor;
  } else {
    out << "not known";
  }
  out << "; AMD workaround " << (c.amdWorkaround ? "on" : "off") << "\n";
  out << "  native DSD mode: " << (c.dsdNativeSupported ? "supported" : "not supported")
      << (c.dsdFromRegistry ? " (from \"DSDNativeModeSupported\")" : " (probed)") << "\n";
  out << "  serial number: " << (c.serialNumber.empty() ? "none" : c.serialNumber) << "\n";
}

void PrintDeviceCoreJson(JsonWriter& j, const DeviceCoreReport& c) {
  j.Key("deviceCore")
      .BeginObject()
      .Member("perStreamFormatMode", c.perStreamFormatMode)
      .Member("renderCoupled", c.renderCoupled)
      .Member("deviceSampleRate", c.deviceSampleRate)
      .Member("sampleRateWritten", c.sampleRateWritten)
      .Member("renderMsPerTransfer", static_cast<uint32_t>(c.tunables.RenderMsPerTransfer))
      .Member("renderTransfersInFlight", static_cast<uint32_t>(c.tunables.RenderTransfersInFlight))
      .Member("captureMsPerTransfer", static_cast<uint32_t>(c.tunables.CaptureMsPerTransfer))
      .Member("captureTransfersInFlight", static_cast<uint32_t>(c.tunables.CaptureTransfersInFlight))
      .Member("renderTuningFlags", c.renderTuningFlags)
      .Member("captureTuningFlags", c.captureTuningFlags)
      .Member("controllerQueried", c.controllerQueried)
      .Member("controllerVendor", c.controllerVendor)
      .Member("controllerFlavor", c.controllerFlavor)
      .Member("amdWorkaround", c.amdWorkaround)
      .Member("dsdNativeSupported", c.dsdNativeSupported)
      .Member("dsdFromRegistry", c.dsdFromRegistry)
      .Member("serialNumber", c.serialNumber)
      .EndObject();
}

}  // namespace troxsim
