// IOCTL_INTERNAL_USB_SUBMIT_URB: checks each URB the way the USB stack does
// and either answers it at once or queues it for the frame thread.
#include <usbdlib.h>

#include <algorithm>

#include "sim/kernel/core/clock.h"
#include "sim/kernel/core/verifier.h"
#include "sim/usb/bus/host_controller.h"
#include "sim/usb/bus/pdo_extension.h"
#include "sim/usb/bus/usbd_status.h"

namespace sim::usb {

namespace {

void MakeSetup(uint8_t out[8], uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length) {
  out[0] = type;
  out[1] = request;
  out[2] = value & 0xFF;
  out[3] = value >> 8;
  out[4] = index & 0xFF;
  out[5] = index >> 8;
  out[6] = length & 0xFF;
  out[7] = length >> 8;
}

// bmRequestType type and recipient bits of the class and vendor functions.
bool VendorOrClass(USHORT function, uint8_t& typeAndRecipient) {
  switch (function) {
    case URB_FUNCTION_CLASS_DEVICE: typeAndRecipient = 0x20; return true;
    case URB_FUNCTION_CLASS_INTERFACE: typeAndRecipient = 0x21; return true;
    case URB_FUNCTION_CLASS_ENDPOINT: typeAndRecipient = 0x22; return true;
    case URB_FUNCTION_CLASS_OTHER: typeAndRecipient = 0x23; return true;
    case URB_FUNCTION_VENDOR_DEVICE: typeAndRecipient = 0x40; return true;
    case URB_FUNCTION_VENDOR_INTERFACE: typeAndRecipient = 0x41; return true;
    case URB_FUNCTION_VENDOR_ENDPOINT: typeAndRecipient = 0x42; return true;
    case URB_FUNCTION_VENDOR_OTHER: typeAndRecipient = 0x43; return true;
    default: return false;
  }
}

}  // namespace

NTSTATUS HostController::CompleteNow(PIRP irp, PURB urb, USBD_STATUS status) {
  if (urb != nullptr) urb->UrbHeader.Status = status;
  NTSTATUS nt = IrpStatusOf(status);
  irp->IoStatus.Status = nt;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return nt;
}

NTSTATUS HostController::Queue(Lock& lock, Transfer* t) {
  (void)lock;
  IoMarkIrpPending(t->irp);
  IoSetCancelRoutine(t->irp, TransferCancelRoutine);
  wake_.NotifyAll();  // an idle frame thread has work again
  return STATUS_PENDING;
}

NTSTATUS HostController::SubmitControl(Lock& lock, DeviceSlot* slot, PIRP irp, PURB urb, const uint8_t setup[8],
                                       uint8_t* buffer, uint32_t length, bool in) {
  (void)lock;
  if (length > 0 && buffer == nullptr) return USBD_STATUS_INVALID_PARAMETER;
  if (length > 0xFFFF) return USBD_STATUS_INVALID_PARAMETER;
  auto* t = new Transfer;
  t->kind = TransferKind::Control;
  t->irp = irp;
  t->urb = urb;
  t->slot = slot;
  t->buffer = buffer;
  t->length = length;
  t->in = in;
  std::copy(setup, setup + 8, t->setup);
  bool drop = false;  // the default pipe is never dropped
  ApplyFaults(slot, 0, t, drop);
  slot->controlQueue.push_back(t);
  return Queue(lock, t);
}

NTSTATUS HostController::SubmitIsoch(Lock& lock, DeviceSlot* slot, PIRP irp, PURB urb) {
  (void)lock;
  auto& iso = urb->UrbIsochronousTransfer;
  std::shared_ptr<Pipe> pipe = slot->FindPipe(iso.PipeHandle);
  if (!pipe) return USBD_STATUS_INVALID_PIPE_HANDLE;
  if (pipe->type != UsbdPipeTypeIsochronous) return USBD_STATUS_INVALID_PARAMETER;
  uint8_t* buffer = UrbBuffer(iso.TransferBuffer, iso.TransferBufferMDL);
  IsoPipeShape shape = pipe->Shape(slot->HighSpeed());
  if (CheckIsoUrb(shape, iso, buffer != nullptr) != IsoRule::Ok) return USBD_STATUS_INVALID_PARAMETER;

  uint64_t now = frameBase_ + (running_ ? static_cast<uint64_t>((sim::clock::Now() - startTime_) / 10000)
                                        : processedFrames_);
  uint64_t start;
  if (iso.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) {
    bool idle = !pipe->hasHistory ||
                (pipe->queue.empty() && pipe->nextFrame + USBD_ISO_START_FRAME_RANGE < now);
    start = idle ? now + kAsapLeadFrames : pipe->nextFrame;
  } else {
    // A start frame already passed but within range is accepted: the packets
    // of the frames gone by complete late.
    auto delta = static_cast<int32_t>(iso.StartFrame - static_cast<uint32_t>(now));
    const auto range = static_cast<int32_t>(USBD_ISO_START_FRAME_RANGE);
    if (delta < -range || delta > range || static_cast<int64_t>(now) + delta < 0) return USBD_STATUS_BAD_START_FRAME;
    start = static_cast<uint64_t>(static_cast<int64_t>(now) + delta);
  }
  auto* t = new Transfer;
  t->kind = TransferKind::Isoch;
  t->irp = irp;
  t->urb = urb;
  t->slot = slot;
  t->pipe = pipe;
  t->buffer = buffer;
  t->length = iso.TransferBufferLength;
  t->in = pipe->In();
  t->startFrame = start;
  if (slot->HighSpeed()) {
    t->firstInterval = start * 8;
    t->period = IsoPeriodMicroframes(shape);
  } else {
    t->firstInterval = start;
    t->period = 1;
  }
  for (uint32_t i = 0; i < iso.NumberOfPackets; ++i) {
    iso.IsoPacket[i].Status = USBD_STATUS_SUCCESS;
    if (t->in) iso.IsoPacket[i].Length = 0;
  }
  iso.ErrorCount = 0;
  pipe->hasHistory = true;
  pipe->nextFrame = start + IsoFramesForPackets(shape, iso.NumberOfPackets);

  bool drop = false;
  ApplyFaults(slot, pipe->endpointAddress, t, drop);
  if (t->failInjected) {
    t->status = t->injectedStatus;
    t->finished = true;
    t->dueTime = sim::clock::Now() + static_cast<int64_t>(t->delayMs) * 10000;
    delayed_.push_back(t);
  } else if (drop) {
    pipe->withheld.push_back(t);
  } else {
    pipe->queue.push_back(t);
  }
  return Queue(lock, t);
}

NTSTATUS HostController::SubmitBulk(Lock& lock, DeviceSlot* slot, PIRP irp, PURB urb) {
  auto& b = urb->UrbBulkOrInterruptTransfer;
  std::shared_ptr<Pipe> pipe = slot->FindPipe(b.PipeHandle);
  if (!pipe) return USBD_STATUS_INVALID_PIPE_HANDLE;
  if (pipe->type != UsbdPipeTypeBulk && pipe->type != UsbdPipeTypeInterrupt) return USBD_STATUS_INVALID_PARAMETER;
  uint8_t* buffer = UrbBuffer(b.TransferBuffer, b.TransferBufferMDL);
  if (b.TransferBufferLength > 0 && buffer == nullptr) return USBD_STATUS_INVALID_PARAMETER;
  if (pipe->halted) return USBD_STATUS_ENDPOINT_HALTED;
  auto* t = new Transfer;
  t->kind = TransferKind::BulkOrInterrupt;
  t->irp = irp;
  t->urb = urb;
  t->slot = slot;
  t->pipe = pipe;
  t->buffer = buffer;
  t->length = b.TransferBufferLength;
  t->in = pipe->In();
  bool drop = false;
  ApplyFaults(slot, pipe->endpointAddress, t, drop);
  if (t->failInjected) {
    t->status = t->injectedStatus;
    t->finished = true;
    t->dueTime = sim::clock::Now() + static_cast<int64_t>(t->delayMs) * 10000;
    delayed_.push_back(t);
  } else if (drop) {
    pipe->withheld.push_back(t);
  } else {
    pipe->queue.push_back(t);
  }
  return Queue(lock, t);
}

NTSTATUS HostController::PipeRequest(Lock& lock, DeviceSlot* slot, PIRP irp, PURB urb) {
  (void)irp;
  std::shared_ptr<Pipe> pipe = slot->FindPipe(urb->UrbPipeRequest.PipeHandle);
  if (!pipe) return USBD_STATUS_INVALID_PIPE_HANDLE;
  USHORT f = urb->UrbHeader.Function;
  if (f == URB_FUNCTION_ABORT_PIPE) {
    std::vector<Transfer*> cancelled;
    TakeAllOfPipe(*pipe, cancelled);
    for (Transfer* t : cancelled) {
      t->status = USBD_STATUS_CANCELED;
      pipe->completing++;
    }
    pipe->hasHistory = false;
    if (abortReturnsEarly_) {
      // The cancelled transfers complete later, from the controller's DPC.
      Deliver(cancelled);
      wake_.NotifyAll();
      return USBD_STATUS_SUCCESS;
    }
    lock.unlock();
    CompleteAll(cancelled);
    lock.lock();
    // Whatever the frame thread took out for completion is finished too
    // before the abort returns (a caller at DISPATCH_LEVEL cannot wait).
    if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
      sim::clock::WaitUntil(pipeIdle_, lock, sim::clock::kInfinite, [&] { return pipe->completing == 0; });
    }
    return USBD_STATUS_SUCCESS;
  }
  bool clearStall = f == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL || f == URB_FUNCTION_SYNC_CLEAR_STALL;
  bool resetHost = f == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL || f == URB_FUNCTION_SYNC_RESET_PIPE;
  // Withheld transfers (dropped by fault injection) are still the caller's.
  if (const size_t queued = pipe->queue.size() + pipe->withheld.size(); resetHost && queued != 0) {
    // The documentation requires the pipe's transfers to be aborted (and
    // back) first; Windows' behaviour otherwise is undefined.
    sim::verifier::Fail("IoCallDriver", "URB function 0x%04X resets pipe 0x%02X with %zu transfer(s) still queued", f,
                        pipe->endpointAddress, queued);
    return USBD_STATUS_INVALID_PARAMETER;
  }
  if (clearStall && pipe->type != UsbdPipeTypeIsochronous) {
    uint8_t setup[8];
    uint32_t none = 0;
    MakeSetup(setup, 0x02, USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_ENDPOINT_STALL, pipe->endpointAddress, 0);
    USBD_STATUS s = slot->Control(setup, nullptr, &none);
    if (!USBD_SUCCESS(s)) return s;
  }
  if (resetHost || clearStall) pipe->halted = false;
  if (resetHost) pipe->hasHistory = false;
  return USBD_STATUS_SUCCESS;
}

