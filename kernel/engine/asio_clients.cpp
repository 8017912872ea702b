#include "engine/asio_clients.h"

namespace {

StreamFormat RenderFormatOf(CAsioRingAccess* Rings) {
  return Rings != nullptr ? Rings->RenderFormat() : StreamFormat{};
}

StreamFormat CaptureFormatOf(CAsioRingAccess* Rings) {
  return Rings != nullptr ? Rings->CaptureFormat() : StreamFormat{};
}

}  // namespace

ULONG CAsioRenderSource::GetDsdMode() { return m_Rings != nullptr ? m_Rings->DsdMode() : 0; }
USHORT CAsioRenderSource::GetFormatType() { return RenderFormatOf(m_Rings).FormatType; }
ULONG CAsioRenderSource::GetBitsPerSample() { return RenderFormatOf(m_Rings).BitsPerSample; }
ULONG CAsioRenderSource::GetChannels() { return RenderFormatOf(m_Rings).Channels; }
ULONG CAsioRenderSource::GetBytesPerFrame() { return RenderFormatOf(m_Rings).BytesPerFrame; }
ULONG CAsioRenderSource::GetSampleRate() { return RenderFormatOf(m_Rings).SampleRate; }

ULONG CAsioRenderSource::Read(PUCHAR Buffer, ULONG Frames) {
  const ULONG frameBytes = GetBytesPerFrame();
  if (m_Rings == nullptr || frameBytes == 0) {
    return 0;
  }
  const ULONGLONG wanted = static_cast<ULONGLONG>(Frames) * frameBytes;
  if (wanted > 0xFFFFFFFF) {
    return 0;
  }
  // Partial reads only without a capture ring: duplex pads with silence and
  // keeps the shortfall as debt.
  const ULONG bytes = m_Rings->RenderRingRead(Buffer, static_cast<ULONG>(wanted), !m_Rings->HasCaptureRing());
  return bytes / frameBytes;
}

BOOLEAN CAsioRenderSource::IsCaptureClocked() { return m_Rings != nullptr && m_Rings->HasCaptureRing(); }

BOOLEAN CAsioRenderSource::IsReady() { return m_Rings != nullptr && m_Rings->IsRenderRingStarted(); }

NTSTATUS CAsioRenderSource::Start(ULONG FramesPerPull) {
  UNREFERENCED_PARAMETER(FramesPerPull);
  return STATUS_SUCCESS;
}

void CAsioRenderSource::EndOfPull() {
  if (m_Rings == nullptr) {
    return;
  }
  if (m_Rings->HasCaptureRing()) {
    m_Rings->Balance();
  } else {
    m_Rings->WakeWriter();
  }
}

ULONG CAsioCaptureSink::GetDsdMode() { return m_Rings != nullptr ? m_Rings->DsdMode() : 0; }
USHORT CAsioCaptureSink::GetFormatType() { return CaptureFormatOf(m_Rings).FormatType; }
ULONG CAsioCaptureSink::GetBitsPerSample() { return CaptureFormatOf(m_Rings).BitsPerSample; }
ULONG CAsioCaptureSink::GetChannels() { return CaptureFormatOf(m_Rings).Channels; }
ULONG CAsioCaptureSink::GetBytesPerFrame() { return CaptureFormatOf(m_Rings).BytesPerFrame; }
ULONG CAsioCaptureSink::GetSampleRate() { return CaptureFormatOf(m_Rings).SampleRate; }

NTSTATUS CAsioCaptureSink::Start(ULONG FramesPerTransfer, ULONG PathBytesPerFrame) {
  UNREFERENCED_PARAMETER(FramesPerTransfer);
  m_PathBytesPerFrame = PathBytesPerFrame;
  return STATUS_SUCCESS;
}

ULONG CAsioCaptureSink::Write(const UCHAR* Buffer, ULONG Frames) {
  if (m_Rings == nullptr || m_PathBytesPerFrame == 0) {
    return 0;
  }
  const ULONGLONG bytes = static_cast<ULONGLONG>(Frames) * m_PathBytesPerFrame;
  if (bytes > 0xFFFFFFFF) {
    return 0;
  }
  const ULONG written = m_Rings->CaptureRingWrite(Buffer, static_cast<ULONG>(bytes));
  m_Rings->CompletePendingReads();
  if (m_Rings->HasRenderRing()) {
    m_Rings->Balance();
  }
  return written / m_PathBytesPerFrame;
}
