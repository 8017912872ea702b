// From a requested stream format to an alternate setting: the filters of
// both class versions, the packet sizes of the chosen endpoint, and the
// selection itself with the device's rate.
#include "base/trace.h"
#include "audiofunction/audio_clock.h"
#include "audiofunction/audio_terminal.h"
#include "audiofunction/audio_trace_events.h"
#include "audiofunction/format_fields.h"
#include "audiofunction/rate_pattern.h"
#include "audiofunction/usb_audio_cl.h"

namespace {

constexpr USHORT kUac1SamplingFreqSelector = 0x0100;  // wValue of SAMPLING_FREQ_CONTROL
// Beyond this bInterval exponent no endpoint is valid; it bounds the arithmetic.
constexpr ULONG kMaxIntervalExponent = 15;

// Sizes of one format on one endpoint.
struct PacketSizes {
  ULONG BytesPerFrame;  // F
  ULONG Interval;       // H
  LONG Nominal;         // E
  LONG Minimum;
  LONG Maximum;
  ULONG BytesPerMs;  // G
};

ULONG PacketInterval(const USB_ENDPOINT_DESCRIPTOR* endpoint) {
  const ULONG interval = endpoint->bInterval;
  if (interval <= 1) {
    return 1;
  }
  const ULONG exponent = interval - 1 > kMaxIntervalExponent ? kMaxIntervalExponent : interval - 1;
  return 1u << exponent;
}

BOOLEAN ComputeSizes(const USB_ENDPOINT_DESCRIPTOR* endpoint, BOOLEAN highSpeed, ULONG channels, ULONG bits, ULONG rate,
                     PacketSizes* sizes) {
  const ULONGLONG frame = static_cast<ULONGLONG>(channels) * bits / 8;
  const ULONG interval = PacketInterval(endpoint);
  const ULONGLONG j = static_cast<ULONGLONG>(rate) * interval;
  const ULONGLONG unit = highSpeed ? 8000 : 1000;
  const ULONGLONG n = j / unit;
  const BOOLEAN whole = (j % unit) == 0;
  const ULONGLONG nominal = frame * n;
  // Every size later handled as a signed 32-bit count, twice the frame included.
  if (nominal + 2 * frame > 0x7FFFFFFF) {
    return FALSE;
  }
  sizes->BytesPerFrame = static_cast<ULONG>(frame);
  sizes->Interval = interval;
  sizes->Nominal = static_cast<LONG>(nominal);
  sizes->Minimum = static_cast<LONG>(whole ? nominal - frame : nominal);
  sizes->Maximum = static_cast<LONG>(nominal + frame);
  const ULONG w = endpoint->wMaxPacketSize;
  if (highSpeed) {
    const ULONG perMs = interval > 7 ? 1 : 8 / interval;
    sizes->BytesPerMs = perMs * (((w >> 11) & 3) + 1) * (w & 0x7FF);
  } else {
    sizes->BytesPerMs = w;
  }
  return TRUE;
}

// SAMPLING_FREQ_CONTROL of a class 1.0 endpoint read back: the rate, or
// failure when the request failed or came back short.
NTSTATUS ReadEndpointRate(CUSBAudioCL* audio, UCHAR endpoint, PULONG rate) {
  UCHAR answer[3] = {0, 0, 0};
  URB urb;
  RtlZeroMemory(&urb, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
  UsbBuildVendorRequest(&urb, URB_FUNCTION_CLASS_ENDPOINT,
                        static_cast<USHORT>(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)),
                        USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0, kUac1RequestGetCur,
                        kUac1SamplingFreqSelector, endpoint, answer, nullptr, sizeof(answer), nullptr);
  NTSTATUS status = audio->SubmitUrb(&urb);
  if (NT_SUCCESS(status) && urb.UrbControlVendorClassRequest.TransferBufferLength < sizeof(answer)) {
    status = STATUS_UNSUCCESSFUL;
  }
  *rate = NT_SUCCESS(status) ? ReadLe24(answer) : 0;
  return status;
}

// Which wave format a class 2.0 alternate carries: every bmFormats bit the
// filter knows must name the requested type.
BOOLEAN Uac2FormatsAgree(ULONG formats, USHORT type) {
  static const struct {
    ULONG Bit;
    USHORT Type;
  } kBits[] = {{0x01, kWaveFormatPcm},
               {0x02, kWaveFormatPcm},
               {0x04, kWaveFormatFloat},
               {0x08, kWaveFormatALaw},
               {0x10, kWaveFormatMuLaw}};
  for (const auto& entry : kBits) {
    if ((formats & entry.Bit) != 0 && entry.Type != type) {
      return FALSE;
    }
  }
  return TRUE;
}

BOOLEAN Uac1TagAgrees(USHORT tag, USHORT type) {
  switch (tag) {
    case 1:
    case 2: return type == kWaveFormatPcm;
    case 3: return type == kWaveFormatFloat;
    case 4: return type == kWaveFormatALaw;
    case 5: return type == kWaveFormatMuLaw;
    default: return FALSE;
  }
}

}  // namespace

