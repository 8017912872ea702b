#include "audiofunction/audio_units.h"

#include "base/trace.h"
#include "audiofunction/audio_trace_events.h"
#include "audiofunction/usb_audio_cl.h"

NTSTATUS CUSBAudioFeatureUnit::ResolveLinks() {
  const ULONG id = DescriptorByte(4);
  m_Source = m_Owner->FindEntity(id);
  if (m_Source == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceAudioLinkMissing, GetId(), id, 1);
    return STATUS_NOT_SUPPORTED;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CUSBAudioProcessingUnit::ResolveLinks() {
  Trace(TRACE_LEVEL_WARNING, TraceAudioProcessingUnit, GetId());
  return STATUS_NOT_IMPLEMENTED;
}
