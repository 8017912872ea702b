// Streams through the driver's transfer layer without an engine: selects a
// format per direction, keeps playback and capture transfers (and feedback
// reads) in flight through SubmitPlayback / SubmitCapture / RecvFeedback,
// and resubmits each from its completion. Playback lengths follow the mode
// the driver runs the device in: the rate pattern, the explicit feedback
// value, or the frames capture delivered (implicit feedback).
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform.h"
#include "audiofunction/usb_audio_cl.h"
#include "sim/kernel/core/clock.h"
#include "tools/streamcheck/stream_content.h"

namespace streamcheck {

enum class PlaybackMode { None, Pattern, ExplicitFeedback, ImplicitFeedback };
const char* ModeName(PlaybackMode mode);

struct StreamerOptions {
  ULONG rate = 48000;
  USHORT formatType = 1;  // wave format tag: 1 PCM, 3 float
  bool playback = true;
  bool capture = true;
  // The device core's defaults: 64 ms of playback and 16 ms of capture in
  // flight, eight feedback reads.
  ULONG playbackMs = 8;  // per transfer
  ULONG captureMs = 1;
  ULONG playbackTransfers = 8;  // in flight
  ULONG captureTransfers = 16;
  ULONG feedbackReads = 8;
  // Check capture data as the device's counter signal.
  bool checkCaptureCounter = false;
};

struct DirectionFormat {
  bool active = false;
  ULONG alternate = 0;
  ULONG channels = 0;
  ULONG bits = 0;
  ULONG bytesPerFrame = 0;
  ULONG subslotBytes = 0;
  ULONG maxTransferBytes = 0;
  // Implicit-feedback form only.
  ULONG nominalTransferBytes = 0;
  LONG framesBelow = 0;
  LONG framesAbove = 0;
};

struct StreamerReport {
  PlaybackMode mode = PlaybackMode::None;
  DirectionFormat playback, capture;

  uint64_t playbackTransfers = 0;   // completed
  uint64_t playbackFailed = 0;      // completed with an error status
  uint64_t playbackShort = 0;       // moved other than the bytes sent
  uint64_t playbackFramesSent = 0;  // frames of successfully submitted transfers
  uint64_t playbackRefused = 0;     // lengths out of bounds or submissions refused
  std::map<ULONG, uint64_t> playbackLengths;  // transfer bytes -> count

  uint64_t captureTransfers = 0;
  uint64_t captureFailed = 0;
  uint64_t captureFrames = 0;
  uint64_t capturePartialFrames = 0;  // transfers whose bytes were not whole frames
  uint64_t captureRefused = 0;
  uint64_t counterFrames = 0, counterBadFrames = 0, counterJumps = 0;

  uint64_t feedbackReads = 0;
  uint64_t feedbackFailed = 0;
  uint64_t feedbackReplaced = 0;  // out of range: the nominal value was used
  ULONG feedbackNominal = 0;      // 16.16 frames per packet interval
  ULONG feedbackFirst = 0, feedbackLast = 0, feedbackMin = 0, feedbackMax = 0;
  std::map<ULONG, uint64_t> feedbackValues;  // averaged value -> count (first 64 distinct)

  int64_t frameBalance = 0;  // implicit feedback: capture frames not mirrored yet
  NTSTATUS firstError = STATUS_SUCCESS;
  std::string firstErrorWhere;
  double firstErrorSeconds = 0;  // after the start
};

class TransferStreamer {
 public:
  TransferStreamer(CUSBAudioCL& audio, const StreamerOptions& options);
  ~TransferStreamer();  // stops and selects alternate 0 again
  TransferStreamer(const TransferStreamer&) = delete;
  TransferStreamer& operator=(const TransferStreamer&) = delete;

  // Chooses and selects the formats (GetBestFormat, SelectStreamingFormat);
  // on failure the report names the step.
  NTSTATUS Select();
  // Submits the first transfers and starts recycling.
  NTSTATUS Start();
  // Stops resubmitting and waits (bounded) for every transfer to come back.
  bool Stop();
  // Selects alternate 0 on both directions again (after Stop).
  void Release();
  StreamerReport Report() const;

 private:
  enum class Kind { Playback, Capture, Feedback };
  struct Slot {
    TransferStreamer* owner = nullptr;
    Kind kind = Kind::Playback;
    std::vector<uint8_t> buffer;
    ULONG length = 0;  // bytes submitted
    ULONG probeLength = 0;  // implicit feedback: the first length, from what capture delivered
    ULONG frames = 0;  // playback frames in it
    NTSTATUS status = STATUS_PENDING;
    ULONG bytes = 0;
  };

  static VOID OnComplete(NTSTATUS Status, ULONG Bytes, ULONG StartFrame, PVOID Context, ULONG Frames);
  void Worker();
  // Takes a completed slot into the report and sends it (and the playback
  // waiting) again; with the lock held.
  void Recycle(Slot* slot, std::unique_lock<sim::clock::Mutex>& lock);
  // Each with the lock held; submissions drop it around the driver call.
  void Process(Slot* slot);
  void Submit(Slot* slot, std::unique_lock<sim::clock::Mutex>& lock);
  bool PlaybackLength(ULONG* length);
  void NoteError(NTSTATUS status, const char* where);
  // Sizes the first playback transfers from one capture completion; true
  // when all are sized.
  bool Probe(ULONG captureFrames);
  NTSTATUS SelectDirection(UCHAR direction, DirectionFormat* format);

  CUSBAudioCL& audio_;
  const StreamerOptions options_;
  bool implicit_ = false;
  bool selected_ = false;
  std::vector<std::unique_ptr<Slot>> slots_;
  CounterCheck counter_;

  mutable sim::clock::Mutex mutex_;
  std::recursive_mutex playbackOrder_;  // taken before mutex_, never inside it
  sim::clock::Condition changed_{"transfer streamer"};
  std::deque<Slot*> done_;
  std::vector<Slot*> waiting_;  // playback not started yet, or refused
  bool running_ = false;
  bool playbackGate_ = false;  // playback may start
  bool playbackCompleted_ = false;
  // Implicit feedback start: the first playback transfers carry exactly the
  // frames capture delivered, one transfer's worth of capture each.
  size_t probeSlot_ = 0;
  ULONG probeCount_ = 0;
  std::vector<Slot*> playbackSlots_;
  int inFlight_ = 0;
  bool workerExit_ = false;
  sim::clock::Thread worker_;
  int64_t startTime_ = 0;
  StreamerReport report_;
};

}  // namespace streamcheck
