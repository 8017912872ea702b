#include "engine/wave_clients.h"

#include "adapter/adapter_common.h"
#include "adapter/miniport_link.h"
#include "engine/capture_path.h"

namespace {

constexpr LONGLONG kTimerDue = 10 * 1000;  // 1 ms in 100 ns
constexpr ULONG kTimerPeriod = 10 * 1000;

StreamFormat FormatOf(CAdapterCommon* Adapter, UCHAR Direction) {
  StreamFormat format;
  Adapter->StreamFormatFor(Direction, &format);
  return format;
}

}  // namespace

void CWaveRenderSource::Initialize(CAdapterCommon* Adapter, CChunkList* Chunks) {
  m_Adapter = Adapter;
  m_Chunks = Chunks;
  m_Timer.Initialize(TimerTick, this);
}

ULONG CWaveRenderSource::GetBitsPerSample() { return FormatOf(m_Adapter, kDirectionRender).BitsPerSample; }
ULONG CWaveRenderSource::GetChannels() { return FormatOf(m_Adapter, kDirectionRender).Channels; }
ULONG CWaveRenderSource::GetBytesPerFrame() { return FormatOf(m_Adapter, kDirectionRender).BytesPerFrame; }
ULONG CWaveRenderSource::GetSampleRate() { return FormatOf(m_Adapter, kDirectionRender).SampleRate; }

BOOLEAN CWaveRenderSource::IsCaptureClocked() { return m_Adapter->Function().CaptureStream() != nullptr; }

ULONG CWaveRenderSource::Read(PUCHAR Buffer, ULONG Frames) {
  const ULONG frameBytes = GetBytesPerFrame();
  const ULONGLONG wanted = static_cast<ULONGLONG>(Frames) * frameBytes;
  const ULONG bytes =
      wanted > 0xFFFFFFFF ? 0xFFFFFFFF - 0xFFFFFFFF % (frameBytes != 0 ? frameBytes : 1) : static_cast<ULONG>(wanted);
  IMiniportEngineLink* link = m_Adapter->ReferenceMiniport();
  if (link == nullptr || !link->BeginStreamAccess(kDirectionRender)) {
    RtlZeroMemory(Buffer, bytes);
    if (link != nullptr) {
      link->Release();
    }
    return Frames;
  }
  link->TransferData(kDirectionRender, bytes);
  const ULONG copied = m_Chunks->TakeInto(Buffer, bytes, link);
  // What the stream had not queued plays as silence.
  RtlZeroMemory(Buffer + copied, bytes - copied);
  link->AdvancePosition(kDirectionRender, copied);
  link->EndStreamAccess(kDirectionRender);
  link->Release();
  return Frames;
}

NTSTATUS CWaveRenderSource::Start(ULONG FramesPerPull) {
  UNREFERENCED_PARAMETER(FramesPerPull);
  if (IsCaptureClocked()) {
    return STATUS_SUCCESS;
  }
  return NT_SUCCESS(m_Timer.Start(kTimerDue, kTimerPeriod)) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

void CWaveRenderSource::Stop() { m_Timer.Stop(); }

void CWaveRenderSource::TimerTick(PVOID Context) {
  auto* source = static_cast<CWaveRenderSource*>(Context);
  IMiniportEngineLink* link = source->m_Adapter->ReferenceMiniport();
  if (link != nullptr) {
    // The call keeps the stream's position current; its answer is not needed.
    ULONGLONG position = 0;
    link->GetStreamPosition(kDirectionRender, &position);
    link->Release();
  }
}

void CWaveCaptureSink::Initialize(CAdapterCommon* Adapter, CChunkList* Chunks, CCapturePath* Path) {
  m_Adapter = Adapter;
  m_Chunks = Chunks;
  m_Path = Path;
  KeInitializeSpinLock(&m_Lock);
  ConverterClear(&m_Converter);
  m_PathBytesPerFrame = 0;
}

ULONG CWaveCaptureSink::GetBitsPerSample() { return FormatOf(m_Adapter, kDirectionCapture).BitsPerSample; }
ULONG CWaveCaptureSink::GetChannels() { return FormatOf(m_Adapter, kDirectionCapture).Channels; }
ULONG CWaveCaptureSink::GetBytesPerFrame() { return FormatOf(m_Adapter, kDirectionCapture).BytesPerFrame; }
ULONG CWaveCaptureSink::GetSampleRate() { return FormatOf(m_Adapter, kDirectionCapture).SampleRate; }

NTSTATUS CWaveCaptureSink::Start(ULONG FramesPerTransfer, ULONG PathBytesPerFrame) {
  UNREFERENCED_PARAMETER(FramesPerTransfer);
  Converter converter;
  ConverterClear(&converter);
  StreamFormat format;
  // Without a stream format there is no WaveRT stream to receive anything.
  const NTSTATUS status =
      m_Adapter->StreamFormatFor(kDirectionCapture, &format) ? ConverterBind(&converter, m_Path, this) : STATUS_SUCCESS;
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_Lock, &handle);
  m_Converter = converter;
  m_PathBytesPerFrame = NT_SUCCESS(status) ? PathBytesPerFrame : 0;
  KeReleaseInStackQueuedSpinLock(&handle);
  return status;
}

void CWaveCaptureSink::Stop() {
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_Lock, &handle);
  ConverterClear(&m_Converter);
  m_PathBytesPerFrame = 0;
  KeReleaseInStackQueuedSpinLock(&handle);
}

ULONG CWaveCaptureSink::Write(const UCHAR* Buffer, ULONG Frames) {
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_Lock, &handle);
  const ULONG sinkFrame = GetBytesPerFrame();
  if (m_PathBytesPerFrame != 0 && sinkFrame != 0 && m_Converter.Copy != nullptr) {
    IMiniportEngineLink* link = m_Adapter->ReferenceMiniport();
    if (link != nullptr) {
      if (link->BeginStreamAccess(kDirectionCapture)) {
        const ULONGLONG wanted = static_cast<ULONGLONG>(Frames) * sinkFrame;
        if (wanted <= 0xFFFFFFFF) {
          link->TransferData(kDirectionCapture, static_cast<ULONG>(wanted));
          const ULONG written = m_Chunks->ConvertInto(&m_Converter, Buffer, Frames, m_PathBytesPerFrame, sinkFrame);
          link->AdvancePosition(kDirectionCapture, written);
        }
        link->EndStreamAccess(kDirectionCapture);
      }
      link->Release();
    }
  }
  KeReleaseInStackQueuedSpinLock(&handle);
  return Frames;
}
