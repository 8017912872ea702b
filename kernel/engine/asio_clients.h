// The ASIO stream clients: the render source that reads the ASIO render
// ring and the capture sink that fills the ASIO capture ring. Both speak the
// rings' formats and do nothing while no ASIO stream is attached.
#pragma once
#include "platform.h"
#include "engine/asio_ring_access.h"
#include "engine/stream_endpoint.h"

class CAsioRenderSource : public CRenderSource {
 public:
  void Initialize() { m_Rings = nullptr; }
  // The ASIO stream's rings, or null when it goes; PASSIVE_LEVEL, with both
  // ASIO paths stopped.
  void Attach(CAsioRingAccess* Rings) { m_Rings = Rings; }
  CAsioRingAccess* Rings() const { return m_Rings; }

  ULONG GetDsdMode() override;
  USHORT GetFormatType() override;
  ULONG GetBitsPerSample() override;
  ULONG GetChannels() override;
  ULONG GetBytesPerFrame() override;
  ULONG GetSampleRate() override;

  ULONG Read(PUCHAR Buffer, ULONG Frames) override;
  // Duplex ASIO follows the capture clock.
  BOOLEAN IsCaptureClocked() override;
  BOOLEAN IsReady() override;
  NTSTATUS Start(ULONG FramesPerPull) override;
  void EndOfPull() override;
  void Stop() override {}

 private:
  CAsioRingAccess* m_Rings;
};

class CAsioCaptureSink : public CCaptureSink {
 public:
  void Initialize() { m_Rings = nullptr; }
  void Attach(CAsioRingAccess* Rings) { m_Rings = Rings; }

  ULONG GetDsdMode() override;
  USHORT GetFormatType() override;
  ULONG GetBitsPerSample() override;
  ULONG GetChannels() override;
  ULONG GetBytesPerFrame() override;
  ULONG GetSampleRate() override;

  // The ring takes the device's own format: no conversion on this side.
  ULONG Write(const UCHAR* Buffer, ULONG Frames) override;
  NTSTATUS Start(ULONG FramesPerTransfer, ULONG PathBytesPerFrame) override;
  void Stop() override {}

 private:
  CAsioRingAccess* m_Rings;
  ULONG m_PathBytesPerFrame;
};
