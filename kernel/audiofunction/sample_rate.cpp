// The device's sample rate and what the streams offer: rates, ranges and
// capabilities, from the class 2.0 clocks or the class 1.0 format tables.
#include "base/trace.h"
#include "audiofunction/audio_clock.h"
#include "audiofunction/audio_terminal.h"
#include "audiofunction/audio_trace_events.h"
#include "audiofunction/format_fields.h"
#include "audiofunction/usb_audio_cl.h"

namespace {

CUSBAudioClock* StreamClock(const StreamInterface* stream) {
  return (stream != nullptr && stream->Terminal != nullptr) ? stream->Terminal->ClockEntity() : nullptr;
}

}  // namespace

NTSTATUS CUSBAudioCL::IsSampleRateSupported(ULONG Rate) {
  const StreamInterface* stream = m_CaptureStream != nullptr ? m_CaptureStream : m_PlaybackStream;
  if (stream == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceFormatNoStream, 0xFF, 4);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  BOOLEAN supported = FALSE;
  if (m_Class2) {
    CUSBAudioClock* clock = StreamClock(stream);
    supported = clock != nullptr && NT_SUCCESS(clock->IsRateSupported(Rate));
  } else {
    for (ULONG i = 1; i < stream->AlternateCount && !supported; ++i) {
      const UCHAR* format = Uac1TypeI(stream->Alternates[i]);
      supported = format != nullptr && Uac1OffersRate(format, Rate);
    }
  }
  return supported ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

NTSTATUS CUSBAudioCL::GetSampleRateRange(UCHAR Direction, PULONG Lower, PULONG Upper) {
  if (Lower == nullptr || Upper == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  const StreamInterface* stream = Direction ? m_CaptureStream : m_PlaybackStream;
  if (stream == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceFormatNoStream, Direction, 5);
    return STATUS_INVALID_PARAMETER;
  }
  if (m_Class2) {
    CUSBAudioClock* clock = StreamClock(stream);
    if (clock == nullptr) {
      return STATUS_INVALID_DEVICE_STATE;
    }
    ULONG minimum = 0;
    ULONG maximum = 0;
    const NTSTATUS status = clock->GetRange(&minimum, &maximum, *Lower, *Upper);
    if (NT_SUCCESS(status)) {
      *Lower = minimum;
      *Upper = maximum;
    }
    return status;
  }
  const ULONG lower = *Lower;
  const ULONG upper = *Upper;
  NTSTATUS status = STATUS_SUCCESS;
  ULONG smallest = 0xFFFFFFFF;
  ULONG largest = 0;
  BOOLEAN found = FALSE;
  for (ULONG i = 1; i < stream->AlternateCount; ++i) {
    const AltSetting& alternate = stream->Alternates[i];
    if (alternate.FormatType == nullptr) {
      continue;
    }
    const UCHAR* format = Uac1TypeI(alternate);
    if (format == nullptr) {
      Trace(TRACE_LEVEL_WARNING, TraceFormatRangeNotTypeI, stream->InterfaceNumber, i);
      status = STATUS_INVALID_PARAMETER;
      continue;
    }
    for (ULONG r = 0; r < Uac1RateCount(format); ++r) {
      const ULONG rate = Uac1Rate(format, r);
      if (rate < lower || rate > upper) {
        continue;
      }
      found = TRUE;
      smallest = rate < smallest ? rate : smallest;
      largest = rate > largest ? rate : largest;
    }
  }
  // Nothing within the bounds: an empty range, upper below lower.
  *Lower = found ? smallest : upper;
  *Upper = found ? largest : lower;
  return status;
}

NTSTATUS CUSBAudioCL::GetStreamCaps(UCHAR Direction, PULONG MaxChannels, PULONG MinBits, PULONG MaxBits, PULONG MinRate,
                                    PULONG MaxRate) {
  Put<ULONG>(MaxChannels, 0);
  Put<ULONG>(MinBits, 0);
  Put<ULONG>(MaxBits, 0);
  Put<ULONG>(MinRate, 0);
  Put<ULONG>(MaxRate, 0);
  const StreamInterface* stream = Direction ? m_CaptureStream : m_PlaybackStream;
  if (stream == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceFormatNoStream, Direction, 6);
    return STATUS_INVALID_PARAMETER;
  }
  ULONG channels = 0;
  ULONG minBits = 0xFFFFFFFF;
  ULONG maxBits = 0;
  ULONG minRate = 0xFFFFFFFF;
  ULONG maxRate = 0;
  if (m_Class2) {
    CUSBAudioClock* clock = StreamClock(stream);
    if (clock == nullptr) {
      return STATUS_INVALID_DEVICE_STATE;
    }
    const NTSTATUS status = clock->GetRange(&minRate, &maxRate, 0, 0xFFFFFFFF);
    if (!NT_SUCCESS(status)) {
      return status;
    }
    for (ULONG i = 1; i < stream->AlternateCount; ++i) {
      const AltSetting& alternate = stream->Alternates[i];
      if (!Uac2TypeI(alternate)) {
        continue;
      }
      const ULONG bits = alternate.FormatType[4] * 8u;
      channels = Uac2Channels(alternate.AsGeneral) > channels ? Uac2Channels(alternate.AsGeneral) : channels;
      minBits = bits < minBits ? bits : minBits;
      maxBits = bits > maxBits ? bits : maxBits;
    }
  } else {
    for (ULONG i = 1; i < stream->AlternateCount; ++i) {
      const AltSetting& alternate = stream->Alternates[i];
      const UCHAR* format = Uac1TypeI(alternate);
      if (format == nullptr || alternate.AsGeneral == nullptr) {
        continue;
      }
      const ULONG bits = format[5] * 8u;
      channels = format[4] > channels ? format[4] : channels;
      minBits = bits < minBits ? bits : minBits;
      maxBits = bits > maxBits ? bits : maxBits;
      for (ULONG r = 0; r < Uac1RateCount(format); ++r) {
        const ULONG rate = Uac1Rate(format, r);
        minRate = rate < minRate ? rate : minRate;
        maxRate = rate > maxRate ? rate : maxRate;
      }
    }
  }
  Put(MaxChannels, channels);
  Put(MinBits, maxBits != 0 ? minBits : 0);
  Put(MaxBits, maxBits);
  Put(MinRate, minRate <= maxRate ? minRate : 0);
  Put(MaxRate, maxRate);
  return STATUS_SUCCESS;
}

NTSTATUS CUSBAudioCL::SetDeviceSampleRate(ULONG Rate) {
  BOOLEAN failed = FALSE;
  StreamInterface* streams[2] = {m_PlaybackStream, m_CaptureStream};
  for (StreamInterface* stream : streams) {
    if (stream == nullptr) {
      continue;
    }
    NTSTATUS status = STATUS_NOT_IMPLEMENTED;
    if (m_Class2) {
      CUSBAudioClock* clock = StreamClock(stream);
      status = clock != nullptr ? clock->SetRate(Rate) : STATUS_INVALID_DEVICE_STATE;
    }
    if (!NT_SUCCESS(status)) {
      Trace(TRACE_LEVEL_ERROR, TraceFormatDeviceRateFailed, stream->InterfaceNumber, Rate, status);
      failed = TRUE;
    }
  }
  m_DeviceSampleRate = Rate;
  return failed ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
}

BOOLEAN CUSBAudioCL::IsClockStable(UCHAR Direction) {
  if (!m_Class2) {
    return TRUE;
  }
  CUSBAudioClock* clock = StreamClock(Direction ? m_CaptureStream : m_PlaybackStream);
  return clock != nullptr && clock->IsValid();
}