NTSTATUS CUSBAudioCL::GetBestFormat(UCHAR Direction, USHORT FormatType, ULONG Rate, PULONG Channels, PULONG Bits) {
  Put<ULONG>(Channels, 0);
  Put<ULONG>(Bits, 0);
  if (FormatType != kWaveFormatPcm && FormatType != kWaveFormatFloat) {
    Trace(TRACE_LEVEL_ERROR, TraceFormatTypeNotSupported, Direction, FormatType);
    return STATUS_NOT_SUPPORTED;
  }
  StreamInterface* stream = Direction ? m_CaptureStream : m_PlaybackStream;
  if (stream == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceFormatNoStream, Direction, 1);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  ULONG channels = 0;
  ULONG size = 0;
  if (m_Class2) {
    CUSBAudioClock* clock = stream->Terminal != nullptr ? stream->Terminal->ClockEntity() : nullptr;
    if (clock == nullptr) {
      return STATUS_INVALID_DEVICE_STATE;
    }
    ULONG minimum = 0;
    ULONG maximum = 0;
    NTSTATUS status = clock->GetRange(&minimum, &maximum, 0, 0xFFFFFFFF);
    if (!NT_SUCCESS(status)) {
      return status;
    }
    if (Rate < minimum || Rate > maximum) {
      Trace(TRACE_LEVEL_ERROR, TraceFormatRateOutside, Rate, minimum, maximum);
      return STATUS_NO_MATCH;
    }
    const ULONG wanted = FormatType == kWaveFormatPcm ? 0x03 : 0x04;
    for (ULONG i = 1; i < stream->AlternateCount; ++i) {
      const AltSetting& alternate = stream->Alternates[i];
      if (!Uac2TypeI(alternate) || (Uac2Formats(alternate.AsGeneral) & wanted) == 0) {
        continue;
      }
      if (alternate.FormatType[4] > size) {
        size = alternate.FormatType[4];
        channels = Uac2Channels(alternate.AsGeneral);
      }
    }
  } else {
    for (ULONG i = 1; i < stream->AlternateCount; ++i) {
      const AltSetting& alternate = stream->Alternates[i];
      const UCHAR* format = Uac1TypeI(alternate);
      if (alternate.AsGeneral == nullptr || format == nullptr) {
        continue;
      }
      const USHORT tag = Uac1FormatTag(alternate.AsGeneral);
      const BOOLEAN agrees = FormatType == kWaveFormatPcm ? (tag == 1 || tag == 2) : tag == 3;
      if (agrees && format[5] > size) {
        size = format[5];
        channels = format[4];
      }
    }
  }
  if (channels == 0 || size == 0) {
    Trace(TRACE_LEVEL_ERROR, TraceFormatNoMatch, stream->InterfaceNumber, FormatType, 0, Rate);
    return STATUS_NO_MATCH;
  }
  Put(Channels, channels);
  Put(Bits, size * 8);
  return STATUS_SUCCESS;
}

