// A CUSBAudioCL whose playback state is set by hand, for the packet plans,
// layouts and feedback decoding that need no device.
#pragma once

#include "platform.h"
#include "audiofunction/usb_audio_cl.h"
#include "audiofunction/rate_pattern.h"

#include <cstdint>
#include <vector>

namespace transfertest {

class TransferProbe : public CUSBAudioCL {
 public:
  TransferProbe();
  ~TransferProbe() override;

  StreamInterface& Playback() { return playback_; }
  USBD_PIPE_INFORMATION& FeedbackPipe() { return feedbackPipe_; }
  // Full or high speed; `feedback` gives the stream a feedback pipe; `implicit` a shared clock.
  void SetUp(bool highSpeed, ULONG bytesPerFrame, bool feedback, bool implicit);
  void SetPattern(ULONG rate, ULONG position = 0);
  void SetFeedbackRate(ULONG rate) { playback_.FeedbackRateInUse = rate; }
  void SetPacketInterval(ULONG microframes) { m_PlaybackPacketInterval = microframes; }
  ULONG Position() const { return m_PlaybackPatternPosition; }

  // Plans and lays out one playback transfer; the packet lengths on success.
  NTSTATUS Layout(ULONG length, ULONG ms, std::vector<ULONG>* lengths);
  // The staging layout of one transfer of `data`; the staging bytes and packets.
  NTSTATUS Staging(const std::vector<uint8_t>& data, ULONG ms, std::vector<uint8_t>* staging,
                   std::vector<USBD_ISO_PACKET_DESCRIPTOR>* packets);
  // Decodes a completed feedback read of these packets (offset, length) over `data`.
  ULONG Feedback(const std::vector<uint8_t>& data, const std::vector<std::pair<ULONG, ULONG>>& packets,
                 ULONG transferLength);

 private:
  StreamInterface playback_{};
  USBD_PIPE_INFORMATION dataPipe_{};
  USBD_PIPE_INFORMATION feedbackPipe_{};
  alignas(16) uint8_t urb_[CUSBCL::kIsoUrbSize] = {};
};

}  // namespace transfertest
