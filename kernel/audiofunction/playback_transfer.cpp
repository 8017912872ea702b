// Playback transfers: the per-packet sizes follow the capture stream
// (implicit feedback), the device's feedback endpoint, or the nominal rate
// through the rate pattern table.
#include <stddef.h>

#include "base/trace.h"
#include "audiofunction/audio_trace_events.h"
#include "audiofunction/playback_plan.h"
#include "audiofunction/rate_pattern.h"
#include "audiofunction/usb_audio_cl.h"

namespace {

ULONG Smaller(ULONGLONG a, ULONG b) { return a < b ? static_cast<ULONG>(a) : b; }

ULONG RoundUp(ULONG value, ULONG multiple) {
  return multiple <= 1 ? value : (value + multiple - 1) / multiple * multiple;
}

}  // namespace

ULONG PlaybackPacketsPerMs(BOOLEAN HighSpeed, ULONG PacketInterval) {
  if (!HighSpeed) {
    return 1;
  }
  return (PacketInterval == 0 || PacketInterval > 7) ? 1 : 8 / PacketInterval;
}

NTSTATUS PlanPlaybackPackets(const PlaybackPlanInput& Input, ULONG MaxPackets, PlaybackPlan* Plan) {
  const ULONGLONG frame = Input.BytesPerFrame;
  *Plan = PlaybackPlan{};
  if (frame == 0) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  ULONGLONG packets = 0;
  if (Input.Mode == PlaybackImplicit) {
    const LONGLONG nominal = Input.NominalPacketBytes;
    if (nominal <= 0) {
      return STATUS_INVALID_DEVICE_STATE;
    }
    const LONGLONG d = static_cast<LONGLONG>(Input.Milliseconds) * (Input.HighSpeed ? 8 : 1);
    const LONGLONG x = (static_cast<LONGLONG>(Input.Length) - d * nominal) / static_cast<LONGLONG>(frame);
    if (x < 0 && x >= -d && Input.ShortPacket) {
      Plan->Short = static_cast<ULONG>(-x);
      Plan->Nominal = static_cast<ULONG>(d + x);
    } else if (x > 0 && x <= d) {
      Plan->Large = static_cast<ULONG>(x);
      Plan->Nominal = static_cast<ULONG>(d - x);
    } else {
      const ULONGLONG count = (static_cast<ULONGLONG>(Input.Length) + nominal - 1) / nominal;
      Plan->Nominal = count > MaxPackets ? MaxPackets + 1 : static_cast<ULONG>(count);
    }
    packets = static_cast<ULONGLONG>(Plan->Large) + Plan->Nominal + Plan->Short;
    if (Input.HighSpeed && packets <= MaxPackets) {
      const ULONG padded = RoundUp(static_cast<ULONG>(packets), 8);
      Plan->Short += padded - static_cast<ULONG>(packets);
      packets = padded;
    }
  } else {
    const ULONG interval = Input.PacketInterval == 0 ? 1 : Input.PacketInterval;
    const RatePatternRow* row = Input.Row;
    if (Input.Mode == PlaybackExplicit) {
      Plan->Rate = Input.FeedbackRate;
    } else if (row == nullptr || RatePatternLength(row, Input.HighSpeed) == 0) {
      return STATUS_INVALID_DEVICE_STATE;
    }
    // Bounded by the URB's packet room: a rate or pattern giving no frames
    // never reaches the length.
    const ULONG maxSteps = (MaxPackets + 1) * interval;
    ULONGLONG accumulator = Input.Accumulator & 0xFFFF;
    ULONG position = Input.PatternPosition;
    ULONGLONG bytes = 0;
    ULONG steps = 0;
    while (bytes < Input.Length && steps < maxSteps) {
      if (Input.Mode == PlaybackExplicit) {
        const ULONGLONG sum = accumulator + Input.FeedbackRate;
        bytes += (sum >> 16) * frame;
        accumulator = sum & 0xFFFF;
      } else {
        bytes += RatePatternFrames(row, Input.HighSpeed, position++) * frame;
      }
      ++steps;
    }
    packets = bytes < Input.Length ? MaxPackets + 1 : (steps + interval - 1) / interval;
    if (Input.HighSpeed && packets <= MaxPackets) {
      const ULONG padded = RoundUp(static_cast<ULONG>(packets), PlaybackPacketsPerMs(Input.HighSpeed, interval));
      Plan->Spread = Input.Mode == PlaybackExplicit && padded != packets;
      packets = padded;
    }
  }
  if (packets == 0 || packets > MaxPackets) {
    // A URB list entry holds no more, and the bus takes no transfer without packets.
    return STATUS_INVALID_PARAMETER;
  }
  Plan->Packets = static_cast<ULONG>(packets);
  return STATUS_SUCCESS;
}

