// A device plugged into the testbed and started under the driver by the PnP
// manager, and the driver's audio function attached and configured on the
// FDO's lower device, as device start does. Shared by troxsim and the
// streaming checks.
#pragma once

#include <memory>
#include <string>

#include "platform.h"
#include "audiofunction/usb_audio_cl.h"
#include "sim/testbed/testbed.h"
#include "sim/usb/device/usb_audio_device.h"

namespace streamcheck {

class DriverSession {
 public:
  // The IRP pool size device start gives the audio function.
  static constexpr ULONG kDeviceStartIrpPool = 24;

  // Runs every step; the first that fails is kept (see Failed*). The device
  // must outlive the testbed.
  DriverSession(sim::testbed::Testbed& bed, sim::usb::UsbAudioDevice& device, bool configure = true);
  ~DriverSession();
  DriverSession(const DriverSession&) = delete;
  DriverSession& operator=(const DriverSession&) = delete;

  bool Ok() const { return failedStep_.empty(); }
  // The device's physical device object once plugged in.
  PDEVICE_OBJECT Pdo() const { return pdo_; }
  // The driver's audio function; null unless Ok().
  CUSBAudioCL* Audio() const { return Ok() ? audio_ : nullptr; }
  // The failed step ("LoadDriver", "Plug", "StartDevice", "FunctionDevice",
  // "IoGetLowerDeviceObject", "allocation", "Attach", "Configure") and its status.
  const std::string& FailedStep() const { return failedStep_; }
  NTSTATUS FailedStatus() const { return failedStatus_; }
  // Whether the driver's audio function refused the device (as opposed to
  // the driver or the device never getting that far).
  bool Refused() const;

  // Frees the function and removes the device; returns the status of the
  // removal (success when nothing was started). Runs once.
  NTSTATUS Close();

 private:
  void Fail(const char* step, NTSTATUS status);
  // After a failed start: whether attaching or configuring the function refused the device.
  void Diagnose();

  sim::testbed::Testbed& bed_;
  PDEVICE_OBJECT pdo_ = nullptr;
  bool started_ = false;
  PDEVICE_OBJECT lower_ = nullptr;
  CUSBAudioCL* audio_ = nullptr;
  std::string failedStep_;
  NTSTATUS failedStatus_ = STATUS_SUCCESS;
  bool closed_ = false;
};

}  // namespace streamcheck
