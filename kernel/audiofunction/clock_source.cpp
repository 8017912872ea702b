#include "audiofunction/audio_clock.h"

#include "base/trace.h"
#include "audiofunction/audio_trace_events.h"
#include "audiofunction/uac_constants.h"
#include "audiofunction/usb_audio_cl.h"

NTSTATUS CUSBAudioClock::ResolveLinks() {
  if (m_Owner->IsClass2()) {
    return STATUS_SUCCESS;
  }
  Trace(TRACE_LEVEL_ERROR, TraceAudioClockInClass1, GetId());
  return STATUS_NOT_SUPPORTED;
}

NTSTATUS CUSBAudioClockSource::GetCurrentRate(PULONG Rate) {
  if (Rate == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  UCHAR answer[4] = {};
  NTSTATUS status = m_Owner->AudioRead(kUac2RequestCur, kUac2ClockSourceFrequency, 0, static_cast<UCHAR>(GetId()),
                                       sizeof(answer), answer, sizeof(answer));
  if (NT_SUCCESS(status)) {
    *Rate = ReadLe32(answer);
  }
  return status;
}

NTSTATUS CUSBAudioClockSource::SetRate(ULONG Rate) {
  UCHAR request[4] = {static_cast<UCHAR>(Rate), static_cast<UCHAR>(Rate >> 8), static_cast<UCHAR>(Rate >> 16),
                      static_cast<UCHAR>(Rate >> 24)};
  NTSTATUS status = m_Owner->AudioRequest(kUacRequestTypeSetInterface, kUac2RequestCur, kUac2ClockSourceFrequency, 0,
                                          static_cast<UCHAR>(GetId()), sizeof(request), request);
  if (!NT_SUCCESS(status)) {
    Trace(TRACE_LEVEL_ERROR, TraceAudioRequestFailed, GetId(), (kUac2RequestCur << 8) | kUac2ClockSourceFrequency,
          status);
  }
  return status;
}

NTSTATUS CUSBAudioClockSource::ReadRanges(PUCHAR* Answer, PULONG Count) {
  *Answer = nullptr;
  *Count = 0;
  const UCHAR id = static_cast<UCHAR>(GetId());
  UCHAR probe[kUac2RangeProbeBytes] = {};
  ULONG returned = 0;
  NTSTATUS status =
      m_Owner->AudioReadAny(kUac2RequestRange, kUac2ClockSourceFrequency, 0, id, sizeof(probe), probe, &returned);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  const ULONG count = returned >= kUac2RangeHeaderBytes ? ReadLe16(probe) : 0;
  if (count > kUac2RangeMaxSubranges) {
    Trace(TRACE_LEVEL_ERROR, TraceAudioRangeCountBad, id, count, 0);
    return STATUS_UNSUCCESSFUL;
  }
  // The probe must hold the count and as much of the subranges as fits; a
  // clock without subranges offers nothing to choose from.
  const ULONG size = kUac2RangeHeaderBytes + kUac2RangeSubrangeBytes * count;
  const ULONG expected = size < sizeof(probe) ? size : sizeof(probe);
  if (count == 0 || returned < expected) {
    Trace(TRACE_LEVEL_ERROR, TraceAudioAnswerShort, id, (kUac2RequestRange << 8) | kUac2ClockSourceFrequency, expected,
          returned);
    return STATUS_UNSUCCESSFUL;
  }
  PUCHAR answer = static_cast<PUCHAR>(AllocateDriverPool(size, kPoolTagDriver));
  if (answer == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceAudioRangeAllocFailed, id, size);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  status =
      m_Owner->AudioRead(kUac2RequestRange, kUac2ClockSourceFrequency, 0, id, static_cast<USHORT>(size), answer, size);
  if (NT_SUCCESS(status) && ReadLe16(answer) != count) {
    // The count changed between the reads: the subranges cannot be trusted.
    Trace(TRACE_LEVEL_ERROR, TraceAudioRangeCountBad, id, count, ReadLe16(answer));
    status = STATUS_UNSUCCESSFUL;
  }
  if (!NT_SUCCESS(status)) {
    FreeDriverPool(answer, kPoolTagDriver);
    return status;
  }
  *Answer = answer;
  *Count = count;
  return STATUS_SUCCESS;
}

NTSTATUS CUSBAudioClockSource::GetRange(PULONG Minimum, PULONG Maximum, ULONG Lower, ULONG Upper) {
  if (Minimum == nullptr || Maximum == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  PUCHAR answer = nullptr;
  ULONG count = 0;
  NTSTATUS status = ReadRanges(&answer, &count);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  const UCHAR* subrange = answer + kUac2RangeHeaderBytes;
  ULONG minimum = ReadLe32(subrange);
  ULONG maximum = ReadLe32(subrange + 4);
  for (ULONG i = 1; i < count; ++i) {
    subrange = answer + kUac2RangeHeaderBytes + kUac2RangeSubrangeBytes * i;
    const ULONG low = ReadLe32(subrange);
    const ULONG high = ReadLe32(subrange + 4);
    if (low < minimum && low >= Lower) {
      minimum = low;
    }
    if (high > maximum && high <= Upper) {
      maximum = high;
    }
  }
  FreeDriverPool(answer, kPoolTagDriver);
  *Minimum = minimum;
  *Maximum = maximum;
  return STATUS_SUCCESS;
}

NTSTATUS CUSBAudioClockSource::IsRateSupported(ULONG Rate) {
  PUCHAR answer = nullptr;
  ULONG count = 0;
  NTSTATUS status = ReadRanges(&answer, &count);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  status = STATUS_NOT_SUPPORTED;
  for (ULONG i = 0; i < count; ++i) {
    const UCHAR* subrange = answer + kUac2RangeHeaderBytes + kUac2RangeSubrangeBytes * i;
    const ULONG low = ReadLe32(subrange);
    const ULONG high = ReadLe32(subrange + 4);
    const ULONG resolution = ReadLe32(subrange + 8);
    if (low <= Rate && Rate <= high && (low == high || (resolution != 0 && (Rate - low) % resolution == 0))) {
      status = STATUS_SUCCESS;
      break;
    }
  }
  FreeDriverPool(answer, kPoolTagDriver);
  if (!NT_SUCCESS(status)) {
    Trace(TRACE_LEVEL_INFORMATION, TraceAudioRateNotSupported, GetId(), Rate);
  }
  return status;
}

BOOLEAN CUSBAudioClockSource::IsValid() {
  // bmControls bits 2..3: the validity control, readable when bit 2 is set.
  if ((DescriptorByte(5) & 0x04) == 0) {
    return TRUE;
  }
  UCHAR answer[1] = {};
  NTSTATUS status = m_Owner->AudioRead(kUac2RequestCur, kUac2ClockSourceValid, 0, static_cast<UCHAR>(GetId()),
                                       sizeof(answer), answer, sizeof(answer));
  if (!NT_SUCCESS(status) || answer[0] == 0) {
    Trace(TRACE_LEVEL_WARNING, TraceAudioClockInvalid, GetId(), status, answer[0]);
    return FALSE;
  }
  return TRUE;
}