PlaybackMode CUSBAudioCL::CurrentPlaybackMode() const {
  return ChoosePlaybackMode(UsesImplicitFeedback(),
                            m_PlaybackStream != nullptr && m_PlaybackStream->LoadFeedbackPipe() != nullptr);
}

ULONG CUSBAudioCL::PlaybackPacketsPerMs() const {
  return ::PlaybackPacketsPerMs(IsHighSpeed(), m_PlaybackPacketInterval);
}

NTSTATUS CUSBAudioCL::PlanPlayback(PlaybackMode Mode, ULONG Length, ULONG Milliseconds, PlaybackPlan* Plan) const {
  const StreamInterface* stream = m_PlaybackStream;
  PlaybackPlanInput input = {};
  input.Mode = Mode;
  input.Length = Length;
  input.Milliseconds = Milliseconds;
  input.HighSpeed = IsHighSpeed();
  input.BytesPerFrame = stream->BytesPerFrame;
  input.NominalPacketBytes = stream->NominalPacketBytes;
  input.ShortPacket = stream->ShortPacket;
  input.PacketInterval = m_PlaybackPacketInterval;
  input.Row = m_PlaybackRateRow;
  input.PatternPosition = m_PlaybackPatternPosition;
  input.Accumulator = stream->PacketAccumulator;
  if (Mode == PlaybackExplicit) {
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&m_PlaybackStream->FeedbackLock, &lock);
    input.FeedbackRate = stream->FeedbackRateInUse;
    KeReleaseInStackQueuedSpinLock(&lock);
    if (input.FeedbackRate == 0) {
      // Before the first feedback has been accepted the nominal rate is the best guess.
      input.FeedbackRate = NominalFeedback(kDirectionRender);
    }
  }
  const NTSTATUS status = PlanPlaybackPackets(input, CUSBCL::kMaxIsoPackets, Plan);
  if (status == STATUS_INVALID_DEVICE_STATE) {
    Trace(TRACE_LEVEL_ERROR, TraceTransferPlanBad, Mode, Length, Mode == PlaybackPattern ? 2 : 1);
  } else if (status == STATUS_INVALID_PARAMETER) {
    Trace(TRACE_LEVEL_ERROR, TraceTransferTooManyPackets, Mode, Length, Milliseconds);
  }
  return status;
}

void CUSBAudioCL::LayoutPlayback(PlaybackMode Mode, const PlaybackPlan& Plan, PURB Urb, ULONG Length) {
  StreamInterface* stream = m_PlaybackStream;
  struct _URB_ISOCH_TRANSFER& iso = Urb->UrbIsochronousTransfer;
  const ULONG frame = stream->BytesPerFrame;
  const ULONG interval = m_PlaybackPacketInterval == 0 ? 1 : m_PlaybackPacketInterval;
  const BOOLEAN highSpeed = IsHighSpeed();
  ULONGLONG accumulator = stream->PacketAccumulator & 0xFFFF;
  ULONG position = m_PlaybackPatternPosition;
  const ULONG frames = Length / frame;
  ULONG offset = 0;
  for (ULONG i = 0; i < Plan.Packets; ++i) {
    const ULONG remaining = Length - offset;
    ULONGLONG planned = 0;
    if (Mode == PlaybackImplicit) {
      if (i < Plan.Large) {
        planned = static_cast<ULONG>(stream->MaximumPacketBytes);
      } else if (i < Plan.Large + Plan.Nominal) {
        planned = static_cast<ULONG>(stream->NominalPacketBytes);
      } else {
        planned = static_cast<ULONG>(stream->MinimumPacketBytes);
      }
    } else if (Plan.Spread) {
      planned = static_cast<ULONGLONG>(frames / Plan.Packets + (i < frames % Plan.Packets ? 1 : 0)) * frame;
    } else if (remaining != 0) {
      // Packets only added to fill whole milliseconds move neither clock.
      for (ULONG step = 0; step < interval; ++step) {
        if (Mode == PlaybackExplicit) {
          const ULONGLONG sum = accumulator + Plan.Rate;
          planned += (sum >> 16) * frame;
          accumulator = sum & 0xFFFF;
        } else {
          planned += static_cast<ULONGLONG>(RatePatternFrames(m_PlaybackRateRow, highSpeed, position++)) * frame;
        }
      }
      if (Mode == PlaybackExplicit) {
        stream->PacketAccumulator = static_cast<ULONG>(accumulator);
      }
    }
    iso.IsoPacket[i].Offset = offset;
    iso.IsoPacket[i].Length = Smaller(planned, remaining);
    iso.IsoPacket[i].Status = 0;
    offset += iso.IsoPacket[i].Length;
  }
  if (Mode == PlaybackPattern) {
    const ULONG length = RatePatternLength(m_PlaybackRateRow, highSpeed);
    m_PlaybackPatternPosition = length != 0 ? position % length : 0;
  }
}

