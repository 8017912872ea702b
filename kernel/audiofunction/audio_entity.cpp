#include "audiofunction/audio_entity.h"

#include <ntstrsafe.h>

#include "base/trace.h"
#include "audiofunction/audio_trace_events.h"
#include "audiofunction/uac_constants.h"
#include "audiofunction/usb_audio_cl.h"

void CUSBAudioEntity::Dump() {
  Trace(TRACE_LEVEL_VERBOSE, TraceAudioEntity, m_Descriptor[0], m_Descriptor[1], m_Descriptor[2], m_Descriptor[3]);
}

ULONG CUSBAudioEntity::GetId() { return m_Descriptor[3]; }

BOOLEAN CUSBAudioEntity::IsClockSource() const { return m_Owner->IsClass2() && Subtype() == kUac2AcClockSource; }

BOOLEAN CUSBAudioEntity::IsClockSelector() const { return m_Owner->IsClass2() && Subtype() == kUac2AcClockSelector; }

BOOLEAN CUSBAudioEntity::IsTerminal() const {
  return Subtype() == kUacAcInputTerminal || Subtype() == kUacAcOutputTerminal;
}

NTSTATUS CUSBAudioEntity::FormatName(PCHAR Buffer, SIZE_T Size, const char* Kind) {
  if (Buffer == nullptr || Size == 0) {
    return STATUS_INVALID_PARAMETER;
  }
  return RtlStringCbPrintfA(Buffer, Size, "%s(%ld)", Kind, static_cast<long>(GetId()));
}
