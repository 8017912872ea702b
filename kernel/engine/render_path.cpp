#include "engine/render_path.h"

#include "adapter/adapter_common.h"
#include "audiofunction/usb_audio_cl.h"
#include "base/pool.h"
#include "base/trace.h"
#include "engine/engine_trace_events.h"

namespace {

// The most a lead may reach, in milliseconds.
constexpr ULONGLONG kLeadLimitMs = 16;

}  // namespace

void CRenderPath::Initialize(CAdapterCommon* Adapter, CRenderSource* Source, ULONG Client) {
  m_Adapter = Adapter;
  m_Source = Source;
  m_Client = Client;
  KeInitializeSpinLock(&m_Lock);
  InitializeListHead(&m_Queue);
  m_Started = 0;
  m_CaptureClocked = 0;
  m_Primed = 0;
  m_SyncFrame = 0;
  m_FirstPullDone = 0;
  m_LeadPercentage = 0;
  m_LeadOverride = 0;
  m_Scratch = nullptr;
  m_ScratchFrames = 0;
  m_WriteAhead = 0;
  m_Lead = 0;
  ConverterClear(&m_Converter);
  RtlZeroMemory(&m_Counters, sizeof(m_Counters));
}

ULONG CRenderPath::GetDsdMode() { return m_Adapter->CurrentDsdMode(); }
USHORT CRenderPath::GetFormatType() { return m_Adapter->Engine().DeviceFormat(kDirectionRender).FormatType; }
ULONG CRenderPath::GetBitsPerSample() { return m_Adapter->Engine().DeviceFormat(kDirectionRender).BitsPerSample; }
ULONG CRenderPath::GetChannels() { return m_Adapter->Engine().DeviceFormat(kDirectionRender).Channels; }
ULONG CRenderPath::GetBytesPerFrame() { return m_Adapter->Engine().DeviceFormat(kDirectionRender).BytesPerFrame; }
ULONG CRenderPath::GetSampleRate() { return m_Adapter->Engine().DeviceFormat(kDirectionRender).SampleRate; }

