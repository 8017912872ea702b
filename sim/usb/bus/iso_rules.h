// The checks the USB stack makes on an isochronous URB before it schedules
// it, and the bus-interval arithmetic of isochronous pipes.
#pragma once

#include <usb.h>

#include <cstdint>

namespace sim::usb {

// Which check an isochronous URB failed.
enum class IsoRule {
  Ok,
  HeaderLength,     // Hdr.Length below GET_ISO_URB_SIZE(NumberOfPackets)
  PacketCount,      // 0 packets, or more than the speed allows
  PacketMultiple,   // high speed: not a whole number of frames for the pipe's interval
  NoBuffer,         // neither buffer nor MDL for a non-empty transfer
  OffsetOrder,      // an offset below the previous one
  OffsetRange,      // an offset beyond TransferBufferLength
  OutPacketTooBig,  // OUT: next offset - offset above MaximumPacketSize
};

const char* IsoRuleName(IsoRule rule);

struct IsoPipeShape {
  bool highSpeed;
  bool in;
  uint32_t maximumPacketSize;  // per (micro)frame, high-bandwidth multiplier included
  uint8_t interval;            // bInterval
};

inline constexpr uint32_t kMaxIsoPacketsFullSpeed = 255;
inline constexpr uint32_t kMaxIsoPacketsHighSpeed = 1024;

// Microframes between packets at high speed (2^(bInterval-1), bInterval
// clamped to 1..16); full-speed isochronous pipes carry one packet per frame.
uint32_t IsoPeriodMicroframes(const IsoPipeShape& pipe);
// Packets per 1 ms frame: high speed 8 / period (at least 1), full speed 1.
uint32_t IsoPacketsPerFrame(const IsoPipeShape& pipe);
// Frames a transfer of n packets covers.
uint32_t IsoFramesForPackets(const IsoPipeShape& pipe, uint32_t packets);

IsoRule CheckIsoUrb(const IsoPipeShape& pipe, const struct _URB_ISOCH_TRANSFER& urb, bool haveBuffer);

// Bytes of packet i of an OUT transfer: up to the next offset, the last one up
// to TransferBufferLength (the Length field does not count for OUT).
uint32_t IsoOutPacketLength(const struct _URB_ISOCH_TRANSFER& urb, uint32_t i);
// Room for packet i of an IN transfer.
uint32_t IsoInPacketRoom(const struct _URB_ISOCH_TRANSFER& urb, uint32_t i, uint32_t maximumPacketSize);

}  // namespace sim::usb