NTSTATUS CUSBAudioCL::ChooseAlternate(StreamInterface* Stream, USHORT FormatType, ULONG Channels, ULONG Bits,
                                      ULONG Rate, PULONG ChosenChannels, PULONG ChosenBits, PULONG Alternate) {
  Put(ChosenChannels, Channels);
  Put<ULONG>(ChosenBits, 0);
  Put<ULONG>(Alternate, 0);
  if (Stream == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  if (Channels == 0 || Bits == 0 || Rate == 0) {
    return STATUS_SUCCESS;
  }
  if (m_Class2) {
    CUSBAudioClock* clock = Stream->Terminal != nullptr ? Stream->Terminal->ClockEntity() : nullptr;
    if (clock == nullptr) {
      return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = clock->IsRateSupported(Rate);
    if (!NT_SUCCESS(status)) {
      return status;
    }
  }
  ULONG candidate = 0;
  ULONG candidateChannels = 0;
  ULONG candidateBits = 0;
  for (ULONG i = 1; i < Stream->AlternateCount; ++i) {
    const AltSetting& alternate = Stream->Alternates[i];
    if (alternate.DataEndpoint == nullptr || alternate.AsGeneral == nullptr || alternate.FormatType == nullptr) {
      continue;
    }
    ULONG channels = 0;
    ULONG resolution = 0;
    ULONG container = 0;
    if (m_Class2) {
      if (!Uac2TypeI(alternate)) {
        Trace(TRACE_LEVEL_WARNING, TraceFormatNotTypeI, Stream->InterfaceNumber, i, alternate.FormatType[3]);
        continue;
      }
      const ULONG formats = Uac2Formats(alternate.AsGeneral);
      resolution = alternate.FormatType[5];
      const BOOLEAN resolutionAgrees = resolution == 8 ? (formats & 0x02) != 0 : (formats & 0x05) != 0;
      if (!Uac2FormatsAgree(formats, FormatType) || !resolutionAgrees) {
        continue;
      }
      channels = Uac2Channels(alternate.AsGeneral);
      container = alternate.FormatType[4] * 8u;
    } else {
      const UCHAR* format = Uac1TypeI(alternate);
      if (format == nullptr) {
        Trace(TRACE_LEVEL_WARNING, TraceFormatNotTypeI, Stream->InterfaceNumber, i, alternate.FormatType[3]);
        continue;
      }
      const USHORT tag = Uac1FormatTag(alternate.AsGeneral);
      resolution = format[6];
      const BOOLEAN resolutionAgrees = resolution == 8 ? tag == 2 : (tag == 1 || tag == 3);
      if (!Uac1TagAgrees(tag, FormatType) || !resolutionAgrees || !Uac1OffersRate(format, Rate)) {
        continue;
      }
      // A capture endpoint that lists rates but cannot be told one runs at
      // a rate of its own choosing: ask it which.
      const BOOLEAN settable = alternate.EpGeneral != nullptr && (alternate.EpGeneral[3] & 0x01) != 0;
      if (!Uac1Continuous(format) && Uac1RateCount(format) >= 2 && Stream->Direction == kDirectionCapture &&
          !settable) {
        ULONG current = 0;
        const NTSTATUS status = ConfirmRate(Stream, i, &current);
        Trace(TRACE_LEVEL_INFORMATION, TraceFormatRateConfirm, Stream->InterfaceNumber, i, Rate,
              (static_cast<ULONG64>(static_cast<ULONG>(status)) << 32) | current);
        if (!NT_SUCCESS(status) || current != Rate) {
          continue;
        }
      }
      channels = format[4];
      container = format[5] * 8u;
    }
    if (channels == Channels && resolution == Bits) {
      Put(ChosenChannels, Channels);
      Put(ChosenBits, container);
      Put(Alternate, i);
      return STATUS_SUCCESS;
    }
    if (channels >= candidateChannels && container >= candidateBits) {
      candidate = i;
      candidateChannels = channels;
      candidateBits = container;
    }
  }
  if (candidate == 0) {
    Trace(TRACE_LEVEL_ERROR, TraceFormatNoMatch, Stream->InterfaceNumber, FormatType, Channels,
          (static_cast<ULONG64>(Bits) << 32) | Rate);
    return STATUS_NOT_SUPPORTED;
  }
  Put(ChosenChannels, candidateChannels);
  Put(ChosenBits, candidateBits);
  Put(Alternate, candidate);
  return STATUS_SUCCESS;
}

NTSTATUS CUSBAudioCL::ConfirmRate(StreamInterface* Stream, ULONG Alternate, PULONG Rate) {
  *Rate = 0;
  const ULONG previous = Stream->CurrentAlternate;
  NTSTATUS status = STATUS_SUCCESS;
  if (previous != Alternate) {
    status = SelectAlternate(Stream->InterfaceNumber, static_cast<UCHAR>(Alternate));
    if (!NT_SUCCESS(status)) {
      return status;
    }
  }
  status = ReadEndpointRate(this, Stream->Alternates[Alternate].DataEndpoint->bEndpointAddress, Rate);
  if (previous != Alternate) {
    const NTSTATUS restored = SelectAlternate(Stream->InterfaceNumber, static_cast<UCHAR>(previous));
    if (!NT_SUCCESS(restored)) {
      // The device stays where the read left it; the model follows it.
      Trace(TRACE_LEVEL_ERROR, TraceFormatRestoreFailed, Stream->InterfaceNumber, previous, restored);
      Stream->CurrentAlternate = Alternate;
    }
    // Selecting replaces the layer's pipe records: every stream takes them anew.
    UpdatePipes();
  }
  return status;
}

NTSTATUS CUSBAudioCL::CheckFormat(UCHAR Direction, USHORT FormatType, ULONG Channels, ULONG Bits, ULONG Rate) {
  StreamInterface* stream = Direction ? m_CaptureStream : m_PlaybackStream;
  if (stream == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceFormatNoStream, Direction, 2);
    return STATUS_INVALID_PARAMETER;
  }
  return ChooseAlternate(stream, FormatType, Channels, Bits, Rate, nullptr, nullptr, nullptr);
}

BOOLEAN CUSBAudioCL::UsesImplicitFeedback() const {
  if (m_SharedClock) {
    return TRUE;
  }
  const AltSetting* first = m_CaptureStream != nullptr ? m_CaptureStream->Alternate(1) : nullptr;
  return first != nullptr && first->DataEndpoint != nullptr && ((first->DataEndpoint->bmAttributes >> 4) & 3) == 2;
}

NTSTATUS CUSBAudioCL::SelectStreamingFormat(UCHAR Direction, USHORT FormatType, ULONG Channels, ULONG Bits, ULONG Rate,
                                            ULONG TransferMs, PULONG ChosenChannels, PULONG ChosenBits,
                                            PULONG MaxTransferBytes) {
  FormatSelection selection = {};
  const NTSTATUS status = SelectFormat(Direction, FormatType, Channels, Bits, Rate, TransferMs, FALSE, &selection);
  Put(ChosenChannels, selection.Channels);
  Put(ChosenBits, selection.Bits);
  Put(MaxTransferBytes, selection.MaxTransferBytes);
  return status;
}

NTSTATUS CUSBAudioCL::SelectStreamingFormat(UCHAR Direction, USHORT FormatType, ULONG Channels, ULONG Bits, ULONG Rate,
                                            ULONG TransferMs, PULONG ChosenChannels, PULONG ChosenBits,
                                            PULONG NominalTransferBytes, PLONG FramesBelow, PLONG FramesAbove,
                                            PULONG MaxTransferBytes) {
  FormatSelection selection = {};
  NTSTATUS status = SelectFormat(Direction, FormatType, Channels, Bits, Rate, TransferMs, TRUE, &selection);
  Put(ChosenChannels, selection.Channels);
  Put(ChosenBits, selection.Bits);
  Put(NominalTransferBytes, selection.NominalTransferBytes);
  Put(FramesBelow, selection.FramesBelow);
  Put(FramesAbove, selection.FramesAbove);
  Put(MaxTransferBytes, selection.MaxTransferBytes);
  if (NT_SUCCESS(status) && selection.BytesPerFrame == 0 && (FramesBelow != nullptr || FramesAbove != nullptr)) {
    Trace(TRACE_LEVEL_ERROR, TraceFormatStepFailed, Direction, 5, STATUS_INVALID_PARAMETER);
    status = STATUS_INVALID_PARAMETER;
  }
  return status;
}

NTSTATUS CUSBAudioCL::SelectFormat(UCHAR Direction, USHORT FormatType, ULONG Channels, ULONG Bits, ULONG Rate,
                                   ULONG TransferMs, BOOLEAN Implicit, FormatSelection* Result) {
  StreamInterface* stream = Direction ? m_CaptureStream : m_PlaybackStream;
  if (stream == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceFormatNoStream, Direction, 3);
    return STATUS_INVALID_PARAMETER;
  }
  const BOOLEAN playback = stream == m_PlaybackStream;
  if (playback) {
    if (stream->FeedbackPipe != nullptr) {
      KLOCK_QUEUE_HANDLE lock;
      KeAcquireInStackQueuedSpinLock(&stream->FeedbackLock, &lock);
      stream->FeedbackRateInUse = 0;
      stream->AcceptedFeedbackRate = 0;
      KeReleaseInStackQueuedSpinLock(&lock);
      stream->LastFeedbackValue = 0;
      stream->FeedbackAverageCarry = 0;
    }
    stream->PacketAccumulator = 0;
  }
  const RatePatternRow* row = nullptr;
  if (playback && !Implicit && Channels != 0 && Bits != 0 && Rate != 0) {
    row = FindRatePattern(Rate);
    if (row == nullptr) {
      Trace(TRACE_LEVEL_ERROR, TraceFormatRateNotInTable, Rate);
      return STATUS_NOT_SUPPORTED;
    }
  }

  ULONG channels = 0;
  ULONG bits = 0;
  ULONG alternate = 0;
  NTSTATUS status = ChooseAlternate(stream, FormatType, Channels, Bits, Rate, &channels, &bits, &alternate);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  const BOOLEAN empty = alternate == 0;
  PacketSizes sizes = {0, 1, 0, 0, 0, 0};
  if (!empty) {
    const USB_ENDPOINT_DESCRIPTOR* endpoint = stream->Alternates[alternate].DataEndpoint;
    if (!ComputeSizes(endpoint, IsHighSpeed(), channels, bits, Rate, &sizes) ||
        static_cast<ULONGLONG>(TransferMs) * sizes.BytesPerMs > 0xFFFFFFFF) {
      Trace(TRACE_LEVEL_ERROR, TraceFormatSizesBad, stream->InterfaceNumber, alternate, channels * bits / 8, Rate);
      return STATUS_NOT_SUPPORTED;
    }
    if (Implicit && m_ShortPacketQuirk) {
      const LONG frame = static_cast<LONG>(sizes.BytesPerFrame);
      if (frame < sizes.Minimum) {
        sizes.Minimum -= frame;
      }
      if (static_cast<LONGLONG>(endpoint->wMaxPacketSize) >= static_cast<LONGLONG>(sizes.Nominal) + 2 * frame) {
        sizes.Maximum = sizes.Nominal + 2 * frame;
      }
    }
  }

  if (m_Class2 && !empty) {
    status = stream->Terminal->ClockEntity()->SetRate(Rate);
    if (!NT_SUCCESS(status)) {
      Trace(TRACE_LEVEL_ERROR, TraceFormatStepFailed, stream->InterfaceNumber, 1, status);
      return status;
    }
  }
  if (alternate != stream->CurrentAlternate) {
    status = SelectAlternate(stream->InterfaceNumber, static_cast<UCHAR>(alternate));
    if (NT_SUCCESS(status)) {
      stream->CurrentAlternate = alternate;
    } else {
      Trace(TRACE_LEVEL_ERROR, TraceFormatStepFailed, stream->InterfaceNumber, 2, status);
    }
  }
  // Pipes are taken anew even after a failure: the pipe records belong to
  // the layer and may have been replaced.
  const NTSTATUS pipes = UpdatePipes();
  if (!NT_SUCCESS(status)) {
    return status;
  }
  if (!NT_SUCCESS(pipes)) {
    Trace(TRACE_LEVEL_ERROR, TraceFormatStepFailed, stream->InterfaceNumber, 3, pipes);
    return pipes;
  }
  const AltSetting& chosen = stream->Alternates[alternate];
  if (!m_Class2 && !empty && chosen.EpGeneral != nullptr && (chosen.EpGeneral[3] & 0x01) != 0) {
    UCHAR value[3] = {static_cast<UCHAR>(Rate), static_cast<UCHAR>(Rate >> 8), static_cast<UCHAR>(Rate >> 16)};
    status = ClassRequest(kUacRequestTypeSetEndpoint, kUac1RequestSetCur, kUac1SamplingFreqSelector,
                          chosen.DataEndpoint->bEndpointAddress, sizeof(value), value);
    if (!NT_SUCCESS(status)) {
      // The alternate setting is selected by now: it stays, with the sizes
      // that belong to it, and the endpoint keeps the rate it runs at.
      Trace(TRACE_LEVEL_ERROR, TraceFormatStepFailed, stream->InterfaceNumber, 4, status);
      status = STATUS_SUCCESS;
    }
  }

  stream->BytesPerFrame = sizes.BytesPerFrame;
  stream->NominalPacketBytes = sizes.Nominal;
  stream->MinimumPacketBytes = sizes.Minimum;
  stream->MaximumPacketBytes = sizes.Maximum;
  stream->ShortPacket = sizes.Minimum != sizes.Nominal ? 1 : 0;
  stream->SampleRate = empty ? 0 : Rate;
  if (playback && !Implicit) {
    if (row != nullptr) {
      m_PlaybackRateRow = row;
    }
    m_PlaybackPacketInterval = sizes.Interval;
    m_PlaybackPatternPosition = 0;
  }
  if (!Implicit && stream->FeedbackPipe != nullptr && m_PlaybackStream != nullptr &&
      m_PlaybackStream->FeedbackPipe != nullptr) {
    const ULONG nominal = NominalFeedback(Direction);
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&m_PlaybackStream->FeedbackLock, &lock);
    m_PlaybackStream->AcceptedFeedbackRate = nominal;
    KeReleaseInStackQueuedSpinLock(&lock);
  }
  Trace(TRACE_LEVEL_INFORMATION, TraceFormatSelected, stream->InterfaceNumber, alternate, Rate,
        (static_cast<ULONG64>(static_cast<ULONG>(sizes.Nominal)) << 32) | static_cast<ULONG>(sizes.Maximum));

  Result->Channels = channels;
  Result->Bits = bits;
  Result->BytesPerFrame = sizes.BytesPerFrame;
  Result->MaxTransferBytes = TransferMs * sizes.BytesPerMs;
  if (Implicit && sizes.BytesPerFrame != 0) {
    const ULONGLONG packets =
        static_cast<ULONGLONG>(TransferMs) * (IsHighSpeed() ? (sizes.Interval > 7 ? 1 : 8 / sizes.Interval) : 1);
    const ULONGLONG nominal = static_cast<ULONGLONG>(sizes.Nominal) * packets;
    const ULONGLONG below = static_cast<ULONGLONG>(sizes.Nominal - sizes.Minimum) * packets / sizes.BytesPerFrame;
    const ULONGLONG above = static_cast<ULONGLONG>(sizes.Maximum - sizes.Nominal) * packets / sizes.BytesPerFrame;
    Result->NominalTransferBytes = nominal > 0xFFFFFFFF ? 0xFFFFFFFF : static_cast<ULONG>(nominal);
    Result->FramesBelow = -static_cast<LONG>(below > 0x7FFFFFFF ? 0x7FFFFFFF : below);
    Result->FramesAbove = static_cast<LONG>(above > 0x7FFFFFFF ? 0x7FFFFFFF : above);
  }
  return STATUS_SUCCESS;
}

ULONG CUSBAudioCL::NominalFeedback(UCHAR Direction) const {
  const StreamInterface* stream = Direction ? m_CaptureStream : m_PlaybackStream;
  if (stream == nullptr) {
    return 0;
  }
  ULONGLONG value = static_cast<ULONGLONG>(stream->SampleRate) * 65536 / 1000;
  if (IsHighSpeed()) {
    // Per microframe whatever the packet interval: that is what a
    // high-speed feedback endpoint reports and what the playback
    // packetization adds up per microframe step.
    value /= 8;
  }
  return static_cast<ULONG>(value);
}

ULONG CUSBAudioCL::GetCurrentAlternate(UCHAR Direction) const {
  const StreamInterface* stream = Direction ? m_CaptureStream : m_PlaybackStream;
  return stream != nullptr ? stream->CurrentAlternate : 0;
}
