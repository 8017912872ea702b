#include "audiofunction/audio_terminal.h"

#include "base/trace.h"
#include "audiofunction/audio_clock.h"
#include "audiofunction/audio_trace_events.h"
#include "audiofunction/uac_constants.h"
#include "audiofunction/usb_audio_cl.h"

BOOLEAN CUSBAudioTerminal::HasControl(ULONG Index) {
  // Bit pairs: 01 read-only, 11 readable and writable, 10 is not valid.
  return Index < 16 && ((GetControls() >> (2 * Index)) & 1) != 0;
}

ULONG CUSBAudioTerminal::IsConnected() {
  if (!HasControl(1)) {
    return 0xFFFFFFFF;
  }
  // The answer is a cluster: bNrChannels, bmChannelConfig, iChannelNames.
  UCHAR answer[6] = {};
  NTSTATUS status = m_Owner->AudioRead(kUac2RequestCur, kUac2TerminalConnector, 0, static_cast<UCHAR>(GetId()),
                                       sizeof(answer), answer, 1);
  if (!NT_SUCCESS(status)) {
    return 0xFFFFFFFF;
  }
  return answer[0] != 0 ? 1 : 0;
}

NTSTATUS CUSBAudioTerminal::ResolveClock(ULONG offset) {
  const ULONG id = DescriptorByte(offset);
  CUSBAudioEntity* entity = m_Owner->FindEntity(id);
  if (entity == nullptr || !entity->IsClock()) {
    // A link to nothing, or to an entity that is no clock.
    Trace(TRACE_LEVEL_ERROR, TraceAudioLinkMissing, GetId(), id, 2);
    m_Clock = nullptr;
    return STATUS_NOT_SUPPORTED;
  }
  m_Clock = static_cast<CUSBAudioClock*>(entity);
  return STATUS_SUCCESS;
}

NTSTATUS CUSBAudioInputTerminal::ResolveLinks() { return m_Owner->IsClass2() ? ResolveClock(7) : STATUS_SUCCESS; }

ULONG CUSBAudioInputTerminal::GetClockId() { return m_Owner->IsClass2() ? DescriptorByte(7) : kNoEntity; }

ULONG CUSBAudioInputTerminal::GetControls() {
  return m_Owner->IsClass2() ? static_cast<ULONG>(DescriptorByte(14) | (DescriptorByte(15) << 8)) : 0;
}

NTSTATUS CUSBAudioOutputTerminal::ResolveLinks() {
  const ULONG id = DescriptorByte(7);
  m_Source = m_Owner->FindEntity(id);
  if (m_Source == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceAudioLinkMissing, GetId(), id, 1);
    return STATUS_NOT_SUPPORTED;
  }
  return m_Owner->IsClass2() ? ResolveClock(8) : STATUS_SUCCESS;
}

ULONG CUSBAudioOutputTerminal::GetClockId() { return m_Owner->IsClass2() ? DescriptorByte(8) : kNoEntity; }

ULONG CUSBAudioOutputTerminal::GetControls() {
  return m_Owner->IsClass2() ? static_cast<ULONG>(DescriptorByte(9) | (DescriptorByte(10) << 8)) : 0;
}
