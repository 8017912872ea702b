#include "audiofunction/audio_clock.h"

#include "base/trace.h"
#include "audiofunction/audio_trace_events.h"
#include "audiofunction/uac_constants.h"
#include "audiofunction/usb_audio_cl.h"

ULONG CUSBAudioClockSelector::GetSourceId(ULONG Index) {
  // The descriptor holds every baCSourceID entry (checked when it was made).
  return Index < InputCount() ? Descriptor()[5 + Index] : kNoEntity;
}

BOOLEAN CUSBAudioClockSelector::InputsAreSources() {
  for (ULONG i = 0; i < InputCount(); ++i) {
    CUSBAudioEntity* input = m_Owner->FindEntity(GetSourceId(i));
    if (input == nullptr || !input->IsClockSource()) {
      return FALSE;
    }
  }
  return TRUE;
}

CUSBAudioClock* CUSBAudioClockSelector::InputClock(ULONG Input) {
  if (Input < 1 || Input > InputCount()) {
    return nullptr;
  }
  CUSBAudioEntity* entity = m_Owner->FindEntity(GetSourceId(Input - 1));
  if (entity != nullptr && entity != this &&
      (entity->IsClockSource() ||
       (entity->IsClockSelector() && static_cast<CUSBAudioClockSelector*>(entity)->InputsAreSources()))) {
    return static_cast<CUSBAudioClock*>(entity);
  }
  Trace(TRACE_LEVEL_ERROR, TraceAudioSelectorInputMissing, GetId(), Input, GetSourceId(Input - 1));
  return nullptr;
}

NTSTATUS CUSBAudioClockSelector::GetSelectedInput(PULONG Input) {
  if (Input == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  const ULONG inputs = InputCount();
  if (inputs == 0) {
    Trace(TRACE_LEVEL_ERROR, TraceAudioSelectorNoInputs, GetId());
    return STATUS_UNSUCCESSFUL;
  }
  if (inputs == 1) {
    *Input = 1;
    return STATUS_SUCCESS;
  }
  UCHAR answer[1] = {};
  NTSTATUS status = m_Owner->AudioRead(kUac2RequestCur, kUac2ClockSelectorInput, 0, static_cast<UCHAR>(GetId()),
                                       sizeof(answer), answer, sizeof(answer));
  if (NT_SUCCESS(status)) {
    *Input = answer[0];
  }
  return status;
}

NTSTATUS CUSBAudioClockSelector::SelectedClock(CUSBAudioClock** Clock) {
  *Clock = nullptr;
  ULONG input = 0;
  NTSTATUS status = GetSelectedInput(&input);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  if (input < 1 || input > InputCount()) {
    Trace(TRACE_LEVEL_ERROR, TraceAudioSelectorInputBad, GetId(), input, InputCount());
    return STATUS_NOT_SUPPORTED;
  }
  *Clock = InputClock(input);
  return *Clock != nullptr ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
}

NTSTATUS CUSBAudioClockSelector::GetCurrentRate(PULONG Rate) {
  CUSBAudioClock* clock = nullptr;
  NTSTATUS status = SelectedClock(&clock);
  return NT_SUCCESS(status) ? clock->GetCurrentRate(Rate) : status;
}

BOOLEAN CUSBAudioClockSelector::IsValid() {
  CUSBAudioClock* clock = nullptr;
  return NT_SUCCESS(SelectedClock(&clock)) ? clock->IsValid() : FALSE;
}

NTSTATUS CUSBAudioClockSelector::GetRange(PULONG Minimum, PULONG Maximum, ULONG Lower, ULONG Upper) {
  if (Minimum == nullptr || Maximum == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  if (InputCount() == 0) {
    Trace(TRACE_LEVEL_ERROR, TraceAudioSelectorNoInputs, GetId());
    return STATUS_UNSUCCESSFUL;
  }
  // An input whose range cannot be read adds nothing; without any range the
  // last failure is the result.
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  BOOLEAN found = FALSE;
  ULONG minimum = 0;
  ULONG maximum = 0;
  for (ULONG input = 1; input <= InputCount(); ++input) {
    CUSBAudioClock* clock = InputClock(input);
    if (clock == nullptr) {
      return STATUS_NOT_SUPPORTED;
    }
    ULONG low = 0;
    ULONG high = 0;
    NTSTATUS inputStatus = clock->GetRange(&low, &high, Lower, Upper);
    if (!NT_SUCCESS(inputStatus)) {
      status = inputStatus;
      continue;
    }
    if (!found || low < minimum) {
      minimum = low;
    }
    if (!found || high > maximum) {
      maximum = high;
    }
    found = TRUE;
  }
  if (!found) {
    return status;
  }
  *Minimum = minimum;
  *Maximum = maximum;
  return STATUS_SUCCESS;
}

NTSTATUS CUSBAudioClockSelector::IsRateSupported(ULONG Rate) {
  for (ULONG input = 1; input <= InputCount(); ++input) {
    CUSBAudioClock* clock = InputClock(input);
    if (clock == nullptr) {
      return STATUS_NOT_SUPPORTED;
    }
    if (NT_SUCCESS(clock->IsRateSupported(Rate))) {
      return STATUS_SUCCESS;
    }
  }
  Trace(TRACE_LEVEL_INFORMATION, TraceAudioRateNotSupported, GetId(), Rate);
  return STATUS_NOT_SUPPORTED;
}

NTSTATUS CUSBAudioClockSelector::SetRate(ULONG Rate) {
  NTSTATUS status = STATUS_NOT_SUPPORTED;
  for (ULONG input = 1; input <= InputCount(); ++input) {
    CUSBAudioClock* clock = InputClock(input);
    if (clock == nullptr) {
      status = STATUS_NOT_SUPPORTED;
      continue;
    }
    status = clock->IsRateSupported(Rate);
    if (!NT_SUCCESS(status)) {
      continue;
    }
    status = clock->SetRate(Rate);
    if (!NT_SUCCESS(status)) {
      continue;
    }
    UCHAR selection = static_cast<UCHAR>(input);
    status = m_Owner->AudioRequest(kUacRequestTypeSetInterface, kUac2RequestCur, kUac2ClockSelectorInput, 0,
                                   static_cast<UCHAR>(GetId()), sizeof(selection), &selection);
    if (NT_SUCCESS(status)) {
      return status;
    }
    Trace(TRACE_LEVEL_ERROR, TraceAudioRequestFailed, GetId(), (kUac2RequestCur << 8) | kUac2ClockSelectorInput,
          status);
  }
  return status;
}
