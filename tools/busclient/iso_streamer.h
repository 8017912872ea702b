// Keeps isochronous OUT (and optionally capture and feedback IN) transfers
// in flight through a UsbTestClient, sizing OUT packets from the device's
// explicit feedback, from the capture packet sizes (implicit feedback), or
// at the nominal rate, and reports what happened.
#pragma once

#include <usb.h>

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "sim/kernel/core/clock.h"
#include "tools/busclient/usb_test_client.h"

namespace trox::busclient {

enum class PacketSizing { Nominal, ExplicitFeedback, Implicit };

struct StreamerConfig {
  const USBD_PIPE_INFORMATION* out = nullptr;       // playback data pipe (or null)
  const USBD_PIPE_INFORMATION* in = nullptr;        // capture data pipe (or null)
  const USBD_PIPE_INFORMATION* feedback = nullptr;  // explicit feedback pipe (or null)
  bool highSpeed = true;
  uint32_t rate = 48000;
  uint32_t frameBytes = 8;  // bytes per audio frame of the OUT stream
  uint32_t packetsPerTransfer = 8;
  uint32_t transfersInFlight = 3;
  PacketSizing sizing = PacketSizing::Nominal;
};

struct StreamerReport {
  uint64_t outTransfers = 0, inTransfers = 0, feedbackTransfers = 0;
  uint64_t failedTransfers = 0;  // IRP status not success
  uint64_t failedPackets = 0;    // packet status not success
  uint64_t outFrames = 0;        // audio frames sent
  uint64_t inBytes = 0;
  uint64_t inPackets = 0;
  uint64_t feedbackValues = 0;
  uint32_t lastFeedback = 0;  // 16.16 frames per packet interval
  std::map<uint32_t, uint64_t> inPacketSizes;
};

class IsoStreamer {
 public:
  IsoStreamer(UsbTestClient& client, const StreamerConfig& config);
  ~IsoStreamer();  // stops
  void Start();
  // Stops resubmitting and waits (bounded) until every transfer is back.
  bool Stop();
  StreamerReport Report() const;

 private:
  struct Slot;
  void Build(Slot* slot);  // lock held
  void Send(Slot* slot);
  void OnDone(Slot* slot, NTSTATUS status);
  uint32_t NextOutPacketFrames();

  UsbTestClient& client_;
  StreamerConfig config_;
  mutable sim::clock::Mutex mutex_;
  sim::clock::Condition idle_{"iso streamer idle"};
  bool running_ = false;
  int inFlight_ = 0;
  std::vector<Slot*> slots_;
  uint32_t accumulator_ = 0;  // 16.16 fraction of frames
  uint32_t rate16_ = 0;       // frames per packet interval, 16.16
  std::deque<uint32_t> capturedFrames_;
  StreamerReport report_;
};

}  // namespace trox::busclient
