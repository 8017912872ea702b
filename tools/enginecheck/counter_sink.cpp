#include "tools/enginecheck/counter_sink.h"

namespace enginecheck {

ULONG CounterSink::Write(const UCHAR* buffer, ULONG frames) {
  ++writes_;
  if (frames != 0) check_.Feed(buffer, frames);
  return frames;
}

NTSTATUS CounterSink::Start(ULONG framesPerTransfer, ULONG pathBytesPerFrame) {
  if (format_ != nullptr && !started_) {
    channels_ = format_->Channels;
    subslot_ = format_->BitsPerSample / 8;
    rate_ = format_->SampleRate;
    check_.Reset(channels_, subslot_);
  }
  if (framesPerTransfer == 0 || pathBytesPerFrame != channels_ * subslot_) {
    ++mismatches_;
    return STATUS_INVALID_PARAMETER;
  }
  started_ = true;
  return STATUS_SUCCESS;
}

void CounterSink::Stop() { started_ = false; }

}  // namespace enginecheck
