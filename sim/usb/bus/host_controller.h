// The simulated USB host controller: bus time in 1 ms frames (8 microframes
// each for high-speed devices), a frame thread that runs every elapsed frame
// in order (device interval tick, then the packets scheduled in it), and
// completion of finished transfers in a DPC, as a controller's interrupt DPC
// does on Windows. Completions go to either processor; those of one pipe stay
// in order. While no transfer is queued and no device streams, the frame
// thread sleeps and the idle frames are skipped.
#pragma once

#include <usb.h>
#include <usbuser.h>
#include <wdm.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "sim/kernel/core/clock.h"
#include "sim/usb/bus/bus_types.h"
#include "sim/usb/bus/device_slot.h"
#include "sim/usb/bus/usbd_status.h"
#include "sim/usb/device/usb_device.h"

namespace sim::usb {

struct ControllerInfo {
  uint32_t pciVendorId = 0x8086;
  uint32_t pciDeviceId = 0x1E2D;
  uint32_t pciRevision = 4;
  uint32_t numberOfRootPorts = 4;
  USB_CONTROLLER_FLAVOR flavor = EHCI_Generic;
  uint32_t hcFeatureFlags = 0;
};

// How many frames ahead an ASAP transfer on an idle pipe starts.
inline constexpr uint32_t kAsapLeadFrames = 3;

class HostController {
 public:
  explicit HostController(const ControllerInfo& info = {});
  ~HostController();  // stops the frame thread
  HostController(const HostController&) = delete;
  HostController& operator=(const HostController&) = delete;

  void Start();
  void Stop();

  ControllerInfo Info() const;
  void SetInfo(const ControllerInfo& info);

  // The 1 ms frame now in progress (the URBs' 32-bit frame numbers are its
  // low 32 bits) and the first frame the frame thread has not processed yet.
  uint64_t CurrentFrame() const;
  uint64_t NextUnprocessedFrame() const;

  // Devices on root ports. The slot stays valid until the controller goes.
  DeviceSlot* Attach(UsbDevice* device);
  // Unplug: the device is gone; its pending transfers complete with
  // STATUS_NO_SUCH_DEVICE / USBD_STATUS_DEVICE_GONE and new ones fail at once.
  void Detach(DeviceSlot* slot);

  // An IOCTL_INTERNAL_USB_SUBMIT_URB from the device's PDO. Either completes
  // the IRP and returns its status, or marks it pending and returns
  // STATUS_PENDING.
  NTSTATUS SubmitUrb(DeviceSlot* slot, PIRP irp);
  // Cancel routine target: completes irp with STATUS_CANCELLED if it is still
  // queued here.
  void CancelIrp(PIRP irp);

  // Bus-level fault injection (device-level faults belong to the device).
  void DelayNextTransfers(DeviceSlot* slot, uint8_t endpointAddress, uint32_t count, uint32_t ms);
  void FailNextTransfers(DeviceSlot* slot, uint8_t endpointAddress, uint32_t count,
                         USBD_STATUS status = USBD_STATUS_XACT_ERROR);
  void DropNextTransfers(DeviceSlot* slot, uint8_t endpointAddress, uint32_t count);
  void StallNextControlRequests(DeviceSlot* slot, uint32_t count);
  // The next `count` select-interface requests fail with
  // USBD_STATUS_NO_BANDWIDTH and change nothing.
  void RefuseNextSelectInterfaces(DeviceSlot* slot, uint32_t count);
  // As the documentation allows, an abort-pipe request returns before the
  // transfers it cancels have completed (on by default); off, it waits.
  void SetAbortReturnsEarly(bool early);
  // The IRP status of requests that fail with USBD_STATUS_DEVICE_GONE after
  // an unplug: STATUS_NO_SUCH_DEVICE (the default) or
  // STATUS_DEVICE_NOT_CONNECTED, both of which Windows uses.
  void SetDeviceGoneStatus(NTSTATUS status);

  // Injected lateness: frame processing stops for `duration` (100 ns) and
  // then catches up in a burst; or frames run on time but the completions of
  // the next `duration` are held back and delivered together.
  void StallFrames(int64_t duration);
  void HoldCompletions(int64_t duration);

