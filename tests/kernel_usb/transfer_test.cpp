// Asynchronous transfers: isochronous packetization, the completion with its
// packet compaction, bus frames, bulk/interrupt transfers and the IRP pool.
#include <gtest/gtest.h>

#include <mutex>
#include <set>

#include "sim/usb/device/descriptor_builder.h"
#include "usb_harness.h"

using namespace usbtest;

namespace {

constexpr ULONG kMaxPacket = 192;
constexpr UCHAR kInInterval3 = 0x81;
constexpr UCHAR kInInterval1 = 0x82;
constexpr UCHAR kInInterval5 = 0x83;
constexpr UCHAR kOutInterval1 = 0x04;
constexpr UCHAR kInterruptIn = 0x85;

// A vendor interface whose alternate setting 1 has isochronous endpoints of
// several intervals and an interrupt endpoint.
std::unique_ptr<sim::usb::UsbAudioDevice> IsoDevice(sim::usb::Speed speed = sim::usb::Speed::High) {
  sim::usb::ConfigurationBuilder c;
  c.Interface(0, 0, 0xFF, 0, 0)
      .Interface(0, 1, 0xFF, 0, 0)
      .Endpoint(kInInterval3, 0x05, kMaxPacket, 3)
      .Endpoint(kInInterval1, 0x05, kMaxPacket, 1)
      .Endpoint(kInInterval5, 0x05, kMaxPacket, 5)
      .Endpoint(kOutInterval1, 0x05, kMaxPacket, 1)
      .Endpoint(kInterruptIn, 0x03, 16, 4);
  sim::usb::DeviceDescriptorFields f;
  f.bDeviceClass = 0xFF;
  f.bcdUSB = speed == sim::usb::Speed::High ? 0x0200 : 0x0110;
  return FromDescriptors(sim::usb::BuildDeviceDescriptor(f), c.Build(), speed);
}

class UsbTransfer : public ::testing::Test {
 protected:
  void SetUp() override { Open(Configured()); }
  void Open(const Options& options) {
    h_.reset();
    h_ = std::make_unique<Harness>(IsoDevice(), options);
    ASSERT_EQ(h_->AttachStatus(), STATUS_SUCCESS);
    ASSERT_EQ(h_->Usb().SelectAlternate(0, 1), STATUS_SUCCESS);
  }
  PUSBD_PIPE_INFORMATION Pipe(UCHAR address) {
    PUSBD_PIPE_INFORMATION pipe = h_->Usb().FindPipe(address);
    EXPECT_NE(pipe, nullptr);
    return pipe;
  }
  // Submits, waits, and returns what the spy saw of the URB.
  SeenUrb Run(UCHAR address, ULONG length, UCHAR flags, Completion* done, std::vector<UCHAR>* buffer) {
    buffer->assign(length == 0 ? 1 : length, 0);
    h_->SpyFilter().Clear();
    EXPECT_EQ(h_->Usb().SubmitTransfer(Pipe(address), buffer->data(), length, flags, Completion::Callback, done, 0),
              STATUS_SUCCESS);
    EXPECT_TRUE(done->Wait());
    auto seen = h_->SpyFilter().Seen();
    EXPECT_EQ(seen.size(), 1u);
    return seen.empty() ? SeenUrb{} : seen.front();
  }
  std::unique_ptr<Harness> h_;
};

constexpr UCHAR kInAsap = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;

// The spy answers isochronous IN URBs of one endpoint itself: the packets
// come back with these lengths, each filled with its index + 1.
void AnswerIn(Spy& spy, PUSBD_PIPE_INFORMATION pipe, std::vector<ULONG> lengths, NTSTATUS status = STATUS_SUCCESS) {
  const USBD_PIPE_HANDLE handle = pipe->PipeHandle;
  spy.SetAnswer([handle, lengths, status](PIRP irp, PURB urb) {
    auto& iso = urb->UrbIsochronousTransfer;
    if (urb->UrbHeader.Function != URB_FUNCTION_ISOCH_TRANSFER || iso.PipeHandle != handle) return false;
    auto* data = static_cast<UCHAR*>(iso.TransferBuffer);
    ULONG received = 0;
    for (ULONG i = 0; i < iso.NumberOfPackets && i < lengths.size(); ++i) {
      iso.IsoPacket[i].Length = lengths[i];
      const ULONG room = iso.TransferBufferLength - iso.IsoPacket[i].Offset;
      memset(data + iso.IsoPacket[i].Offset, static_cast<int>(i + 1), lengths[i] < room ? lengths[i] : room);
      received += lengths[i];
    }
    // As the host controller does: the URB reports the bytes received, not the buffer size.
    iso.TransferBufferLength = received;
    iso.StartFrame = 4711;
    iso.Hdr.Status = NT_SUCCESS(status) ? USBD_STATUS_SUCCESS : USBD_STATUS_ISOCH_REQUEST_FAILED;
    CompleteIrp(irp, status);
    return true;
  });
}

}  // namespace

