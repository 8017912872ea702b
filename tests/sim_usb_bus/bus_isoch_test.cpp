// Isochronous scheduling through the bus: validation, start frames, ASAP
// continuity, late packets, abort, cancel, reset, bus faults and unplug.
#include <atomic>
#include "sim/kernel/core/clock.h"
#include <mutex>

#include "bus_fixture.h"
#include "sim/kernel/core/verifier.h"
#include "sim/kernel/core/clock.h"

namespace sim::usb::test {
namespace {

constexpr int64_t kMs = 10000;

// Completion of one asynchronous URB, waited for with a bound.
struct Done {
  std::mutex m;
  sim::clock::Condition cv{"test transfer"};
  bool done = false;
  NTSTATUS status = 0;
  int64_t when = 0;
  KIRQL irql = 0;
  UsbTestClient::Completion Callback() {
    return [this](NTSTATUS s, PURB) {
      std::lock_guard<std::mutex> g(m);
      status = s;
      when = sim::clock::Now();
      irql = KeGetCurrentIrql();
      done = true;
      cv.NotifyAll();
    };
  }
  bool Wait(int64_t ms = 3000) {
    std::unique_lock<std::mutex> l(m);
    return sim::clock::WaitUntil(cv, l, sim::clock::Now() + ms * kMs, [this] { return done; });
  }
};

class UsbIsochTest : public UsbBusTest {
 protected:
  void SetUp() override {
    UsbBusTest::SetUp();
    Configure();
    ASSERT_EQ(client_->SelectAlternate(layout_.playbackInterface, layout_.playbackAlt), STATUS_SUCCESS);
    pipe_ = *client_->FindPipe(layout_.playbackEndpoint);
    perFrame_ = IsoPacketsPerFrame(Shape());
  }
  IsoPipeShape Shape() const {
    return {device_->GetSpeed() == Speed::High, false, pipe_.MaximumPacketSize, pipe_.Interval};
  }
  // An OUT transfer of `frames` frames of small packets.
  std::unique_ptr<IsoUrb> Out(uint32_t frames, bool asap = true, ULONG startFrame = 0) {
    uint32_t n = frames * perFrame_;
    auto u = std::make_unique<IsoUrb>(n, n * 8);
    u->Iso().PipeHandle = pipe_.PipeHandle;
    u->Iso().TransferFlags = asap ? USBD_START_ISO_TRANSFER_ASAP : 0;
    u->Iso().StartFrame = startFrame;
    for (uint32_t i = 0; i < n; ++i) u->Iso().IsoPacket[i].Offset = i * 8;
    return u;
  }
  ULONG Frame() {
    ULONG f = 0;
    client_->CurrentFrame(&f);
    return f;
  }
  USBD_PIPE_INFORMATION pipe_{};
  uint32_t perFrame_ = 1;
};

TEST_F(UsbIsochTest, InvalidUrbsFailWithoutBeingScheduled) {
  auto shortHeader = Out(1);
  shortHeader->Iso().Hdr.Length -= 12;
  EXPECT_EQ(client_->SubmitUrb(shortHeader->Get()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(shortHeader->Get()->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);

  auto tooBig = Out(1);
  tooBig->Iso().IsoPacket[1].Offset = pipe_.MaximumPacketSize + 8;  // packet 0 larger than the endpoint takes
  for (uint32_t i = 2; i < perFrame_; ++i) tooBig->Iso().IsoPacket[i].Offset = tooBig->Iso().IsoPacket[1].Offset;
  tooBig->Iso().TransferBufferLength = tooBig->Iso().IsoPacket[1].Offset;
  tooBig->data.resize(tooBig->Iso().TransferBufferLength);
  tooBig->Iso().TransferBuffer = tooBig->data.data();
  EXPECT_EQ(client_->SubmitUrb(tooBig->Get()), STATUS_INVALID_PARAMETER);

  if (perFrame_ > 1) {
    auto odd = std::make_unique<IsoUrb>(perFrame_ - 1, 8);
    odd->Iso().PipeHandle = pipe_.PipeHandle;
    odd->Iso().TransferFlags = USBD_START_ISO_TRANSFER_ASAP;
    EXPECT_EQ(client_->SubmitUrb(odd->Get()), STATUS_INVALID_PARAMETER);
  }
  EXPECT_EQ(bus_->Controller().PendingTransfers(Slot()), 0u);
}

TEST_F(UsbIsochTest, ExplicitStartFramesMustLieAheadWithinRange) {
  ULONG now = Frame();
  for (ULONG outOfRange : {now - 2000, now + 5000}) {
    auto far = Out(1, false, outOfRange);
    EXPECT_EQ(client_->SubmitUrb(far->Get()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(far->Get()->UrbHeader.Status, USBD_STATUS_BAD_START_FRAME);
  }
  // Gone by but within range: accepted, and the passed frames' packets are late.
  auto past = Out(10, false, now - 5);
  EXPECT_EQ(client_->SubmitUrb(past->Get()), STATUS_SUCCESS);
  EXPECT_GT(past->Iso().ErrorCount, 0u);
  EXPECT_LT(past->Iso().ErrorCount, past->Iso().NumberOfPackets);
  EXPECT_EQ(past->Iso().IsoPacket[0].Status, USBD_STATUS_ISO_NA_LATE_USBPORT);
  // Every packet late: the transfer fails as a whole.
  auto late = Out(2, false, Frame() - 5);
  EXPECT_EQ(client_->SubmitUrb(late->Get()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(late->Get()->UrbHeader.Status, USBD_STATUS_ISOCH_REQUEST_FAILED);

  auto ok = Out(2, false, now + 20);
  EXPECT_EQ(client_->SubmitUrb(ok->Get()), STATUS_SUCCESS);
  EXPECT_EQ(ok->Iso().StartFrame, now + 20);
  EXPECT_EQ(ok->Iso().ErrorCount, 0u);
  EXPECT_GE(Frame(), now + 21);  // completed after its last frame went by
}

TEST_F(UsbIsochTest, AsapTransfersFollowEachOtherAndCompleteAtDispatch) {
  ULONG before = Frame();
  std::vector<std::unique_ptr<IsoUrb>> urbs;
  Done done[3];
  for (int i = 0; i < 3; ++i) {
    urbs.push_back(Out(2));
    client_->SubmitAsync(urbs.back()->Get(), done[i].Callback());
  }
  for (auto& d : done) ASSERT_TRUE(d.Wait());
  ULONG first = urbs[0]->Iso().StartFrame;
  EXPECT_GT(first, before);  // an idle pipe starts a few frames ahead
  EXPECT_LE(first, before + kAsapLeadFrames + 20);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(done[i].status, STATUS_SUCCESS);
    EXPECT_EQ(done[i].irql, DISPATCH_LEVEL);
    EXPECT_EQ(urbs[i]->Iso().StartFrame, first + 2 * i);
    for (uint32_t p = 0; p < urbs[i]->Iso().NumberOfPackets; ++p) EXPECT_EQ(urbs[i]->Iso().IsoPacket[p].Status, 0);
  }
}

TEST_F(UsbIsochTest, AsapAfterAGapMarksPassedPacketsLate) {
  auto first = Out(1);
  ASSERT_EQ(client_->SubmitUrb(first->Get()), STATUS_SUCCESS);
  ULONG expected = first->Iso().StartFrame + 1;
  sim::clock::SleepUntil(sim::clock::Now() + 30 * kMs);
  // All of it lies in the past: every packet late, the request failed.
  auto late = Out(2);
  EXPECT_EQ(client_->SubmitUrb(late->Get()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(late->Get()->UrbHeader.Status, USBD_STATUS_ISOCH_REQUEST_FAILED);
  EXPECT_EQ(late->Iso().StartFrame, expected);
  EXPECT_EQ(late->Iso().ErrorCount, late->Iso().NumberOfPackets);
  EXPECT_EQ(late->Iso().IsoPacket[0].Status, USBD_STATUS_ISO_NA_LATE_USBPORT);
  // A long one catches up: its early packets are late, the rest go out.
  ULONG next = expected + 2;
  sim::clock::SleepUntil(sim::clock::Now() + 20 * kMs);
  auto partly = Out(60);
  EXPECT_EQ(client_->SubmitUrb(partly->Get()), STATUS_SUCCESS);
  EXPECT_EQ(partly->Iso().StartFrame, next);
  ULONG errors = partly->Iso().ErrorCount;
  EXPECT_GE(errors, perFrame_);
  EXPECT_LT(errors, partly->Iso().NumberOfPackets);
  EXPECT_EQ(partly->Iso().IsoPacket[0].Status, USBD_STATUS_ISO_NA_LATE_USBPORT);
  EXPECT_EQ(partly->Iso().IsoPacket[partly->Iso().NumberOfPackets - 1].Status, USBD_STATUS_SUCCESS);
}

TEST_F(UsbIsochTest, AbortCompletesEveryPendingTransferBeforeReturning) {
  bus_->Controller().SetAbortReturnsEarly(false);
  bus_->Controller().DropNextTransfers(Slot(), layout_.playbackEndpoint, 2);
  auto a = Out(1), b = Out(1), c = Out(100);
  Done da, db, dc;
  client_->SubmitAsync(a->Get(), da.Callback());
  client_->SubmitAsync(b->Get(), db.Callback());
  client_->SubmitAsync(c->Get(), dc.Callback());
  EXPECT_FALSE(da.Wait(30));  // dropped: never completes by itself
  EXPECT_EQ(client_->PipeRequest(URB_FUNCTION_ABORT_PIPE, pipe_.PipeHandle), STATUS_SUCCESS);
  for (Done* d : {&da, &db, &dc}) {
    EXPECT_TRUE(d->done);
    EXPECT_EQ(d->status, STATUS_CANCELLED);
  }
  EXPECT_EQ(a->Get()->UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_EQ(bus_->Controller().PendingTransfers(Slot()), 0u);
  // After the abort the pipe is idle again: ASAP starts ahead of now.
  ULONG now = Frame();
  auto fresh = Out(1);
  EXPECT_EQ(client_->SubmitUrb(fresh->Get()), STATUS_SUCCESS);
  EXPECT_GE(fresh->Iso().StartFrame, now);
}

TEST_F(UsbIsochTest, AbortMayReturnBeforeTheCancelledTransfersComplete) {
  bus_->Controller().DropNextTransfers(Slot(), layout_.playbackEndpoint, 1);
  auto a = Out(1);
  Done da;
  client_->SubmitAsync(a->Get(), da.Callback());
  EXPECT_FALSE(da.Wait(30));
  // No processor runs the controller's completion DPC for a while.
  Bed().StallProcessor(0, 50 * kMs);
  Bed().StallProcessor(1, 50 * kMs);
  EXPECT_EQ(client_->PipeRequest(URB_FUNCTION_ABORT_PIPE, pipe_.PipeHandle), STATUS_SUCCESS);
  EXPECT_FALSE(da.done);
  ASSERT_TRUE(da.Wait());
  EXPECT_EQ(da.status, STATUS_CANCELLED);
}

TEST_F(UsbIsochTest, ResettingAPipeWithTransfersQueuedIsAVerifierFailure) {
  bus_->Controller().DropNextTransfers(Slot(), layout_.playbackEndpoint, 1);
  auto a = Out(1);
  Done da;
  PIRP irp = client_->SubmitAsync(a->Get(), da.Callback());
  sim::verifier::Recorder recorder;
  EXPECT_NE(client_->PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE, pipe_.PipeHandle), STATUS_SUCCESS);
  EXPECT_TRUE(recorder.Has("IoCallDriver", "with 1 transfer(s) still queued"));
  IoCancelIrp(irp);
  ASSERT_TRUE(da.Wait());
}

TEST_F(UsbIsochTest, CancelAndResetPipe) {
  bus_->Controller().DropNextTransfers(Slot(), layout_.playbackEndpoint, 1);
  auto a = Out(1);
  Done da;
  PIRP irp = client_->SubmitAsync(a->Get(), da.Callback());
  EXPECT_FALSE(da.Wait(20));
  IoCancelIrp(irp);
  ASSERT_TRUE(da.Wait());
  EXPECT_EQ(da.status, STATUS_CANCELLED);

  EXPECT_EQ(client_->PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, pipe_.PipeHandle), STATUS_SUCCESS);
  ULONG now = Frame();
  auto b = Out(1);
  EXPECT_EQ(client_->SubmitUrb(b->Get()), STATUS_SUCCESS);
  EXPECT_GE(b->Iso().StartFrame, now);
}

TEST_F(UsbIsochTest, BusFaultsFailOrDelayTransfers) {
  bus_->Controller().FailNextTransfers(Slot(), layout_.playbackEndpoint, 1);
  auto failed = Out(1);
  EXPECT_EQ(client_->SubmitUrb(failed->Get()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(failed->Get()->UrbHeader.Status, USBD_STATUS_XACT_ERROR);

  bus_->Controller().DelayNextTransfers(Slot(), layout_.playbackEndpoint, 1, 60);
  auto slow = Out(1), normal = Out(1);
  Done ds, dn;
  int64_t t0 = sim::clock::Now();
  client_->SubmitAsync(slow->Get(), ds.Callback());
  ASSERT_TRUE(ds.Wait());
  EXPECT_EQ(ds.status, STATUS_SUCCESS);
  EXPECT_GE(ds.when - t0, 60 * kMs);
  int64_t t1 = sim::clock::Now();
  client_->SubmitAsync(normal->Get(), dn.Callback());
  ASSERT_TRUE(dn.Wait());
  EXPECT_LT(dn.when - t1, 60 * kMs);
}

TEST_F(UsbIsochTest, CaptureTransfersReportReceivedLengths) {
  ASSERT_NE(layout_.captureEndpoint, 0);
  ASSERT_EQ(client_->SelectAlternate(layout_.captureInterface, layout_.captureAlt), STATUS_SUCCESS);
  auto in = *client_->FindPipe(layout_.captureEndpoint);
  IsoPipeShape shape{device_->GetSpeed() == Speed::High, true, in.MaximumPacketSize, in.Interval};
  uint32_t n = 4 * IsoPacketsPerFrame(shape);
  IsoUrb u(n, n * in.MaximumPacketSize);
  u.Iso().PipeHandle = in.PipeHandle;
  u.Iso().TransferFlags = USBD_START_ISO_TRANSFER_ASAP | USBD_TRANSFER_DIRECTION_IN;
  for (uint32_t i = 0; i < n; ++i) u.Iso().IsoPacket[i].Offset = i * in.MaximumPacketSize;
  ASSERT_EQ(client_->SubmitUrb(u.Get()), STATUS_SUCCESS);
  ULONG total = 0;
  for (uint32_t i = 0; i < n; ++i) {
    EXPECT_LE(u.Iso().IsoPacket[i].Length, in.MaximumPacketSize);
    total += u.Iso().IsoPacket[i].Length;
  }
  EXPECT_GT(total, 0u);
  EXPECT_EQ(u.Iso().TransferBufferLength, total);
}

TEST_F(UsbIsochTest, UnplugCompletesPendingTransfersAndFailsNewOnes) {
  bus_->Controller().DropNextTransfers(Slot(), layout_.playbackEndpoint, 1);
  auto pending = Out(1);
  Done dp;
  client_->SubmitAsync(pending->Get(), dp.Callback());
  EXPECT_FALSE(dp.Wait(20));
  bus_->Controller().Detach(Slot());
  ASSERT_TRUE(dp.Wait());
  EXPECT_EQ(dp.status, STATUS_CANCELLED);
  EXPECT_EQ(pending->Get()->UrbHeader.Status, USBD_STATUS_CANCELED);
  // New requests fail as device-gone, with either IRP status Windows uses.
  for (NTSTATUS gone : {STATUS_NO_SUCH_DEVICE, STATUS_DEVICE_NOT_CONNECTED}) {
    bus_->Controller().SetDeviceGoneStatus(gone);
    auto after = Out(1);
    EXPECT_EQ(client_->SubmitUrb(after->Get()), gone);
    EXPECT_EQ(after->Get()->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    ULONG length = 18;
    uint8_t dd[18];
    EXPECT_EQ(client_->GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, dd, &length), gone);
  }
  client_.reset();
  EXPECT_TRUE(Bed().Unplug(pdo_));
}

}  // namespace
}  // namespace sim::usb::test
