// One device on a root port: its address state, the selected configuration
// and alternate settings, the open pipes and the fault plans of its
// endpoints. Every member is used under the host controller's lock.
#pragma once

#include <usb.h>
#include <wdm.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "sim/usb/bus/bus_types.h"
#include "sim/usb/device/usb_device.h"

namespace sim::usb {

// Bus-level faults of one endpoint (0 for the default pipe), set by tests.
struct EndpointFaults {
  uint32_t lateCount = 0;  // the next lateCount transfers complete lateMs late
  uint32_t lateMs = 0;
  uint32_t failCount = 0;  // the next failCount transfers fail with failStatus
  USBD_STATUS failStatus = USBD_STATUS_XACT_ERROR;
  uint32_t dropCount = 0;  // the next dropCount transfers never complete by themselves
};

class DeviceSlot {
 public:
  DeviceSlot(UsbDevice* device, uint32_t port);

  UsbDevice* device() const { return device_; }
  uint32_t port() const { return port_; }
  bool HighSpeed() const { return highSpeed_; }
  bool gone = false;
  PDEVICE_OBJECT pdo = nullptr;
  std::atomic<int> busInterfaceReferences{0};

  // Runs a control transfer on the default pipe now.
  USBD_STATUS Control(const uint8_t setup[8], uint8_t* data, uint32_t* length);
  bool stallNextControls(uint32_t n) { stallControls_ += n; return true; }
  // Select-interface requests still to fail with USBD_STATUS_NO_BANDWIDTH.
  uint32_t refuseSelectInterfaces = 0;

  // Select requests; they return the URB status. Pipes they close are handed
  // to closedPipes so that the controller can cancel what is still queued.
  USBD_STATUS SelectConfiguration(struct _URB_SELECT_CONFIGURATION& urb,
                                  std::vector<std::shared_ptr<Pipe>>& closedPipes);
  USBD_STATUS SelectInterface(struct _URB_SELECT_INTERFACE& urb, std::vector<std::shared_ptr<Pipe>>& closedPipes);
  void CloseAll(std::vector<std::shared_ptr<Pipe>>& closedPipes);

  std::shared_ptr<Pipe> FindPipe(USBD_PIPE_HANDLE handle) const;
  const std::map<USBD_PIPE_HANDLE, std::shared_ptr<Pipe>>& pipes() const { return pipes_; }

  EndpointFaults& Faults(uint8_t endpointAddress) { return faults_[endpointAddress]; }

  std::deque<Transfer*> controlQueue;

 private:
  struct InterfaceState {
    USBD_INTERFACE_HANDLE handle = nullptr;
    uint8_t alternate = 0;
    std::vector<USBD_PIPE_HANDLE> pipes;
  };
  USBD_STATUS FillInterface(const uint8_t* config, uint32_t configLength, USBD_INTERFACE_INFORMATION& info,
                            uint32_t roomBytes, std::vector<std::shared_ptr<Pipe>>& closedPipes);
  void ClosePipesOf(InterfaceState& state, std::vector<std::shared_ptr<Pipe>>& closedPipes);

  UsbDevice* device_;
  uint32_t port_;
  bool highSpeed_;
  uint32_t stallControls_ = 0;
  USBD_CONFIGURATION_HANDLE configHandle_ = nullptr;
  std::vector<uint8_t> config_;  // copy of the configuration selected
  std::map<uint8_t, InterfaceState> interfaces_;
  std::map<USBD_PIPE_HANDLE, std::shared_ptr<Pipe>> pipes_;
  std::map<uint8_t, EndpointFaults> faults_;
};

// Never-reused opaque handle values (pipes, interfaces, configurations).
void* NewHandleCookie();

}  // namespace sim::usb