TEST_F(UsbTransfer, HighSpeedPacketCountsFillWholeMilliseconds) {
  Completion a, b, c, d;
  std::vector<UCHAR> buffer;
  // The vendor endpoints do not answer IN packets: that the device was asked
  // shows that the bus scheduled the URB rather than refusing its packet count.
  auto asked = [this] { return h_->Device().GetDeviceCounters().unknownEndpointPackets; };
  uint64_t before = asked();

  SeenUrb urb = Run(kInInterval3, 5 * kMaxPacket, kInAsap, &a, &buffer);  // two packets per ms
  EXPECT_EQ(urb.packets, 6u);
  EXPECT_EQ(urb.transferFlags, static_cast<ULONG>(kInAsap));
  for (ULONG i = 0; i < urb.isoPackets.size(); ++i) {
    EXPECT_EQ(urb.isoPackets[i].Offset, i * kMaxPacket);
    EXPECT_EQ(urb.isoPackets[i].Length, 0u);
  }
  EXPECT_GT(asked(), before);
  before = asked();

  // Eight per ms; the packets added to fill the millisecond stay inside the buffer.
  urb = Run(kInInterval1, 9 * kMaxPacket - 10, kInAsap, &b, &buffer);
  EXPECT_EQ(urb.packets, 16u);
  for (ULONG i = 0; i < urb.isoPackets.size(); ++i) {
    EXPECT_EQ(urb.isoPackets[i].Offset, std::min<ULONG>(i * kMaxPacket, 9 * kMaxPacket - 10)) << i;
  }
  EXPECT_GT(asked(), before);

  urb = Run(kInInterval5, 5 * kMaxPacket, kInAsap, &c, &buffer);  // longer than a millisecond: no rounding
  EXPECT_EQ(urb.packets, 5u);

  // OUT: each packet carries at most a packet's worth; the fill packets are empty.
  urb = Run(kOutInterval1, 1000, USBD_START_ISO_TRANSFER_ASAP, &d, &buffer);
  ASSERT_EQ(urb.packets, 8u);
  const ULONG lengths[8] = {192, 192, 192, 192, 192, 40, 0, 0};
  for (ULONG i = 0; i < 8; ++i) EXPECT_EQ(urb.isoPackets[i].Length, lengths[i]) << i;
  EXPECT_EQ(urb.isoPackets[7].Offset, 1000u);
  EXPECT_EQ(d.status, STATUS_SUCCESS);
  EXPECT_EQ(d.bytes, 1000u);
}

TEST_F(UsbTransfer, RefusesMoreThan64PacketsUnsent) {
  std::vector<UCHAR> buffer(65 * kMaxPacket);
  Completion done;
  EXPECT_EQ(h_->Usb().ReadTransfer(Pipe(kInInterval5), buffer.data(), 65 * kMaxPacket, Completion::Callback, &done),
            STATUS_INVALID_PARAMETER);
  // 57 packets round up to 64 at eight per millisecond, the most that fits.
  EXPECT_EQ(h_->Usb().ReadTransfer(Pipe(kInInterval1), buffer.data(), 57 * kMaxPacket, Completion::Callback, &done),
            STATUS_SUCCESS);
  ASSERT_TRUE(done.Wait());
  ASSERT_EQ(h_->SpyFilter().Count(URB_FUNCTION_ISOCH_TRANSFER), 1u);
  EXPECT_EQ(h_->SpyFilter().Seen().back().packets, 64u);
}