NTSTATUS HostController::SubmitUrb(DeviceSlot* slot, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  PURB urb = static_cast<PURB>(sp->Parameters.Others.Argument1);
  if (urb == nullptr) {
    irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_PARAMETER;
  }
  const USHORT f = urb->UrbHeader.Function;
  // The requests that wait for the device are PASSIVE_LEVEL only.
  if (KeGetCurrentIrql() > PASSIVE_LEVEL &&
      (f == URB_FUNCTION_SELECT_CONFIGURATION || f == URB_FUNCTION_SELECT_INTERFACE ||
       f == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL || f == URB_FUNCTION_SYNC_RESET_PIPE ||
       f == URB_FUNCTION_SYNC_CLEAR_STALL)) {
    sim::verifier::Fail("IoCallDriver", "URB function 0x%04X sent at IRQL %u; it needs PASSIVE_LEVEL", f,
                        static_cast<unsigned>(KeGetCurrentIrql()));
    return CompleteNow(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  }
  Lock lock(mutex_);
  if (slot->gone) {
    lock.unlock();
    return CompleteNow(irp, urb, USBD_STATUS_DEVICE_GONE);
  }
  const USHORT len = urb->UrbHeader.Length;
  urb->UrbHeader.Status = USBD_STATUS_PENDING;
  NTSTATUS r = USBD_STATUS_INVALID_URB_FUNCTION;
  std::vector<Transfer*> cancelled;
  uint8_t typeAndRecipient = 0;
  uint8_t setup[8];

  if (f == URB_FUNCTION_SELECT_CONFIGURATION || f == URB_FUNCTION_SELECT_INTERFACE) {
    std::vector<std::shared_ptr<Pipe>> closed;
    if (f == URB_FUNCTION_SELECT_CONFIGURATION) {
      r = len < sizeof(struct _URB_HEADER) + 16 ? USBD_STATUS_INVALID_PARAMETER
                                                 : slot->SelectConfiguration(urb->UrbSelectConfiguration, closed);
    } else {
      if (len < offsetof(struct _URB_SELECT_INTERFACE, Interface) + offsetof(USBD_INTERFACE_INFORMATION, Pipes)) {
        r = USBD_STATUS_INVALID_PARAMETER;
      } else if (slot->refuseSelectInterfaces > 0) {
        --slot->refuseSelectInterfaces;
        r = USBD_STATUS_NO_BANDWIDTH;
      } else {
        r = slot->SelectInterface(urb->UrbSelectInterface, closed);
      }
    }
    // Transfers still queued on pipes that no longer exist are cancelled.
    for (auto& pipe : closed) {
      std::vector<Transfer*> taken;
      TakeAllOfPipe(*pipe, taken);
      for (Transfer* t : taken) {
        t->status = USBD_STATUS_CANCELED;
        pipe->completing++;
        cancelled.push_back(t);
      }
    }
  } else if (f == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE || f == URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE ||
             f == URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT) {
    auto& d = urb->UrbControlDescriptorRequest;
    if (len < sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)) {
      r = USBD_STATUS_INVALID_PARAMETER;
    } else {
      uint8_t type = f == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ? 0x80
                     : f == URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE ? 0x81
                                                                       : 0x82;
      MakeSetup(setup, type, USB_REQUEST_GET_DESCRIPTOR, USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(d.DescriptorType, d.Index),
                d.LanguageId, static_cast<uint16_t>(std::min<ULONG>(d.TransferBufferLength, 0xFFFF)));
      r = SubmitControl(lock, slot, irp, urb, setup, UrbBuffer(d.TransferBuffer, d.TransferBufferMDL),
                        d.TransferBufferLength, true);
    }
  } else if (VendorOrClass(f, typeAndRecipient)) {
    auto& v = urb->UrbControlVendorClassRequest;
    if (len < sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)) {
      r = USBD_STATUS_INVALID_PARAMETER;
    } else {
      bool in = (v.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
      uint8_t bm = static_cast<uint8_t>((in ? 0x80 : 0x00) | typeAndRecipient | v.RequestTypeReservedBits);
      MakeSetup(setup, bm, v.Request, v.Value, v.Index, static_cast<uint16_t>(std::min<ULONG>(v.TransferBufferLength, 0xFFFF)));
      r = SubmitControl(lock, slot, irp, urb, setup, UrbBuffer(v.TransferBuffer, v.TransferBufferMDL),
                        v.TransferBufferLength, in);
    }
  } else if (f == URB_FUNCTION_CONTROL_TRANSFER) {
    auto& c = urb->UrbControlTransfer;
    if (len < sizeof(struct _URB_CONTROL_TRANSFER)) {
      r = USBD_STATUS_INVALID_PARAMETER;
    } else if (c.PipeHandle != nullptr && !(c.TransferFlags & USBD_DEFAULT_PIPE_TRANSFER)) {
      // Only the default pipe carries control transfers on these devices.
      r = slot->FindPipe(c.PipeHandle) ? USBD_STATUS_INVALID_PARAMETER : USBD_STATUS_INVALID_PIPE_HANDLE;
    } else {
      bool in = (c.SetupPacket[0] & 0x80) != 0;
      std::copy(c.SetupPacket, c.SetupPacket + 8, setup);
      uint32_t length = std::min<ULONG>(c.TransferBufferLength, static_cast<uint32_t>(setup[6] | setup[7] << 8));
      r = SubmitControl(lock, slot, irp, urb, setup, UrbBuffer(c.TransferBuffer, c.TransferBufferMDL), length, in);
    }
  } else if (f == URB_FUNCTION_ABORT_PIPE || f == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL ||
             f == URB_FUNCTION_SYNC_RESET_PIPE || f == URB_FUNCTION_SYNC_CLEAR_STALL) {
    r = len < sizeof(struct _URB_PIPE_REQUEST) ? USBD_STATUS_INVALID_PARAMETER : PipeRequest(lock, slot, irp, urb);
  } else if (f == URB_FUNCTION_ISOCH_TRANSFER) {
    r = len < sizeof(struct _URB_HEADER) + 8 ? USBD_STATUS_INVALID_PARAMETER : SubmitIsoch(lock, slot, irp, urb);
  } else if (f == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
    r = len < sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) ? USBD_STATUS_INVALID_PARAMETER
                                                             : SubmitBulk(lock, slot, irp, urb);
  } else if (f == URB_FUNCTION_GET_CURRENT_FRAME_NUMBER) {
    if (len < sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER)) {
      r = USBD_STATUS_INVALID_PARAMETER;
    } else {
      uint64_t now = frameBase_ + (running_ ? static_cast<uint64_t>((sim::clock::Now() - startTime_) / 10000)
                                            : processedFrames_);
      urb->UrbGetCurrentFrameNumber.FrameNumber = static_cast<ULONG>(now);
      r = USBD_STATUS_SUCCESS;
    }
  }

  if (r == STATUS_PENDING) {
    // Queued: the IRP is pending with the cancel routine set. A cancel that
    // came before the routine was in place is honoured here.
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
      lock.unlock();
      CancelIrp(irp);
    }
    return STATUS_PENDING;
  }
  wake_.NotifyAll();  // a selected alternate setting may start a stream
  lock.unlock();
  CompleteAll(cancelled);
  return CompleteNow(irp, urb, r);
}

}  // namespace sim::usb
