#include "tools/streamcheck/transfer_streamer.h"

#include <chrono>

#include "sim/kernel/core/clock.h"

namespace streamcheck {

namespace {

// How long Stop waits for the transfers in flight (each is a few milliseconds).
constexpr int64_t kStopTimeout = 10 * sim::clock::kTicksPerSecond;
constexpr size_t kMaxDistinctFeedback = 64;

bool DeviceGone(NTSTATUS status) {
  return status == STATUS_NO_SUCH_DEVICE || status == STATUS_DEVICE_NOT_CONNECTED || status == STATUS_DEVICE_REMOVED ||
         status == STATUS_DELETE_PENDING;
}

}  // namespace

const char* ModeName(PlaybackMode mode) {
  switch (mode) {
    case PlaybackMode::None: return "none";
    case PlaybackMode::Pattern: return "rate pattern";
    case PlaybackMode::ExplicitFeedback: return "explicit feedback";
    case PlaybackMode::ImplicitFeedback: return "implicit feedback";
  }
  return "?";
}

TransferStreamer::TransferStreamer(CUSBAudioCL& audio, const StreamerOptions& options)
    : audio_(audio), options_(options) {}

TransferStreamer::~TransferStreamer() {
  Stop();
  Release();
}

void TransferStreamer::NoteError(NTSTATUS status, const char* where) {
  if (NT_SUCCESS(report_.firstError)) {
    report_.firstError = status;
    report_.firstErrorWhere = where;
    report_.firstErrorSeconds = startTime_ != 0 ? (sim::clock::Now() - startTime_) / 1e7 : 0;
  }
}

NTSTATUS TransferStreamer::SelectDirection(UCHAR direction, DirectionFormat* format) {
  ULONG channels = 0, bits = 0;
  NTSTATUS status = audio_.GetBestFormat(direction, options_.formatType, options_.rate, &channels, &bits);
  if (!NT_SUCCESS(status)) {
    NoteError(status, direction == kDirectionRender ? "GetBestFormat (playback)" : "GetBestFormat (capture)");
    return status;
  }
  ULONG nominal = 0;
  LONG below = 0, above = 0;
  if (implicit_) {
    status = audio_.SelectStreamingFormat(direction, options_.formatType, channels, bits, options_.rate,
                                          direction == kDirectionRender ? options_.playbackMs : options_.captureMs,
                                          &format->channels, &format->bits, &nominal, &below, &above,
                                          &format->maxTransferBytes);
  } else {
    status = audio_.SelectStreamingFormat(direction, options_.formatType, channels, bits, options_.rate,
                                          direction == kDirectionRender ? options_.playbackMs : options_.captureMs,
                                          &format->channels, &format->bits, &format->maxTransferBytes);
  }
  if (!NT_SUCCESS(status)) {
    NoteError(status,
              direction == kDirectionRender ? "SelectStreamingFormat (playback)" : "SelectStreamingFormat (capture)");
    return status;
  }
  const StreamInterface* stream = direction == kDirectionRender ? audio_.PlaybackStream() : audio_.CaptureStream();
  format->active = true;
  format->alternate = audio_.GetCurrentAlternate(direction);
  format->bytesPerFrame = stream->BytesPerFrame;
  format->subslotBytes = format->channels != 0 ? stream->BytesPerFrame / format->channels : 0;
  format->nominalTransferBytes = nominal;
  format->framesBelow = below;
  format->framesAbove = above;
  if (format->bytesPerFrame == 0 || format->maxTransferBytes == 0) {
    NoteError(STATUS_INVALID_DEVICE_STATE, "SelectStreamingFormat (no frame size)");
    return STATUS_INVALID_DEVICE_STATE;
  }
  return STATUS_SUCCESS;
}

NTSTATUS TransferStreamer::Select() {
  std::lock_guard<sim::clock::Mutex> guard(mutex_);
  implicit_ = audio_.UsesImplicitFeedback() != FALSE;
  selected_ = true;
  if (options_.capture && audio_.CaptureStream() != nullptr) {
    if (NTSTATUS status = SelectDirection(kDirectionCapture, &report_.capture); !NT_SUCCESS(status)) return status;
  }
  if (options_.playback && audio_.PlaybackStream() != nullptr) {
    if (NTSTATUS status = SelectDirection(kDirectionRender, &report_.playback); !NT_SUCCESS(status)) return status;
    // The driver's own decision, not one made again here.
    switch (audio_.CurrentPlaybackMode()) {
      case PlaybackImplicit: report_.mode = PlaybackMode::ImplicitFeedback; break;
      case PlaybackExplicit: report_.mode = PlaybackMode::ExplicitFeedback; break;
      case PlaybackPattern: report_.mode = PlaybackMode::Pattern; break;
    }
    report_.feedbackNominal = audio_.NominalFeedback(kDirectionRender);
  }
  if (!report_.playback.active && !report_.capture.active) {
    NoteError(STATUS_NOT_SUPPORTED, "no stream to run");
    return STATUS_NOT_SUPPORTED;
  }
  return STATUS_SUCCESS;
}

NTSTATUS TransferStreamer::Start() {
  std::unique_lock<sim::clock::Mutex> lock(mutex_);
  if (running_ || worker_.Joinable()) return STATUS_INVALID_DEVICE_STATE;
  auto add = [this](Kind kind, ULONG count, ULONG bytes) {
    for (ULONG i = 0; i < count; ++i) {
      auto slot = std::make_unique<Slot>();
      slot->owner = this;
      slot->kind = kind;
      slot->buffer.assign(bytes, 0);
      if (kind == Kind::Playback) playbackSlots_.push_back(slot.get());
      slots_.push_back(std::move(slot));
    }
  };
  const DirectionFormat& play = report_.playback;
  const DirectionFormat& rec = report_.capture;
  if (rec.active) {
    add(Kind::Capture, options_.captureTransfers, rec.maxTransferBytes);
    counter_.Reset(rec.channels, rec.subslotBytes);
  }
  if (play.active) {
    if (report_.mode == PlaybackMode::ExplicitFeedback) {
      const ULONG length = audio_.FeedbackReadLength();
      if (length == 0) {
        NoteError(STATUS_INVALID_DEVICE_STATE, "FeedbackReadLength");
        return STATUS_INVALID_DEVICE_STATE;
      }
      add(Kind::Feedback, options_.feedbackReads, length);
    }
    add(Kind::Playback, options_.playbackTransfers, play.maxTransferBytes);
  }
  // Explicit feedback: playback waits for the first measurement; implicit:
  // for the first frames capture delivers.
  playbackGate_ =
      report_.mode == PlaybackMode::Pattern || (report_.mode == PlaybackMode::ImplicitFeedback && !rec.active);
  running_ = true;
  workerExit_ = false;
  startTime_ = sim::clock::Now();
  for (auto& slot : slots_) Submit(slot.get(), lock);
  worker_ = sim::clock::Thread("streamer worker", [this] { Worker(); });
  return STATUS_SUCCESS;
}

void TransferStreamer::Submit(Slot* slot, std::unique_lock<sim::clock::Mutex>& lock) {
  if (!running_) return;
  NTSTATUS status = STATUS_SUCCESS;
  if (slot->kind == Kind::Playback) {
    if (!playbackGate_) {
      waiting_.push_back(slot);
      return;
    }
    // One playback submission at a time, across threads (a completion
    // resubmits): the length comes from the driver's pattern position and
    // accumulator, which the submission before it moves, and the frames go
    // out in the order they were numbered.
    lock.unlock();
    std::lock_guard<std::recursive_mutex> order(playbackOrder_);
    lock.lock();
    ULONG length = 0;
    if (!running_) {
      waiting_.push_back(slot);
      return;
    }
    if (slot->probeLength != 0) {
      length = slot->probeLength;
      slot->probeLength = 0;
    } else if (!PlaybackLength(&length)) {
      ++report_.playbackRefused;
      waiting_.push_back(slot);
      return;
    }
    const ULONG frame = report_.playback.bytesPerFrame;
    slot->length = length;
    slot->frames = length / frame;
    FillPlayback(slot->buffer.data(), report_.playbackFramesSent, slot->frames, frame);
    ++inFlight_;
    lock.unlock();
    status = audio_.SubmitPlayback(slot->buffer.data(), nullptr, length, options_.playbackMs, OnComplete, slot);
    lock.lock();
    if (NT_SUCCESS(status)) {
      report_.playbackFramesSent += slot->frames;
      ++report_.playbackLengths[length];
    }
  } else {
    slot->length = static_cast<ULONG>(slot->buffer.size());
    ++inFlight_;
    lock.unlock();
    status = slot->kind == Kind::Capture ? audio_.SubmitCapture(slot->buffer.data(), slot->length, OnComplete, slot)
                                         : audio_.RecvFeedback(slot->buffer.data(), slot->length, OnComplete, slot);
    lock.lock();
  }
  if (!NT_SUCCESS(status)) {
    --inFlight_;
    ++(slot->kind == Kind::Playback ? report_.playbackRefused : report_.captureRefused);
    NoteError(status, slot->kind == Kind::Playback  ? "SubmitPlayback"
                      : slot->kind == Kind::Capture ? "SubmitCapture"
                                                    : "RecvFeedback");
    if (slot->kind == Kind::Playback) waiting_.push_back(slot);
    changed_.NotifyAll();
  }
}

bool TransferStreamer::PlaybackLength(ULONG* length) {
  const DirectionFormat& play = report_.playback;
  ULONGLONG bytes = 0;
  switch (report_.mode) {
    case PlaybackMode::Pattern: bytes = audio_.PlaybackBytes(options_.playbackMs, 0); break;
    case PlaybackMode::ExplicitFeedback: {
      StreamInterface* stream = audio_.PlaybackStream();
      KLOCK_QUEUE_HANDLE handle;
      KeAcquireInStackQueuedSpinLock(&stream->FeedbackLock, &handle);
      stream->FeedbackRateInUse = stream->AcceptedFeedbackRate;
      const ULONG rate = stream->FeedbackRateInUse;
      KeReleaseInStackQueuedSpinLock(&handle);
      bytes = audio_.PlaybackBytes(options_.playbackMs, rate);
      break;
    }
    case PlaybackMode::ImplicitFeedback: {
      // Mirror what capture delivered beyond (or below) its nominal count,
      // within the frames one playback transfer can carry more or fewer.
      int64_t adjust = 0;
      if (report_.capture.active) {
        adjust = report_.frameBalance < play.framesBelow
                     ? play.framesBelow
                     : (report_.frameBalance < play.framesAbove ? report_.frameBalance : play.framesAbove);
        report_.frameBalance -= adjust;
      }
      const int64_t total = static_cast<int64_t>(play.nominalTransferBytes) + adjust * play.bytesPerFrame;
      bytes = total > 0 ? static_cast<ULONGLONG>(total) : 0;
      break;
    }
    case PlaybackMode::None: break;
  }
  if (bytes == 0 || bytes > play.maxTransferBytes) return false;
  *length = static_cast<ULONG>(bytes);
  return true;
}

VOID TransferStreamer::OnComplete(NTSTATUS Status, ULONG Bytes, ULONG, PVOID Context, ULONG) {
  // Resubmits at once from the completion, as the device core does; only a
  // completion inside a submission (an immediate failure) nested deeper
  // goes to the worker.
  static thread_local int depth = 0;
  Slot* slot = static_cast<Slot*>(Context);
  TransferStreamer* self = slot->owner;
  std::unique_lock<sim::clock::Mutex> lock(self->mutex_);
  slot->status = Status;
  slot->bytes = Bytes;
  if (depth >= 2) {
    self->done_.push_back(slot);
    // Notified under the lock: once it is released the streamer may be gone.
    self->changed_.NotifyAll();
    return;
  }
  ++depth;
  self->Recycle(slot, lock);
  --depth;
}

void TransferStreamer::Process(Slot* slot) {
  --inFlight_;
  const NTSTATUS status = slot->status;
  bool openGate = false;
  switch (slot->kind) {
    case Kind::Playback:
      ++report_.playbackTransfers;
      if (!NT_SUCCESS(status)) {
        ++report_.playbackFailed;
        NoteError(status, "playback completion");
      } else if (slot->bytes != slot->length) {
        ++report_.playbackShort;
      }
      playbackCompleted_ = true;
      break;
    case Kind::Capture: {
      ++report_.captureTransfers;
      if (!NT_SUCCESS(status)) {
        ++report_.captureFailed;
        NoteError(status, "capture completion");
        break;
      }
      const DirectionFormat& rec = report_.capture;
      const ULONG bytes = slot->bytes <= slot->length ? slot->bytes : slot->length;
      const ULONG frames = bytes / rec.bytesPerFrame;
      if (bytes % rec.bytesPerFrame != 0) ++report_.capturePartialFrames;
      report_.captureFrames += frames;
      if (options_.checkCaptureCounter) counter_.Feed(slot->buffer.data(), frames);
      if (report_.mode == PlaybackMode::ImplicitFeedback) {
        if (playbackCompleted_) {
          const int64_t deviation =
              (static_cast<int64_t>(bytes) - static_cast<int64_t>(rec.nominalTransferBytes)) / rec.bytesPerFrame;
          if (deviation >= rec.framesBelow && deviation <= rec.framesAbove) report_.frameBalance += deviation;
        } else if (!playbackGate_) {
          openGate = Probe(frames);
        }
      }
      break;
    }
    case Kind::Feedback: {
      ++report_.feedbackReads;
      if (!NT_SUCCESS(status)) {
        ++report_.feedbackFailed;
        NoteError(status, "feedback completion");
        break;
      }
      const ULONG value = slot->bytes;
      if (report_.feedbackReads - report_.feedbackFailed == 1) {
        report_.feedbackFirst = report_.feedbackMin = report_.feedbackMax = value;
      }
      report_.feedbackLast = value;
      if (value < report_.feedbackMin) report_.feedbackMin = value;
      if (value > report_.feedbackMax) report_.feedbackMax = value;
      if (report_.feedbackValues.size() < kMaxDistinctFeedback || report_.feedbackValues.count(value) != 0) {
        ++report_.feedbackValues[value];
      }
      // What the engine accepts: a value near the nominal one, else the nominal one.
      const ULONG nominal = report_.feedbackNominal;
      ULONG accepted = value;
      if (value == 0 || value < 0x10000 || static_cast<ULONGLONG>(value) + 0x10000 < nominal ||
          value > static_cast<ULONGLONG>(nominal) + 0x10000) {
        accepted = nominal;
        ++report_.feedbackReplaced;
      }
      StreamInterface* stream = audio_.PlaybackStream();
      KLOCK_QUEUE_HANDLE handle;
      KeAcquireInStackQueuedSpinLock(&stream->FeedbackLock, &handle);
      stream->AcceptedFeedbackRate = accepted;
      KeReleaseInStackQueuedSpinLock(&handle);
      openGate = true;
      break;
    }
  }
  if (DeviceGone(status)) running_ = false;
  if (openGate) playbackGate_ = true;
}

bool TransferStreamer::Probe(ULONG captureFrames) {
  if (probeSlot_ >= playbackSlots_.size()) return true;
  const DirectionFormat& play = report_.playback;
  Slot* slot = playbackSlots_[probeSlot_];
  const ULONGLONG length = slot->probeLength + static_cast<ULONGLONG>(captureFrames) * play.bytesPerFrame;
  slot->probeLength = length < play.maxTransferBytes ? static_cast<ULONG>(length) : play.maxTransferBytes;
  const ULONG perTransfer = options_.captureMs != 0 && options_.playbackMs > options_.captureMs
                                ? options_.playbackMs / options_.captureMs
                                : 1;
  if (++probeCount_ < perTransfer) return false;
  probeCount_ = 0;
  if (++probeSlot_ < playbackSlots_.size()) return false;
  // Capture ran ahead of the nominal count by this much in the last transfer.
  report_.frameBalance = (static_cast<int64_t>(slot->probeLength) - static_cast<int64_t>(play.nominalTransferBytes)) /
                         static_cast<int64_t>(play.bytesPerFrame);
  return true;
}

void TransferStreamer::Recycle(Slot* slot, std::unique_lock<sim::clock::Mutex>& lock) {
  Process(slot);
  if (slot->kind == Kind::Playback) {
    // Playback keeps its order: the ones waiting go first.
    waiting_.push_back(slot);
  } else {
    Submit(slot, lock);
  }
  if (playbackGate_ && running_) {
    std::vector<Slot*> ready;
    ready.swap(waiting_);
    for (Slot* next : ready) Submit(next, lock);
  }
  changed_.NotifyAll();
}

void TransferStreamer::Worker() {
  std::unique_lock<sim::clock::Mutex> lock(mutex_);
  for (;;) {
    sim::clock::WaitUntil(changed_, lock, sim::clock::kInfinite, [this] { return !done_.empty() || workerExit_; });
    if (done_.empty()) break;
    Slot* slot = done_.front();
    done_.pop_front();
    Recycle(slot, lock);
  }
}

bool TransferStreamer::Stop() {
  std::unique_lock<sim::clock::Mutex> lock(mutex_);
  running_ = false;
  const bool back = sim::clock::WaitUntil(changed_, lock, sim::clock::Now() + kStopTimeout,
                                          [this] { return inFlight_ == 0 && done_.empty(); });
  workerExit_ = true;
  changed_.NotifyAll();
  lock.unlock();
  worker_.Join();
  return back;
}

void TransferStreamer::Release() {
  std::lock_guard<sim::clock::Mutex> guard(mutex_);
  if (!selected_ || inFlight_ != 0) return;
  selected_ = false;
  ULONG channels = 0, bits = 0, max = 0, nominal = 0;
  LONG below = 0, above = 0;
  for (UCHAR direction : {kDirectionRender, kDirectionCapture}) {
    const DirectionFormat& format = direction == kDirectionRender ? report_.playback : report_.capture;
    if (!format.active) continue;
    if (implicit_) {
      audio_.SelectStreamingFormat(direction, options_.formatType, 0, 0, 0, 1, &channels, &bits, &nominal, &below,
                                   &above, &max);
    } else {
      audio_.SelectStreamingFormat(direction, options_.formatType, 0, 0, 0, 1, &channels, &bits, &max);
    }
  }
}

StreamerReport TransferStreamer::Report() const {
  std::lock_guard<sim::clock::Mutex> guard(mutex_);
  StreamerReport report = report_;
  report.counterFrames = counter_.Frames();
  report.counterBadFrames = counter_.BadFrames();
  report.counterJumps = counter_.Discontinuities();
  return report;
}

}  // namespace streamcheck