NTSTATUS CUSBAudioCL::LayoutStaging(const PlaybackPlan& Plan, PVOID Buffer, PMDL Mdl, ULONG Length,
                                    TransferContext* Context, PURB Urb) {
  struct _URB_ISOCH_TRANSFER& iso = Urb->UrbIsochronousTransfer;
  PUCHAR staging = static_cast<PUCHAR>(Context->ExtraBuffer);
  if (staging == nullptr) {
    return STATUS_UNSUCCESSFUL;
  }
  const UCHAR* source = static_cast<const UCHAR*>(Buffer);
  if (source == nullptr && Mdl != nullptr) {
    source = static_cast<const UCHAR*>(
        MmGetSystemAddressForMdlSafe(Mdl, static_cast<MM_PAGE_PRIORITY>(DriverPagePriority())));
  }
  if (source == nullptr && Length != 0) {
    Trace(TRACE_LEVEL_ERROR, TraceTransferNoResources, 1, 4);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  const ULONG frame = m_PlaybackStream->BytesPerFrame;
  const BOOLEAN highSpeed = IsHighSpeed();
  const ULONG capacity = Context->ExtraBufferLength;
  const ULONG interval = m_PlaybackPacketInterval == 0 ? 1 : m_PlaybackPacketInterval;
  ULONG position = m_PlaybackPatternPosition;
  ULONG read = 0;
  ULONG written = 0;
  for (ULONG i = 0; i < Plan.Packets; ++i) {
    iso.IsoPacket[i].Offset = written;
    iso.IsoPacket[i].Length = 0;
    iso.IsoPacket[i].Status = 0;
    if (capacity - written < 5 || read >= Length) {
      continue;
    }
    // A packet covers every microframe of its interval: one step per packet
    // would leave the rest of the transfer unsent.
    ULONGLONG planned = 0;
    for (ULONG step = 0; step < interval; ++step) {
      planned += static_cast<ULONGLONG>(RatePatternFrames(m_PlaybackRateRow, highSpeed, position++)) * frame;
    }
    ULONG count = Smaller(planned, Length - read);
    if (count > capacity - written - 4) {
      count = capacity - written - 4;
    }
    staging[written] = static_cast<UCHAR>(count);
    staging[written + 1] = static_cast<UCHAR>(count >> 8);
    staging[written + 2] = static_cast<UCHAR>(count >> 16);
    staging[written + 3] = static_cast<UCHAR>(count >> 24);
    RtlCopyMemory(staging + written + 4, source + read, count);
    iso.IsoPacket[i].Length = count + 4;
    read += count;
    written += count + 4;
  }
  const ULONG length = RatePatternLength(m_PlaybackRateRow, highSpeed);
  m_PlaybackPatternPosition = length != 0 ? position % length : 0;
  iso.TransferBuffer = staging;
  iso.TransferBufferMDL = nullptr;
  iso.TransferBufferLength = written;
  Context->BufferLength = written;
  return STATUS_SUCCESS;
}

NTSTATUS CUSBAudioCL::SubmitPlayback(PVOID Buffer, PMDL Mdl, ULONG Length, ULONG Milliseconds,
                                     PUSB_TRANSFER_CALLBACK Callback, PVOID CallbackContext) {
  StreamInterface* stream = m_PlaybackStream;
  const PUSBD_PIPE_INFORMATION pipe = stream != nullptr ? stream->LoadDataPipe() : nullptr;
  if (pipe == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceTransferNoPipe, kDirectionRender, 1);
    return STATUS_NOT_SUPPORTED;
  }
  const PlaybackMode mode = CurrentPlaybackMode();
  PlaybackPlan plan;
  NTSTATUS status = PlanPlayback(mode, Length, Milliseconds, &plan);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  TransferContext* context = AllocateTransferContext();
  if (context == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceTransferNoResources, 1, 1);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  context->Callback = Callback;
  context->CallbackContext = CallbackContext;
  context->Pipe = pipe;
  context->BufferLength = Length;

  const BOOLEAN staged = mode == PlaybackPattern && HasPlaybackLengthHeader();
  if (staged) {
    const ULONGLONG size = static_cast<ULONGLONG>(Length) + 4ull * plan.Packets;
    if (size > 0xFFFFFFFF) {
      ReleaseTransfer(context);
      return STATUS_INVALID_PARAMETER;
    }
    context->ExtraBuffer = AllocateDriverPool(static_cast<SIZE_T>(size), kPoolTagPlaybackStaging);
    if (context->ExtraBuffer == nullptr) {
      Trace(TRACE_LEVEL_ERROR, TraceTransferNoResources, 1, 3);
      ReleaseTransfer(context);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    context->ExtraBufferLength = static_cast<ULONG>(size);
    context->ExtraBufferTag = kPoolTagPlaybackStaging;
  }
  PURB urb = AllocateIsoUrb();
  if (urb == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceTransferNoResources, 1, 2);
    ReleaseTransfer(context);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  context->Urb = urb;
  struct _URB_ISOCH_TRANSFER& iso = urb->UrbIsochronousTransfer;
  iso.Hdr.Length = static_cast<USHORT>(GET_ISO_URB_SIZE(plan.Packets));
  iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
  iso.PipeHandle = pipe->PipeHandle;
  iso.TransferFlags = USBD_START_ISO_TRANSFER_ASAP | USBD_TRANSFER_DIRECTION_OUT;
  iso.StartFrame = 0;
  iso.NumberOfPackets = plan.Packets;
  iso.TransferBuffer = Buffer;
  iso.TransferBufferMDL = Mdl;
  iso.TransferBufferLength = Length;
  if (staged) {
    status = LayoutStaging(plan, Buffer, Mdl, Length, context, urb);
    if (!NT_SUCCESS(status)) {
      ReleaseTransfer(context);
      return status;
    }
  } else {
    LayoutPlayback(mode, plan, urb, Length);
  }
  return SendTransfer(context, nullptr);
}

ULONG CUSBAudioCL::PlaybackBytes(ULONG Milliseconds, ULONG Rate) const {
  const StreamInterface* stream = m_PlaybackStream;
  if (stream == nullptr) {
    return 0;
  }
  const ULONGLONG frame = stream->BytesPerFrame;
  const ULONGLONG steps = static_cast<ULONGLONG>(Milliseconds) * (IsHighSpeed() ? 8 : 1);
  ULONGLONG bytes = 0;
  if (stream->LoadFeedbackPipe() != nullptr) {
    bytes = (((stream->PacketAccumulator & 0xFFFF) + steps * Rate) >> 16) * frame;
  } else {
    const RatePatternRow* row = m_PlaybackRateRow;
    if (row == nullptr || RatePatternLength(row, IsHighSpeed()) == 0) {
      return 0;
    }
    ULONGLONG frames = 0;
    for (ULONGLONG i = 0; i < steps; ++i) {
      frames += RatePatternFrames(
          row, IsHighSpeed(),
          static_cast<ULONG>((m_PlaybackPatternPosition + i) % RatePatternLength(row, IsHighSpeed())));
    }
    bytes = frames * frame;
  }
  return bytes > 0xFFFFFFFF ? 0xFFFFFFFF : static_cast<ULONG>(bytes);
}