NTSTATUS CRenderPath::Start() {
  if (m_Source == nullptr) {
    return STATUS_UNSUCCESSFUL;
  }
  Reset();
  ResetLead();
  Converter converter;
  NTSTATUS status = ConverterBind(&converter, m_Source, this);
  // Render sized by the nominal rate pattern plays at the host's pace, not
  // at capture's: pulling at capture's pace would drift against it and lose
  // frames. It is mixed at submission (which the staged layout, copying each
  // transfer as it is submitted, needs as well).
  const BOOLEAN clocked =
      m_Source->IsCaptureClocked() && m_Adapter->Function().CurrentPlaybackMode() != PlaybackPattern;
  ULONG frames = 0;
  if (NT_SUCCESS(status)) {
    CStreamEngine& engine = m_Adapter->Engine();
    const UCHAR direction = clocked ? kDirectionCapture : kDirectionRender;
    const ULONG frameBytes = engine.DeviceFormat(direction).BytesPerFrame;
    frames = frameBytes != 0 ? engine.TransferBytes(direction) / frameBytes : 0;
    const ULONGLONG bytes = static_cast<ULONGLONG>(frames) * m_Source->GetBytesPerFrame();
    if (frames == 0 || bytes == 0 || bytes > 0xFFFFFFFF) {
      status = STATUS_INVALID_DEVICE_STATE;
    }
    if (NT_SUCCESS(status)) {
      m_Scratch = static_cast<PUCHAR>(AllocateDriverPool(static_cast<SIZE_T>(bytes), kPoolTagDriver));
      status = m_Scratch != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  if (NT_SUCCESS(status)) {
    status = m_Source->Start(frames);
  }
  if (NT_SUCCESS(status)) {
    KLOCK_QUEUE_HANDLE handle;
    KeAcquireInStackQueuedSpinLock(&m_Lock, &handle);
    m_Converter = converter;
    m_ScratchFrames = frames;
    m_CaptureClocked = clocked ? 1 : 0;
    m_Started = 1;
    KeReleaseInStackQueuedSpinLock(&handle);
  } else {
    Reset();
  }
  Trace(TRACE_LEVEL_INFORMATION, TraceEnginePathStart, m_Client, status, clocked);
  return status;
}

void CRenderPath::Reset() {
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_Lock, &handle);
  m_Started = 0;
  m_CaptureClocked = 0;
  m_Primed = 0;
  m_SyncFrame = 0;
  m_FirstPullDone = 0;
  ConverterClear(&m_Converter);
  PUCHAR scratch = m_Scratch;
  m_Scratch = nullptr;
  m_ScratchFrames = 0;
  KeReleaseInStackQueuedSpinLock(&handle);
  if (scratch != nullptr) {
    FreeDriverPool(scratch, kPoolTagDriver);
  }
  if (m_Source != nullptr) {
    m_Source->Stop();
  }
}

void CRenderPath::SetLeadPercentage(ULONG Percentage) { m_LeadPercentage = Percentage > 100 ? 100 : Percentage; }

void CRenderPath::SetLeadOverride(ULONG Frames) { m_LeadOverride = Frames; }

ULONG CRenderPath::ComputeLead() const {
  // 64-bit throughout: at DSD rates and wide frames the 32-bit products wrap.
  CStreamEngine& engine = m_Adapter->Engine();
  const ULONGLONG frame = engine.DeviceFormat(kDirectionRender).BytesPerFrame;
  const ULONGLONG rate = engine.DeviceFormat(kDirectionRender).SampleRate;
  if (frame == 0) {
    return 0;
  }
  const EngineTunables& tunables = engine.Tunables();
  const LONGLONG roomMs = (static_cast<LONGLONG>(tunables.RenderTransfersInFlight) - 1) * tunables.RenderMsPerTransfer -
                          2LL * tunables.CaptureMsPerTransfer;
  const ULONGLONG room = (roomMs < 0 || roomMs > static_cast<LONGLONG>(kLeadLimitMs)) ? kLeadLimitMs : roomMs;
  const ULONGLONG extra = m_Adapter->Function().IsClass2() ? 0 : 2 * ((rate + 999) / 1000) + 2;
  const ULONGLONG base = frame * (tunables.CaptureMsPerTransfer * (rate + 999) / 1000 + extra);
  ULONGLONG lead = 0;
  if (m_LeadOverride != 0) {
    const ULONGLONG limit = (rate + 999) * frame * kLeadLimitMs / 1000;
    lead = static_cast<ULONGLONG>(m_LeadOverride) * frame;
    lead = lead < limit ? lead : limit;
  } else {
    const ULONGLONG roomBytes = rate / 1000 * room * frame;
    // A base already beyond the room stays the lead: less would be late.
    lead = roomBytes > base ? base + (roomBytes - base) * m_LeadPercentage / 100 : base;
  }
  lead = (lead + frame / 2) - ((lead + frame / 2) % frame);
  return lead > 0x7FFFFFFF ? static_cast<ULONG>(0x7FFFFFFF - 0x7FFFFFFF % frame) : static_cast<ULONG>(lead);
}

void CRenderPath::ResetLead() {
  const ULONG lead = ComputeLead();
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_Lock, &handle);
  m_Primed = 0;
  m_SyncFrame = 0;
  m_FirstPullDone = 0;
  m_WriteAhead = static_cast<LONG>(lead);
  m_Lead = static_cast<LONG>(lead);
  KeReleaseInStackQueuedSpinLock(&handle);
  Trace(TRACE_LEVEL_VERBOSE, TraceEngineLead, m_Client, lead, m_LeadPercentage);
}

void CRenderPath::MixDirect(PUCHAR Buffer, ULONG Length) {
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_Lock, &handle);
  const ULONG frameBytes = m_Adapter->Engine().DeviceFormat(kDirectionRender).BytesPerFrame;
  if (m_Started != 0 && m_CaptureClocked == 0 && m_Scratch != nullptr && frameBytes != 0) {
    ULONG frames = Length / frameBytes;
    frames = frames < m_ScratchFrames ? frames : m_ScratchFrames;
    ULONG read = m_Source->Read(m_Scratch, frames);
    read = read < frames ? read : frames;
    ConverterApplyMix(&m_Converter, Buffer, m_Scratch, read);
    m_Counters.FramesPulled += read;
    m_Counters.FramesMixed += read;
    m_Source->EndOfPull();
  }
  KeReleaseInStackQueuedSpinLock(&handle);
}

void CRenderPath::Append(StreamTransfer* Transfer) {
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_Lock, &handle);
  InsertTailList(&m_Queue, QueueEntryOf(Transfer));
  KeReleaseInStackQueuedSpinLock(&handle);
}

void CRenderPath::Remove(StreamTransfer* Transfer) {
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_Lock, &handle);
  RemoveEntryList(QueueEntryOf(Transfer));
  InitializeListHead(QueueEntryOf(Transfer));
  KeReleaseInStackQueuedSpinLock(&handle);
}

