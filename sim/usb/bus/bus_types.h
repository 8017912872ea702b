// The host controller's bookkeeping of pipes and transfers in flight.
#pragma once

#include <usb.h>
#include <wdm.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "sim/usb/bus/iso_rules.h"

namespace sim::usb {

class DeviceSlot;

// An opened endpoint of the selected configuration. Its handle is a cookie
// that is never reused, so a stale handle is recognised instead of followed.
struct Pipe {
  USBD_PIPE_HANDLE handle = nullptr;
  uint8_t endpointAddress = 0;
  uint8_t interfaceNumber = 0;
  uint8_t interval = 0;  // bInterval
  USBD_PIPE_TYPE type = UsbdPipeTypeControl;
  uint32_t maximumPacketSize = 0;  // multiplier included
  bool halted = false;
  bool closed = false;
  // Isochronous continuity: the frame after the last scheduled transfer.
  bool hasHistory = false;
  uint64_t nextFrame = 0;
  std::deque<struct Transfer*> queue;     // scheduled, in order
  std::vector<struct Transfer*> withheld;  // dropped by fault injection
  int completing = 0;                    // taken out, completion running
  // Completions handed to a processor's DPC and not run yet; while there are
  // any, the pipe's next completions go to the same processor.
  int queuedCompletions = 0;
  int completionProcessor = 0;

  bool In() const { return (endpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0; }
  IsoPipeShape Shape(bool highSpeed) const { return {highSpeed, In(), maximumPacketSize, interval}; }
};

enum class TransferKind { Control, Isoch, BulkOrInterrupt };

struct Transfer {
  TransferKind kind = TransferKind::Control;
  PIRP irp = nullptr;
  PURB urb = nullptr;
  DeviceSlot* slot = nullptr;
  std::shared_ptr<Pipe> pipe;  // null for the default pipe
  uint8_t* buffer = nullptr;
  uint32_t length = 0;
  bool in = false;
  // Control
  uint8_t setup[8] = {};
  // Isochronous: packet i goes in device interval firstInterval + i * period.
  uint64_t firstInterval = 0;
  uint32_t period = 1;
  uint64_t startFrame = 0;
  uint32_t nextPacket = 0;
  // Bulk and interrupt
  uint32_t done = 0;
  // Outcome
  USBD_STATUS status = USBD_STATUS_PENDING;
  bool finished = false;
  bool failInjected = false;
  USBD_STATUS injectedStatus = USBD_STATUS_SUCCESS;
  uint32_t delayMs = 0;
  int64_t dueTime = 0;  // completion withheld until then (late-completion fault)
};

}  // namespace sim::usb
