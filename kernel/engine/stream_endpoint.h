// The abstract stream endpoint every stream client derives from: a source
// of render data or a sink of captured data, with the format it speaks.
#pragma once
#include "platform.h"
#include "base/pool.h"

class CStreamEndpoint : public CPoolObject {
 public:
  virtual ~CStreamEndpoint() = default;
  virtual ULONG GetDsdMode() = 0;
  virtual USHORT GetFormatType() = 0;
  virtual ULONG GetBitsPerSample() = 0;
  virtual ULONG GetChannels() = 0;
  virtual ULONG GetBytesPerFrame() = 0;
  virtual ULONG GetSampleRate() = 0;
};

// Where a capture path hands captured frames; runs at DISPATCH_LEVEL.
class CCaptureSink : public CStreamEndpoint {
 public:
  // Takes `Frames` frames in the capture path's format; returns frames taken.
  virtual ULONG Write(const UCHAR* Buffer, ULONG Frames) = 0;
  // Before the first Write: frames per capture transfer and the path's bytes per frame.
  virtual NTSTATUS Start(ULONG FramesPerTransfer, ULONG PathBytesPerFrame) = 0;
  virtual void Stop() = 0;
};

// Where a render path pulls the data it mixes into render transfers; runs
// at DISPATCH_LEVEL under the path's lock.
class CRenderSource : public CStreamEndpoint {
 public:
  // Up to `Frames` frames in the source's format into `Buffer`; returns frames given.
  virtual ULONG Read(PUCHAR Buffer, ULONG Frames) = 0;
  // Whether the path must follow the capture clock (mix late, per capture completion).
  virtual BOOLEAN IsCaptureClocked() = 0;
  // Whether the source has data to give: the path primes only then.
  virtual BOOLEAN IsReady() = 0;
  virtual NTSTATUS Start(ULONG FramesPerPull) = 0;
  // After each pull, with the path's lock held.
  virtual void EndOfPull() = 0;
  virtual void Stop() = 0;
};