void CRenderPath::EmptyQueue() {
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_Lock, &handle);
  while (!IsListEmpty(&m_Queue)) {
    InitializeListHead(RemoveHeadList(&m_Queue));
  }
  KeReleaseInStackQueuedSpinLock(&handle);
}

void CRenderPath::OnRenderCompleted(StreamTransfer* Transfer, ULONG Bytes, ULONG Frame) {
  UNREFERENCED_PARAMETER(Bytes);
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_Lock, &handle);
  PLIST_ENTRY entry = QueueEntryOf(Transfer);
  // The transfer's own entry, not merely the oldest: a transfer the bus
  // fails at once completes ahead of older ones still in flight.
  if (entry->Flink != entry) {
    const BOOLEAN oldest = m_Queue.Flink == entry;
    LONG start = 0;
    for (PLIST_ENTRY walk = m_Queue.Flink; walk != entry && walk != &m_Queue; walk = walk->Flink) {
      start += static_cast<LONG>(TransferOf(walk)->Length);
    }
    RemoveEntryList(entry);
    InitializeListHead(entry);
    if (m_Primed != 0) {
      const LONG length = static_cast<LONG>(Transfer->Length);
      if (oldest) {
        m_WriteAhead -= length;
        if (m_WriteAhead < 0) {
          ++m_Counters.LateData;
          Trace(TRACE_LEVEL_WARNING, TraceEngineLateData, m_Client, m_WriteAhead);
          // Behind the transfers going out, every later mix would land in
          // the past too: prime again from the lead.
          m_Primed = 0;
          m_SyncFrame = 0;
          m_FirstPullDone = 0;
          m_WriteAhead = m_Lead;
        }
      } else if (start < m_WriteAhead) {
        m_WriteAhead = start + length <= m_WriteAhead ? m_WriteAhead - length : start;
      }
    }
  }
  if (m_Started != 0 && m_CaptureClocked != 0 && m_Primed == 0 && m_Source->IsReady()) {
    m_Primed = 1;
    m_SyncFrame = Frame;
    ++m_Counters.Primes;
  }
  KeReleaseInStackQueuedSpinLock(&handle);
}

void CRenderPath::OnCaptureCompleted(ULONG CapturedBytes, ULONG Frame) {
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_Lock, &handle);
  CStreamEngine& engine = m_Adapter->Engine();
  const ULONG captureFrame = engine.DeviceFormat(kDirectionCapture).BytesPerFrame;
  if (m_Started != 0 && m_CaptureClocked != 0 && m_Scratch != nullptr && captureFrame != 0) {
    ULONG frames = CapturedBytes / captureFrame;
    frames = frames < m_ScratchFrames ? frames : m_ScratchFrames;
    ULONG read = m_Source->Read(m_Scratch, frames);
    read = read < frames ? read : frames;
    m_Counters.FramesPulled += read;
    if (m_Primed != 0) {
      const StreamFormat& format = engine.DeviceFormat(kDirectionRender);
      if (m_FirstPullDone == 0) {
        if (Frame != m_SyncFrame) {
          // One capture transfer has passed since the priming completion.
          const ULONGLONG frames64 =
              (static_cast<ULONGLONG>(format.SampleRate) + 500) * engine.Tunables().CaptureMsPerTransfer / 1000;
          m_WriteAhead += static_cast<LONG>(frames64 * format.BytesPerFrame);
        }
        m_FirstPullDone = 1;
      }
      MixQueued(read);
      m_WriteAhead += static_cast<LONG>(read * format.BytesPerFrame);
    }
    m_Source->EndOfPull();
  }
  KeReleaseInStackQueuedSpinLock(&handle);
}

void CRenderPath::MixQueued(ULONG Frames) {
  const ULONG frameBytes = m_Adapter->Engine().DeviceFormat(kDirectionRender).BytesPerFrame;
  if (m_WriteAhead < 0 || frameBytes == 0) {
    return;
  }
  ULONG offset = static_cast<ULONG>(m_WriteAhead);
  const UCHAR* source = m_Scratch;
  for (PLIST_ENTRY entry = m_Queue.Flink; entry != &m_Queue && Frames != 0; entry = entry->Flink) {
    StreamTransfer* transfer = TransferOf(entry);
    if (offset >= transfer->Length) {
      offset -= transfer->Length;
      continue;
    }
    ULONG frames = (transfer->Length - offset) / frameBytes;
    frames = frames < Frames ? frames : Frames;
    source = ConverterApplyMix(&m_Converter, static_cast<PUCHAR>(transfer->Buffer) + offset, source, frames);
    m_Counters.FramesMixed += frames;
    Frames -= frames;
    offset = 0;
  }
}
