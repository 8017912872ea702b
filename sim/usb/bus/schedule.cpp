// The frame thread's work: every device interval of an elapsed frame, the
// control requests queued for the frame and the packets scheduled in it.
#include <algorithm>

#include "sim/usb/bus/host_controller.h"

namespace sim::usb {

namespace {

USBD_STATUS PacketStatus(XferResult r, bool isoch) {
  switch (r) {
    case XferResult::Ok: return USBD_STATUS_SUCCESS;
    case XferResult::Stall: return USBD_STATUS_STALL_PID;
    case XferResult::NotResponding: return USBD_STATUS_DEV_NOT_RESPONDING;
    case XferResult::PacketError: return isoch ? USBD_STATUS_ISO_TD_ERROR : USBD_STATUS_XACT_ERROR;
  }
  return USBD_STATUS_XACT_ERROR;
}

}  // namespace

void HostController::ProcessFrame(uint64_t frame, std::vector<Transfer*>& done) {
  for (auto& slot : slots_) {
    if (slot->gone) continue;
    if (slot->HighSpeed()) {
      for (uint64_t u = frame * 8; u < frame * 8 + 8; ++u) ProcessDeviceInterval(slot.get(), u, u % 8 == 0, done);
    } else {
      ProcessDeviceInterval(slot.get(), frame, true, done);
    }
  }
}

void HostController::ProcessDeviceInterval(DeviceSlot* slot, uint64_t interval, bool frameStart,
                                           std::vector<Transfer*>& done) {
  slot->device()->OnBusInterval(interval);
  if (frameStart) {
    while (!slot->controlQueue.empty()) {
      Transfer* t = slot->controlQueue.front();
      slot->controlQueue.pop_front();
      RunControl(t);
      Finish(t, t->status, done);
    }
  }
  for (auto& [handle, pipe] : slot->pipes()) {
    if (pipe->type == UsbdPipeTypeIsochronous) {
      ProcessIsoPipe(slot, *pipe, interval, done);
    } else if (pipe->type == UsbdPipeTypeBulk || pipe->type == UsbdPipeTypeInterrupt) {
      ProcessBulkPipe(slot, *pipe, interval, done);
    }
  }
}

void HostController::RunControl(Transfer* t) {
  if (t->failInjected) {
    t->status = t->injectedStatus;
    t->done = 0;
    return;
  }
  uint32_t length = t->length;
  t->status = t->slot->Control(t->setup, t->buffer, &length);
  t->done = length;
}

void HostController::ProcessIsoPipe(DeviceSlot* slot, Pipe& pipe, uint64_t interval, std::vector<Transfer*>& done) {
  while (!pipe.queue.empty()) {
    Transfer* t = pipe.queue.front();
    auto& iso = t->urb->UrbIsochronousTransfer;
    const uint32_t n = iso.NumberOfPackets;
    // Packets whose interval went by without them (submitted too late).
    while (t->nextPacket < n && t->firstInterval + uint64_t(t->nextPacket) * t->period < interval) {
      auto& p = iso.IsoPacket[t->nextPacket++];
      p.Status = USBD_STATUS_ISO_NA_LATE_USBPORT;
      if (t->in) p.Length = 0;
    }
    if (t->nextPacket < n && t->firstInterval + uint64_t(t->nextPacket) * t->period == interval) {
      uint32_t i = t->nextPacket++;
      auto& p = iso.IsoPacket[i];
      if (t->in) {
        uint32_t room = IsoInPacketRoom(iso, i, pipe.maximumPacketSize);
        uint32_t actual = 0;
        XferResult r = slot->device()->PacketIn(pipe.endpointAddress, t->buffer ? t->buffer + p.Offset : nullptr,
                                                room, &actual);
        p.Status = PacketStatus(r, true);
        if (r == XferResult::Ok && actual > room) {
          p.Status = USBD_STATUS_BABBLE_DETECTED;
          actual = room;
        }
        p.Length = USBD_SUCCESS(p.Status) ? actual : 0;
      } else {
        uint32_t length = IsoOutPacketLength(iso, i);
        XferResult r = slot->device()->PacketOut(pipe.endpointAddress, t->buffer ? t->buffer + p.Offset : nullptr,
                                                 length);
        p.Status = PacketStatus(r, true);
      }
    }
    if (t->nextPacket < n) break;
    pipe.queue.pop_front();
    Finish(t, USBD_STATUS_SUCCESS, done);
  }
}

void HostController::ProcessBulkPipe(DeviceSlot* slot, Pipe& pipe, uint64_t interval, std::vector<Transfer*>& done) {
  if (pipe.queue.empty()) return;
  if (pipe.type == UsbdPipeTypeInterrupt) {
    uint64_t period = slot->HighSpeed() ? (1ull << (std::clamp<uint32_t>(pipe.interval, 1, 16) - 1))
                                        : std::max<uint32_t>(pipe.interval, 1);
    if (interval % period != 0) return;
  }
  const uint32_t maxPacket = std::max<uint32_t>(pipe.maximumPacketSize, 1);
  int budget = pipe.type == UsbdPipeTypeBulk ? 8 : 1;  // packets per interval
  while (budget-- > 0 && !pipe.queue.empty()) {
    Transfer* t = pipe.queue.front();
    uint32_t chunk = std::min(maxPacket, t->length - t->done);
    XferResult r;
    uint32_t moved = 0;
    if (t->in) {
      r = slot->device()->PacketIn(pipe.endpointAddress, t->buffer + t->done, chunk, &moved);
      // The device model has no NAK: an empty answer means nothing to send yet.
      if (r == XferResult::Ok && moved == 0 && chunk > 0) return;
      moved = std::min(moved, chunk);
    } else {
      r = slot->device()->PacketOut(pipe.endpointAddress, t->buffer ? t->buffer + t->done : nullptr, chunk);
      moved = chunk;
    }
    if (r != XferResult::Ok) {
      if (r == XferResult::Stall) pipe.halted = true;
      pipe.queue.pop_front();
      Finish(t, PacketStatus(r, false), done);
      continue;
    }
    t->done += moved;
    bool shortPacket = t->in && moved < maxPacket;
    if (t->done >= t->length || shortPacket) {
      pipe.queue.pop_front();
      Finish(t, USBD_STATUS_SUCCESS, done);
    }
  }
}

}  // namespace sim::usb
