#include "sim/usb/bus/iso_rules.h"

#include <usbdlib.h>

#include <algorithm>

namespace sim::usb {

const char* IsoRuleName(IsoRule rule) {
  switch (rule) {
    case IsoRule::Ok: return "ok";
    case IsoRule::HeaderLength: return "header length";
    case IsoRule::PacketCount: return "packet count";
    case IsoRule::PacketMultiple: return "packets per frame multiple";
    case IsoRule::NoBuffer: return "no buffer";
    case IsoRule::OffsetOrder: return "offset order";
    case IsoRule::OffsetRange: return "offset range";
    case IsoRule::OutPacketTooBig: return "OUT packet above MaximumPacketSize";
  }
  return "?";
}

uint32_t IsoPeriodMicroframes(const IsoPipeShape& pipe) {
  if (!pipe.highSpeed) return 8;
  uint32_t b = std::clamp<uint32_t>(pipe.interval, 1, 16);
  return 1u << (b - 1);
}

uint32_t IsoPacketsPerFrame(const IsoPipeShape& pipe) {
  if (!pipe.highSpeed) return 1;
  uint32_t period = IsoPeriodMicroframes(pipe);
  return period >= 8 ? 1 : 8 / period;
}

uint32_t IsoFramesForPackets(const IsoPipeShape& pipe, uint32_t packets) {
  if (!pipe.highSpeed) return packets;
  uint64_t micro = static_cast<uint64_t>(packets) * IsoPeriodMicroframes(pipe);
  return static_cast<uint32_t>((micro + 7) / 8);
}

uint32_t IsoOutPacketLength(const struct _URB_ISOCH_TRANSFER& urb, uint32_t i) {
  uint32_t end = (i + 1 < urb.NumberOfPackets) ? urb.IsoPacket[i + 1].Offset : urb.TransferBufferLength;
  uint32_t off = urb.IsoPacket[i].Offset;
  return end > off ? end - off : 0;
}

uint32_t IsoInPacketRoom(const struct _URB_ISOCH_TRANSFER& urb, uint32_t i, uint32_t maximumPacketSize) {
  return std::min(IsoOutPacketLength(urb, i), maximumPacketSize);
}

IsoRule CheckIsoUrb(const IsoPipeShape& pipe, const struct _URB_ISOCH_TRANSFER& urb, bool haveBuffer) {
  uint32_t n = urb.NumberOfPackets;
  uint32_t maxPackets = pipe.highSpeed ? kMaxIsoPacketsHighSpeed : kMaxIsoPacketsFullSpeed;
  if (n == 0 || n > maxPackets) return IsoRule::PacketCount;
  if (urb.Hdr.Length < GET_ISO_URB_SIZE(n)) return IsoRule::HeaderLength;
  if (n % IsoPacketsPerFrame(pipe) != 0) return IsoRule::PacketMultiple;
  if (urb.TransferBufferLength > 0 && !haveBuffer) return IsoRule::NoBuffer;
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t off = urb.IsoPacket[i].Offset;
    if (off > urb.TransferBufferLength) return IsoRule::OffsetRange;
    if (i > 0 && off < urb.IsoPacket[i - 1].Offset) return IsoRule::OffsetOrder;
  }
  if (!pipe.in) {
    for (uint32_t i = 0; i < n; ++i) {
      if (IsoOutPacketLength(urb, i) > pipe.maximumPacketSize) return IsoRule::OutPacketTooBig;
    }
  }
  return IsoRule::Ok;
}

}  // namespace sim::usb