TEST_F(UsbTransfer, InPacketsArePackedToTheFront) {
  PUSBD_PIPE_INFORMATION pipe = Pipe(kInInterval5);
  std::vector<UCHAR> buffer(3 * kMaxPacket, 0xEE);
  {
    AnswerIn(h_->SpyFilter(), pipe, {100, 0, 50});
    Completion done;
    ASSERT_EQ(h_->Usb().ReadTransfer(pipe, buffer.data(), 3 * kMaxPacket, Completion::Callback, &done), STATUS_SUCCESS);
    ASSERT_TRUE(done.Wait());
    EXPECT_EQ(done.status, STATUS_SUCCESS);
    EXPECT_EQ(done.bytes, 150u);
    EXPECT_EQ(done.startFrame, 4711u);
    EXPECT_EQ(done.frames, h_->Usb().PacketsToFrames(3, pipe));
    for (ULONG i = 0; i < 100; ++i) ASSERT_EQ(buffer[i], 1) << i;
    for (ULONG i = 100; i < 150; ++i) ASSERT_EQ(buffer[i], 3) << i;
  }
  {
    SCOPED_TRACE("overlapping moves");
    AnswerIn(h_->SpyFilter(), pipe, {10, kMaxPacket, kMaxPacket});
    Completion done;
    ASSERT_EQ(h_->Usb().ReadTransfer(pipe, buffer.data(), 3 * kMaxPacket, Completion::Callback, &done), STATUS_SUCCESS);
    ASSERT_TRUE(done.Wait());
    EXPECT_EQ(done.bytes, 10 + 2 * kMaxPacket);
    for (ULONG i = 0; i < done.bytes; ++i) ASSERT_EQ(buffer[i], i < 10 ? 1 : (i < 10 + kMaxPacket ? 2 : 3)) << i;
  }
  {
    SCOPED_TRACE("a packet claiming more than the buffer holds");
    AnswerIn(h_->SpyFilter(), pipe, {100, 0, 5000});
    Completion done;
    ASSERT_EQ(h_->Usb().ReadTransfer(pipe, buffer.data(), 3 * kMaxPacket, Completion::Callback, &done), STATUS_SUCCESS);
    ASSERT_TRUE(done.Wait());
    EXPECT_EQ(done.bytes, 100 + kMaxPacket);
  }
  {
    SCOPED_TRACE("failed transfer");
    AnswerIn(h_->SpyFilter(), pipe, {100, 0, 50}, STATUS_UNSUCCESSFUL);
    Completion done;
    ASSERT_EQ(h_->Usb().ReadTransfer(pipe, buffer.data(), 3 * kMaxPacket, Completion::Callback, &done), STATUS_SUCCESS);
    ASSERT_TRUE(done.Wait());
    EXPECT_EQ(done.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(done.bytes, 0u);
    EXPECT_EQ(done.startFrame, 0u);
  }
}

// Whole capture transfers from a real (simulated) device: every packet counts, the last ones
// included, although the bus reports only the received bytes in the URB. All three are queued
// at once, as a stream keeps them: one submitted after its predecessor completed would continue
// that predecessor's frames and be late on a loaded machine.
TEST(UsbCaptureTransfer, ReportsEveryPacketOfTheDevice) {
  Harness h(Model("oxley-2x2"), Configured());
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  ASSERT_EQ(h.Usb().SelectAlternate(2, 1), STATUS_SUCCESS);
  PUSBD_PIPE_INFORMATION pipe = h.Usb().FindPipe(0x82);
  ASSERT_NE(pipe, nullptr);
  constexpr ULONG kPackets = 16;  // two milliseconds of microframes
  constexpr int kTransfers = 3;
  std::vector<std::vector<UCHAR>> buffers(kTransfers, std::vector<UCHAR>(kPackets * pipe->MaximumPacketSize));
  Completion done[kTransfers];
  for (int i = 0; i < kTransfers; ++i) {
    ASSERT_EQ(h.Usb().ReadTransfer(pipe, buffers[i].data(), static_cast<ULONG>(buffers[i].size()),
                                   Completion::Callback, &done[i]),
              STATUS_SUCCESS);
  }
  for (int i = 0; i < kTransfers; ++i) ASSERT_TRUE(done[i].Wait()) << i;
  for (int i = 0; i < kTransfers; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(done[i].status, STATUS_SUCCESS);
    // 2 channels of 3 bytes, 6 or 7 frames per microframe at 48 kHz.
    EXPECT_EQ(done[i].bytes % 6, 0u);
    EXPECT_GE(done[i].bytes, kPackets * 36);
    EXPECT_LE(done[i].bytes, kPackets * 42);
  }
}

TEST_F(UsbTransfer, InterruptTransfersReportWhatArrived) {
  PUSBD_PIPE_INFORMATION pipe = Pipe(kInterruptIn);
  const USBD_PIPE_HANDLE handle = pipe->PipeHandle;
  h_->SpyFilter().SetAnswer([handle](PIRP irp, PURB urb) {
    if (urb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) return false;
    EXPECT_EQ(urb->UrbBulkOrInterruptTransfer.PipeHandle, handle);
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 7;
    CompleteIrp(irp, STATUS_SUCCESS);
    return true;
  });
  UCHAR data[16];
  Completion done;
  ASSERT_EQ(h_->Usb().SubmitTransfer(pipe, data, sizeof(data), USBD_TRANSFER_DIRECTION_IN, Completion::Callback, &done,
                                     99),
            STATUS_SUCCESS);
  ASSERT_TRUE(done.Wait());
  EXPECT_EQ(done.status, STATUS_SUCCESS);
  EXPECT_EQ(done.bytes, 7u);
  EXPECT_EQ(done.startFrame, 0u);
  EXPECT_EQ(done.frames, 0u);
  EXPECT_EQ(h_->SpyFilter().Seen().back().transferFlags,
            static_cast<ULONG>(USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK));
}

TEST_F(UsbTransfer, PacketsToFrames) {
  USBD_PIPE_INFORMATION pipe = *Pipe(kInInterval1);
  EXPECT_EQ(h_->Usb().PacketsToFrames(8, &pipe), 1u);
  pipe.Interval = 4;  // 8 microframes
  EXPECT_EQ(h_->Usb().PacketsToFrames(8, &pipe), 8u);
  pipe.Interval = 0;  // not a valid exponent: taken as 1
  EXPECT_EQ(h_->Usb().PacketsToFrames(8, &pipe), 1u);
  EXPECT_EQ(h_->Usb().PacketsToFrames(8, Pipe(kInterruptIn)), 0u);
  h_.reset();  // one driver at a time: unload checks every driver allocation

  Harness fullSpeed(IsoDevice(sim::usb::Speed::Full), Configured());
  ASSERT_EQ(fullSpeed.AttachStatus(), STATUS_SUCCESS);
  ASSERT_EQ(+fullSpeed.Usb().DeviceDescriptor().bcdUSB, 0x0110);
  ASSERT_FALSE(fullSpeed.Usb().IsHighSpeed());
  pipe.Interval = 1;
  EXPECT_EQ(fullSpeed.Usb().PacketsToFrames(8, &pipe), 8u);
}

TEST_F(UsbTransfer, IrpPoolReusesItsIrpsAndGrowsToThePeak) {
  Open(ConfiguredWithPool(2));
  PUSBD_PIPE_INFORMATION pipe = Pipe(kInInterval5);
  std::mutex held_lock;
  std::vector<PIRP> held;
  h_->SpyFilter().SetAnswer([&](PIRP irp, PURB urb) {
    if (urb->UrbHeader.Function != URB_FUNCTION_ISOCH_TRANSFER) return false;
    std::lock_guard<std::mutex> l(held_lock);
    held.push_back(irp);
    return true;
  });
  auto releaseAll = [&] {
    std::lock_guard<std::mutex> l(held_lock);
    for (PIRP irp : held) CompleteIrp(irp, STATUS_SUCCESS);
    held.clear();
  };
  std::vector<UCHAR> buffer(kMaxPacket);
  auto round = [&](int transfers) {
    h_->SpyFilter().Clear();
    std::vector<std::unique_ptr<Completion>> done;
    for (int i = 0; i < transfers; ++i) {
      done.push_back(std::make_unique<Completion>());
      EXPECT_EQ(h_->Usb().ReadTransfer(pipe, buffer.data(), kMaxPacket, Completion::Callback, done.back().get()),
                STATUS_SUCCESS);
    }
    releaseAll();
    for (auto& d : done) EXPECT_TRUE(d->Wait());
    std::set<PIRP> irps;
    for (const SeenUrb& s : h_->SpyFilter().Seen()) irps.insert(s.irp);
    return irps;
  };
  const std::set<PIRP> firstPeak = round(4);
  EXPECT_EQ(firstPeak.size(), 4u);
  EXPECT_EQ(round(4), firstPeak);  // no new IRPs once the pool has grown
  for (int i = 0; i < 3; ++i) {
    const std::set<PIRP> one = round(1);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_TRUE(firstPeak.count(*one.begin()));
  }
}
