// The WaveRT stream clients: the render source that pulls the render
// stream's queued chunks, and the capture sink that converts captured frames
// into the capture stream's chunks. Both reach the stream through the
// miniport's engine link.
#pragma once
#include "platform.h"
#include "engine/chunk_list.h"
#include "engine/converters.h"
#include "engine/periodic_timer.h"
#include "engine/stream_endpoint.h"

class CAdapterCommon;
class CCapturePath;

class CWaveRenderSource : public CRenderSource {
 public:
  void Initialize(CAdapterCommon* Adapter, CChunkList* Chunks);

  // The render stream format, PCM.
  ULONG GetDsdMode() override { return 0; }
  USHORT GetFormatType() override { return 1; }
  ULONG GetBitsPerSample() override;
  ULONG GetChannels() override;
  ULONG GetBytesPerFrame() override;
  ULONG GetSampleRate() override;

  ULONG Read(PUCHAR Buffer, ULONG Frames) override;
  // Follows capture whenever the device has a capture interface.
  BOOLEAN IsCaptureClocked() override;
  BOOLEAN IsReady() override { return TRUE; }
  // Without capture the 1-ms timer keeps the stream's position moving.
  NTSTATUS Start(ULONG FramesPerPull) override;
  void EndOfPull() override {}
  void Stop() override;
  BOOLEAN TimerActive() const { return m_Timer.IsActive(); }

 private:
  static void TimerTick(PVOID Context);

  CAdapterCommon* m_Adapter;
  CChunkList* m_Chunks;
  CPeriodicTimer m_Timer;
};

class CWaveCaptureSink : public CCaptureSink {
 public:
  void Initialize(CAdapterCommon* Adapter, CChunkList* Chunks, CCapturePath* Path);

  // The capture stream format, PCM.
  ULONG GetDsdMode() override { return 0; }
  USHORT GetFormatType() override { return 1; }
  ULONG GetBitsPerSample() override;
  ULONG GetChannels() override;
  ULONG GetBytesPerFrame() override;
  ULONG GetSampleRate() override;

  ULONG Write(const UCHAR* Buffer, ULONG Frames) override;
  // Binds the converter from the capture path's format to the stream's.
  NTSTATUS Start(ULONG FramesPerTransfer, ULONG PathBytesPerFrame) override;
  void Stop() override;

 private:
  CAdapterCommon* m_Adapter;
  CChunkList* m_Chunks;
  CCapturePath* m_Path;
  KSPIN_LOCK m_Lock;
  Converter m_Converter;
  ULONG m_PathBytesPerFrame;
};
