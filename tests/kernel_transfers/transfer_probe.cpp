#include "transfer_probe.h"

#include <cstring>

namespace transfertest {

TransferProbe::TransferProbe() {
  KeInitializeSpinLock(&playback_.FeedbackLock);
  dataPipe_.PipeType = UsbdPipeTypeIsochronous;
  dataPipe_.MaximumPacketSize = 1024;
  feedbackPipe_.PipeType = UsbdPipeTypeIsochronous;
  feedbackPipe_.MaximumPacketSize = 3;
  feedbackPipe_.Interval = 1;
  playback_.DataPipe = &dataPipe_;
  m_PlaybackStream = &playback_;
}

TransferProbe::~TransferProbe() {
  // The stream is the probe's own, not the model's.
  m_PlaybackStream = nullptr;
}

void TransferProbe::SetUp(bool highSpeed, ULONG bytesPerFrame, bool feedback, bool implicit) {
  m_HighSpeed = highSpeed ? 1 : 0;
  playback_.BytesPerFrame = bytesPerFrame;
  playback_.FeedbackPipe = feedback ? &feedbackPipe_ : nullptr;
  m_SharedClock = implicit ? 1 : 0;
  m_PlaybackPacketInterval = 1;
}

void TransferProbe::SetPattern(ULONG rate, ULONG position) {
  m_PlaybackRateRow = FindRatePattern(rate);
  m_PlaybackPatternPosition = position;
  playback_.SampleRate = rate;
}

NTSTATUS TransferProbe::Layout(ULONG length, ULONG ms, std::vector<ULONG>* lengths) {
  std::memset(urb_, 0, sizeof(urb_));
  PlaybackPlan plan;
  const PlaybackMode mode = CurrentPlaybackMode();
  const NTSTATUS status = PlanPlayback(mode, length, ms, &plan);
  if (!NT_SUCCESS(status)) return status;
  PURB urb = reinterpret_cast<PURB>(urb_);
  LayoutPlayback(mode, plan, urb, length);
  lengths->clear();
  ULONG offset = 0;
  for (ULONG i = 0; i < plan.Packets; ++i) {
    const USBD_ISO_PACKET_DESCRIPTOR& p = urb->UrbIsochronousTransfer.IsoPacket[i];
    if (p.Offset != offset) return STATUS_DATA_ERROR;  // offsets must run on continuously
    offset += p.Length;
    lengths->push_back(p.Length);
  }
  return offset <= length ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

NTSTATUS TransferProbe::Staging(const std::vector<uint8_t>& data, ULONG ms, std::vector<uint8_t>* staging,
                                std::vector<USBD_ISO_PACKET_DESCRIPTOR>* packets) {
  std::memset(urb_, 0, sizeof(urb_));
  PlaybackPlan plan;
  const ULONG length = static_cast<ULONG>(data.size());
  NTSTATUS status = PlanPlayback(PlaybackPattern, length, ms, &plan);
  if (!NT_SUCCESS(status)) return status;
  staging->assign(length + 4 * plan.Packets, 0xEE);
  TransferContext context = {};
  context.ExtraBuffer = staging->data();
  context.ExtraBufferLength = static_cast<ULONG>(staging->size());
  PURB urb = reinterpret_cast<PURB>(urb_);
  status = LayoutStaging(plan, const_cast<uint8_t*>(data.data()), nullptr, length, &context, urb);
  if (!NT_SUCCESS(status)) return status;
  staging->resize(urb->UrbIsochronousTransfer.TransferBufferLength);
  packets->assign(urb->UrbIsochronousTransfer.IsoPacket, urb->UrbIsochronousTransfer.IsoPacket + plan.Packets);
  return STATUS_SUCCESS;
}

ULONG TransferProbe::Feedback(const std::vector<uint8_t>& data, const std::vector<std::pair<ULONG, ULONG>>& packets,
                              ULONG transferLength) {
  std::memset(urb_, 0, sizeof(urb_));
  PURB urb = reinterpret_cast<PURB>(urb_);
  struct _URB_ISOCH_TRANSFER& iso = urb->UrbIsochronousTransfer;
  iso.Hdr.Length = static_cast<USHORT>(offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket) +
                                       packets.size() * sizeof(USBD_ISO_PACKET_DESCRIPTOR));
  iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
  iso.TransferBuffer = const_cast<uint8_t*>(data.data());
  iso.TransferBufferLength = transferLength;
  iso.NumberOfPackets = static_cast<ULONG>(packets.size());
  for (size_t i = 0; i < packets.size(); ++i) {
    iso.IsoPacket[i].Offset = packets[i].first;
    iso.IsoPacket[i].Length = packets[i].second;
  }
  return ReadFeedbackPackets(urb, static_cast<ULONG>(data.size()));
}

}  // namespace transfertest
