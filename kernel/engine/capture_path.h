// A capture path: hands every completed capture transfer to its sink while
// started. One for ASIO, one for WaveRT.
#pragma once
#include "platform.h"
#include "engine/stream_endpoint.h"

class CAdapterCommon;

class CCapturePath : public CStreamEndpoint {
 public:
  void Initialize(CAdapterCommon* Adapter);

  // The function's DSD mode and the capture device format.
  ULONG GetDsdMode() override;
  USHORT GetFormatType() override;
  ULONG GetBitsPerSample() override;
  ULONG GetChannels() override;
  ULONG GetBytesPerFrame() override;
  ULONG GetSampleRate() override;

  // Null is refused with STATUS_INVALID_PARAMETER.
  NTSTATUS SetSink(CCaptureSink* Sink);
  void ClearSink();
  // Starts the sink and marks the path started.
  NTSTATUS Start(ULONG FramesPerTransfer, ULONG BytesPerFrame);
  // Clears started and stops the sink.
  void Stop();
  BOOLEAN IsStarted() const { return m_Started != 0; }
  // DISPATCH_LEVEL, from the capture DPC: frames of one capture transfer.
  ULONG Deliver(const UCHAR* Buffer, ULONG Frames);

 private:
  CAdapterCommon* m_Adapter;
  KSPIN_LOCK m_Lock;
  CCaptureSink* m_Sink;
  LONG m_Started;
};