  // Transfers queued or withheld, for tests.
  size_t PendingTransfers(DeviceSlot* slot) const;

 private:
  using Lock = std::unique_lock<sim::clock::Mutex>;
  void FrameThread();
  void ProcessFrame(uint64_t frame, std::vector<Transfer*>& done);
  void ProcessDeviceInterval(DeviceSlot* slot, uint64_t interval, bool frameStart, std::vector<Transfer*>& done);
  void ProcessIsoPipe(DeviceSlot* slot, Pipe& pipe, uint64_t interval, std::vector<Transfer*>& done);
  void ProcessBulkPipe(DeviceSlot* slot, Pipe& pipe, uint64_t interval, std::vector<Transfer*>& done);
  void RunControl(Transfer* t);
  void Finish(Transfer* t, USBD_STATUS status, std::vector<Transfer*>& done);
  void CompleteAll(std::vector<Transfer*>& done);  // lock not held
  void CompleteOne(Transfer* t);
  void TakeAllOfPipe(Pipe& pipe, std::vector<Transfer*>& out);
  void AbortPipeLocked(Lock& lock, Pipe& pipe, std::vector<Transfer*>& out);
  void CancelClosedPipes(Lock& lock, std::vector<std::shared_ptr<Pipe>>& closed, std::vector<Transfer*>& out);
  NTSTATUS Queue(Lock& lock, Transfer* t);
  NTSTATUS CompleteNow(PIRP irp, PURB urb, USBD_STATUS status);
  NTSTATUS SubmitIsoch(Lock& lock, DeviceSlot* slot, PIRP irp, PURB urb);
  NTSTATUS SubmitBulk(Lock& lock, DeviceSlot* slot, PIRP irp, PURB urb);
  NTSTATUS SubmitControl(Lock& lock, DeviceSlot* slot, PIRP irp, PURB urb, const uint8_t setup[8], uint8_t* buffer,
                         uint32_t length, bool in);
  NTSTATUS PipeRequest(Lock& lock, DeviceSlot* slot, PIRP irp, PURB urb);
  void ApplyFaults(DeviceSlot* slot, uint8_t endpointAddress, Transfer* t, bool& drop);
  bool HasWork() const;                        // lock held
  void Deliver(std::vector<Transfer*>& done);  // lock held: to the completion DPCs
  // Real time: completes what Deliver handed over on the calling (frame)
  // thread, the lock dropped meanwhile. False if there was nothing.
  bool CompleteInline(Lock& lock);
  static void CompletionDpc(PKDPC dpc, PVOID context, PVOID, PVOID);

  static constexpr int kCompletionProcessors = 2;
  struct CompletionQueue {
    HostController* owner = nullptr;
    KDPC dpc;
    std::vector<Transfer*> ready;
  };

  mutable sim::clock::Mutex mutex_;
  sim::clock::Condition wake_{"host controller frame"};
  sim::clock::Condition pipeIdle_{"pipe completions"};
  ControllerInfo info_;
  std::vector<std::unique_ptr<DeviceSlot>> slots_;
  std::vector<Transfer*> delayed_;
  int64_t startTime_ = 0;
  uint64_t frameBase_ = 0x2000;   // frame numbers do not start at 0 on a running bus
  uint64_t processedFrames_ = 0;  // frames since start already processed
  bool running_ = false;
  bool idle_ = false;
  bool abortReturnsEarly_ = true;
  std::atomic<NTSTATUS> deviceGoneStatus_{STATUS_NO_SUCH_DEVICE};
  NTSTATUS IrpStatusOf(USBD_STATUS status) const {
    return status == USBD_STATUS_DEVICE_GONE ? deviceGoneStatus_.load() : NtStatusFromUsbd(status);
  }
  int64_t stallUntil_ = 0;
  int64_t holdUntil_ = 0;
  std::vector<Transfer*> held_;
  CompletionQueue completions_[kCompletionProcessors];
  sim::clock::Random processorChoice_{"usb completion processor"};
  sim::clock::Thread thread_;
};

// Moves a transfer's buffer out of its URB (TransferBuffer, else the MDL's
// virtual address).
uint8_t* UrbBuffer(PVOID buffer, PMDL mdl);

}  // namespace sim::usb
