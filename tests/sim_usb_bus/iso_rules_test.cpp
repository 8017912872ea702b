// The checks an isochronous URB must pass before it is scheduled.
#include <gtest/gtest.h>
#include <usbdlib.h>

#include <vector>

#include "sim/usb/bus/iso_rules.h"

namespace sim::usb {
namespace {

struct Urb {
  std::vector<uint8_t> bytes;
  explicit Urb(uint32_t packets, uint32_t length, uint32_t step) : bytes(GET_ISO_URB_SIZE(packets)) {
    auto& u = Get();
    u.Hdr.Length = static_cast<USHORT>(bytes.size());
    u.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    u.NumberOfPackets = packets;
    u.TransferBufferLength = length;
    for (uint32_t i = 0; i < packets; ++i) u.IsoPacket[i].Offset = i * step;
  }
  struct _URB_ISOCH_TRANSFER& Get() {
    return reinterpret_cast<PURB>(bytes.data())->UrbIsochronousTransfer;
  }
};

const IsoPipeShape kHsOut{true, false, 192, 1};
const IsoPipeShape kFsOut{false, false, 196, 1};

TEST(IsoRules, AcceptsAWellFormedTransfer) {
  Urb u(8, 8 * 192, 192);
  EXPECT_EQ(CheckIsoUrb(kHsOut, u.Get(), true), IsoRule::Ok);
}

TEST(IsoRules, EachRuleRejectsItsFault) {
  {
    Urb u(8, 8 * 192, 192);
    u.Get().Hdr.Length = static_cast<USHORT>(GET_ISO_URB_SIZE(8) - 12);  // one packet descriptor short
    EXPECT_EQ(CheckIsoUrb(kHsOut, u.Get(), true), IsoRule::HeaderLength);
  }
  {
    Urb u(1, 0, 0);
    u.Get().NumberOfPackets = 0;
    EXPECT_EQ(CheckIsoUrb(kFsOut, u.Get(), true), IsoRule::PacketCount);
    Urb big(256, 256, 1);
    EXPECT_EQ(CheckIsoUrb(kFsOut, big.Get(), true), IsoRule::PacketCount);
    Urb ok(255, 255, 1);
    EXPECT_EQ(CheckIsoUrb(kFsOut, ok.Get(), true), IsoRule::Ok);
  }
  {
    Urb u(5, 5 * 192, 192);  // eight packets per frame at bInterval 1
    EXPECT_EQ(CheckIsoUrb(kHsOut, u.Get(), true), IsoRule::PacketMultiple);
    IsoPipeShape two{true, false, 192, 3};  // every 4th microframe: two per frame
    Urb six(6, 6 * 192, 192);
    EXPECT_EQ(CheckIsoUrb(two, six.Get(), true), IsoRule::Ok);
    IsoPipeShape slow{true, false, 192, 5};  // every 2 ms: no multiple needed
    Urb one(1, 192, 192);
    EXPECT_EQ(CheckIsoUrb(slow, one.Get(), true), IsoRule::Ok);
  }
  {
    Urb u(8, 8 * 192, 192);
    EXPECT_EQ(CheckIsoUrb(kHsOut, u.Get(), false), IsoRule::NoBuffer);
  }
  {
    Urb u(8, 8 * 192, 192);
    u.Get().IsoPacket[3].Offset = 100;
    EXPECT_EQ(CheckIsoUrb(kHsOut, u.Get(), true), IsoRule::OffsetOrder);
  }
  {
    Urb u(8, 7 * 192, 192);
    u.Get().IsoPacket[7].Offset = 7 * 192 + 1;
    EXPECT_EQ(CheckIsoUrb(kHsOut, u.Get(), true), IsoRule::OffsetRange);
  }
  {
    Urb u(8, 8 * 192, 192);
    u.Get().IsoPacket[4].Offset = 4 * 192 - 4;  // packet 3 shrinks, packet 4 grows to 196 bytes
    EXPECT_EQ(CheckIsoUrb(kHsOut, u.Get(), true), IsoRule::OutPacketTooBig);
    IsoPipeShape in = kHsOut;
    in.in = true;  // IN packets take what fits
    EXPECT_EQ(CheckIsoUrb(in, u.Get(), true), IsoRule::Ok);
  }
}

TEST(IsoRules, OutLengthsComeFromOffsetsNotFromLength) {
  Urb u(8, 5 * 192, 192);  // the last three packets are empty
  for (uint32_t i = 5; i < 8; ++i) u.Get().IsoPacket[i].Offset = 5 * 192;
  u.Get().IsoPacket[0].Length = 9999;
  EXPECT_EQ(CheckIsoUrb(kHsOut, u.Get(), true), IsoRule::Ok);
  EXPECT_EQ(IsoOutPacketLength(u.Get(), 0), 192u);
  EXPECT_EQ(IsoOutPacketLength(u.Get(), 4), 192u);
  EXPECT_EQ(IsoOutPacketLength(u.Get(), 7), 0u);
}

TEST(IsoRules, FramesCoveredByATransfer) {
  EXPECT_EQ(IsoFramesForPackets(kHsOut, 16), 2u);
  EXPECT_EQ(IsoFramesForPackets({true, true, 4, 4}, 4), 4u);  // one per frame
  EXPECT_EQ(IsoFramesForPackets(kFsOut, 10), 10u);
  EXPECT_EQ(IsoPacketsPerFrame({true, true, 4, 2}), 4u);
}

}  // namespace
}  // namespace sim::usb
