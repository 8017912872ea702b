// Test harness for the USB request layer: a simulated device on the testbed's bus (simulated time),
// a spy filter above its PDO (counts, records and can answer requests), and a
// function device object on top whose lower device the layer talks to.
#pragma once

#include "platform.h"
#include "usb/usbcl.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "sim/usb/bus/usb_bus.h"
#include "sim/usb/device/usb_audio_device.h"
#include "testbed_test.h"

namespace usbtest {

// What the spy saw of one URB on its way down.
struct SeenUrb {
  USHORT function = 0;
  ULONG transferFlags = 0;
  ULONG transferLength = 0;
  ULONG packets = 0;
  std::vector<USBD_ISO_PACKET_DESCRIPTOR> isoPackets;  // as submitted
  PIRP irp = nullptr;
};

class Spy {
 public:
  // Returns true when it completed (or pended) the IRP itself.
  using Answer = std::function<bool(PIRP irp, PURB urb)>;

  void SetAnswer(Answer answer);
  std::vector<SeenUrb> Seen() const;
  size_t Count(USHORT function) const;
  void Clear();

  // Called by the filter's dispatch routine.
  bool OnUrb(PIRP irp, PURB urb);

 private:
  mutable std::mutex mutex_;
  std::vector<SeenUrb> seen_;
  Answer answer_;
};

// The layer with a recording CheckCompletedTransfer.
class TestUsbCL : public CUSBCL {
 public:
  NTSTATUS CheckCompletedTransfer(NTSTATUS Status, PURB, TransferContext*) override { return Status; }
};

struct Options {
  sim::usb::ControllerInfo controller;
  ULONG irpPoolSize = 0;
  bool attach = true;      // run Attach in the constructor
  bool configure = false;  // and select the configuration (every interface at alternate 0)
};

inline Options Configured() {
  Options o;
  o.configure = true;
  return o;
}
inline Options ConfiguredWithPool(ULONG irpPoolSize) {
  Options o = Configured();
  o.irpPoolSize = irpPoolSize;
  return o;
}
inline Options NotAttached() {
  Options o;
  o.attach = false;
  return o;
}
inline Options WithController(const sim::usb::ControllerInfo& controller) {
  Options o;
  o.controller = controller;
  return o;
}

class Harness {
 public:
  Harness(std::unique_ptr<sim::usb::UsbAudioDevice> device, const Options& options = {});
  ~Harness();
  Harness(const Harness&) = delete;
  Harness& operator=(const Harness&) = delete;

  TestUsbCL& Usb() { return *usb_; }
  sim::usb::UsbAudioDevice& Device() { return *device_; }
  sim::usb::UsbBus& Bus() { return bed_->Bus(); }
  sim::testbed::Testbed& Bed() { return *bed_; }
  Spy& SpyFilter() { return spy_; }
  PDEVICE_OBJECT Lower() const { return filter_; }
  NTSTATUS AttachStatus() const { return attachStatus_; }
  NTSTATUS Attach(ULONG irpPoolSize = 0);
  // Every interface at alternate setting 0.
  NTSTATUS Configure();

 private:
  std::unique_ptr<sim::usb::UsbAudioDevice> device_;  // outlives the testbed
  // Shared by the harnesses alive at one time (there is one kernel); the
  // last one closes it.
  std::shared_ptr<sim::testbed::Testbed> bed_;
  Spy spy_;
  PDEVICE_OBJECT pdo_ = nullptr;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT filter_ = nullptr;
  PDEVICE_OBJECT fdo_ = nullptr;
  TestUsbCL* usb_ = nullptr;
  NTSTATUS attachStatus_ = STATUS_UNSUCCESSFUL;
};

std::unique_ptr<sim::usb::UsbAudioDevice> Model(const char* name);
std::unique_ptr<sim::usb::UsbAudioDevice> FromDescriptors(std::vector<uint8_t> device, std::vector<uint8_t> config,
                                                          sim::usb::Speed speed = sim::usb::Speed::High);

// One completed transfer, waited for through a kernel event.
struct Completion {
  KEVENT done;
  NTSTATUS status = STATUS_PENDING;
  ULONG bytes = 0;
  ULONG startFrame = 0;
  ULONG frames = 0;
  Completion() { KeInitializeEvent(&done, NotificationEvent, FALSE); }
  static VOID Callback(NTSTATUS Status, ULONG Bytes, ULONG StartFrame, PVOID Context, ULONG Frames);
  // False when it did not come within the (generous) bound.
  bool Wait(int seconds = 10);
};

// Completes a URB's IRP from the spy with the given status.
void CompleteIrp(PIRP irp, NTSTATUS status);

}  // namespace usbtest
