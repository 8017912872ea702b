#include "tools/busclient/iso_streamer.h"

#include <usbdlib.h>

#include <algorithm>

#include "sim/kernel/core/clock.h"
#include "sim/usb/bus/iso_rules.h"

namespace trox::busclient {

using namespace sim::usb;

struct IsoStreamer::Slot {
  enum Kind { Out, In, Feedback } kind;
  const USBD_PIPE_INFORMATION* pipe;
  std::vector<uint8_t> urb;
  std::vector<uint8_t> data;
  uint32_t packets;
};

IsoStreamer::IsoStreamer(UsbTestClient& client, const StreamerConfig& config) : client_(client), config_(config) {
  uint32_t perSecond = config.highSpeed ? 8000 : 1000;
  rate16_ = static_cast<uint32_t>((static_cast<uint64_t>(config.rate) << 16) / perSecond);
  auto add = [&](Slot::Kind kind, const USBD_PIPE_INFORMATION* pipe, uint32_t packets) {
    for (uint32_t i = 0; i < config.transfersInFlight; ++i) {
      auto* s = new Slot{kind, pipe, std::vector<uint8_t>(GET_ISO_URB_SIZE(packets)),
                         std::vector<uint8_t>(static_cast<size_t>(packets) * pipe->MaximumPacketSize), packets};
      slots_.push_back(s);
    }
  };
  if (config.out) add(Slot::Out, config.out, config.packetsPerTransfer);
  if (config.in) add(Slot::In, config.in, config.packetsPerTransfer);
  if (config.feedback) {
    // Four frames of feedback packets per read.
    IsoPipeShape shape{config.highSpeed, true, config.feedback->MaximumPacketSize, config.feedback->Interval};
    add(Slot::Feedback, config.feedback, 4 * IsoPacketsPerFrame(shape));
  }
}

IsoStreamer::~IsoStreamer() {
  Stop();
  for (Slot* s : slots_) delete s;
}

uint32_t IsoStreamer::NextOutPacketFrames() {
  if (config_.sizing == PacketSizing::Implicit && !capturedFrames_.empty()) {
    uint32_t f = capturedFrames_.front();
    capturedFrames_.pop_front();
    return f;
  }
  uint32_t rate = rate16_;
  if (config_.sizing == PacketSizing::ExplicitFeedback && report_.lastFeedback != 0) rate = report_.lastFeedback;
  uint32_t sum = accumulator_ + rate;
  accumulator_ = sum & 0xFFFF;
  return sum >> 16;
}

void IsoStreamer::Build(Slot* s) {
  std::fill(s->urb.begin(), s->urb.end(), 0);
  auto* urb = reinterpret_cast<PURB>(s->urb.data());
  auto& iso = urb->UrbIsochronousTransfer;
  iso.Hdr.Length = static_cast<USHORT>(s->urb.size());
  iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
  iso.PipeHandle = s->pipe->PipeHandle;
  iso.NumberOfPackets = s->packets;
  iso.TransferBuffer = s->data.data();
  uint32_t offset = 0;
  if (s->kind == Slot::Out) {
    iso.TransferFlags = USBD_START_ISO_TRANSFER_ASAP;
    for (uint32_t i = 0; i < s->packets; ++i) {
      uint32_t bytes = std::min<uint32_t>(NextOutPacketFrames() * config_.frameBytes, s->pipe->MaximumPacketSize);
      iso.IsoPacket[i].Offset = offset;
      offset += bytes;
      report_.outFrames += bytes / config_.frameBytes;
    }
    iso.TransferBufferLength = offset;
  } else {
    iso.TransferFlags = USBD_START_ISO_TRANSFER_ASAP | USBD_TRANSFER_DIRECTION_IN;
    for (uint32_t i = 0; i < s->packets; ++i) iso.IsoPacket[i].Offset = i * s->pipe->MaximumPacketSize;
    iso.TransferBufferLength = static_cast<ULONG>(s->data.size());
  }
  ++inFlight_;
}

void IsoStreamer::Send(Slot* s) {
  // Outside the lock: the completion may run before SubmitAsync returns.
  auto* urb = reinterpret_cast<PURB>(s->urb.data());
  client_.SubmitAsync(urb, [this, s](NTSTATUS status, PURB) { OnDone(s, status); });
}

void IsoStreamer::OnDone(Slot* s, NTSTATUS status) {
  std::unique_lock<sim::clock::Mutex> lock(mutex_);
  auto& iso = reinterpret_cast<PURB>(s->urb.data())->UrbIsochronousTransfer;
  if (!NT_SUCCESS(status)) ++report_.failedTransfers;
  for (uint32_t i = 0; i < iso.NumberOfPackets; ++i) {
    const auto& p = iso.IsoPacket[i];
    if (!USBD_SUCCESS(p.Status)) {
      ++report_.failedPackets;
      continue;
    }
    if (s->kind == Slot::In && NT_SUCCESS(status)) {
      ++report_.inPackets;
      report_.inBytes += p.Length;
      report_.inPacketSizes[p.Length]++;
      if (config_.sizing == PacketSizing::Implicit) capturedFrames_.push_back(p.Length / config_.frameBytes);
    } else if (s->kind == Slot::Feedback && NT_SUCCESS(status) && (p.Length == 3 || p.Length == 4)) {
      const uint8_t* d = s->data.data() + p.Offset;
      uint32_t v = d[0] | d[1] << 8 | d[2] << 16;
      if (p.Length == 4)
        v |= static_cast<uint32_t>(d[3]) << 24;
      else
        v <<= 2;  // 10.14 to 16.16
      report_.lastFeedback = v;
      ++report_.feedbackValues;
    }
  }
  if (s->kind == Slot::Out) ++report_.outTransfers;
  if (s->kind == Slot::In) ++report_.inTransfers;
  if (s->kind == Slot::Feedback) ++report_.feedbackTransfers;
  --inFlight_;
  if (running_ && NT_SUCCESS(status)) {
    Build(s);
    lock.unlock();
    Send(s);
  } else {
    idle_.NotifyAll();
  }
}

void IsoStreamer::Start() {
  {
    std::lock_guard<sim::clock::Mutex> lock(mutex_);
    if (running_) return;
    running_ = true;
    for (Slot* s : slots_) Build(s);
  }
  for (Slot* s : slots_) Send(s);
}

bool IsoStreamer::Stop() {
  std::unique_lock<sim::clock::Mutex> lock(mutex_);
  running_ = false;
  return sim::clock::WaitUntil(idle_, lock, sim::clock::Now() + 5 * 10000000LL, [this] { return inFlight_ == 0; });
}

StreamerReport IsoStreamer::Report() const {
  std::lock_guard<sim::clock::Mutex> lock(mutex_);
  return report_;
}

}  // namespace trox::busclient
