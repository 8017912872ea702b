// The entity list of the audio-control interface: one entity per
// class-specific descriptor after the header, then their links.
#include "base/trace.h"
#include "audiofunction/audio_clock.h"
#include "audiofunction/audio_terminal.h"
#include "audiofunction/audio_trace_events.h"
#include "audiofunction/audio_units.h"
#include "audiofunction/descriptor_walk.h"
#include "audiofunction/uac_constants.h"
#include "audiofunction/usb_audio_cl.h"

namespace {

// Entity IDs are one byte: a list longer than this can only repeat IDs.
constexpr ULONG kMaxEntities = 256;

// Result of CreateEntity for subtypes that end the walk.
constexpr NTSTATUS kEndOfEntities = STATUS_NO_MORE_ENTRIES;

enum class EntityKind {
  End,
  Dummy,
  InputTerminal,
  OutputTerminal,
  FeatureUnit,
  ProcessingUnit,
  ClockSource,
  ClockSelector
};

EntityKind KindOf(UCHAR subtype, BOOLEAN class2) {
  switch (subtype) {
    case kUacAcInputTerminal: return EntityKind::InputTerminal;
    case kUacAcOutputTerminal: return EntityKind::OutputTerminal;
    case kUacAcFeatureUnit: return EntityKind::FeatureUnit;
    case 0x04:
    case 0x05:
    case 0x08: return EntityKind::Dummy;
    default: break;
  }
  if (class2) {
    switch (subtype) {
      case 0x07:
      case 0x09:
      case 0x0C:
      case 0x0D: return EntityKind::Dummy;
      case kUac2AcClockSource: return EntityKind::ClockSource;
      case kUac2AcClockSelector: return EntityKind::ClockSelector;
      default: return EntityKind::End;
    }
  }
  return subtype == kUac1AcProcessingUnit ? EntityKind::ProcessingUnit : EntityKind::End;
}

// Bytes the entity's class reads from its descriptor.
ULONG NeededLength(EntityKind kind, BOOLEAN class2, const UCHAR* descriptor) {
  switch (kind) {
    case EntityKind::InputTerminal: return class2 ? kUac2InputTerminalLength : kUac1InputTerminalLength;
    case EntityKind::OutputTerminal: return class2 ? kUac2OutputTerminalLength : kUac1OutputTerminalLength;
    case EntityKind::FeatureUnit: return class2 ? kUac2FeatureUnitMinLength : kUac1FeatureUnitMinLength;
    case EntityKind::ClockSource: return kUac2ClockSourceLength;
    case EntityKind::ClockSelector:
      // bNrInPins is read only when the descriptor reaches it.
      return descriptor[0] > 4 ? kUac2ClockSelectorFixedLength + descriptor[4] : kUac2ClockSelectorFixedLength;
    default: return kUacEntityMinLength;
  }
}

}  // namespace

NTSTATUS CUSBAudioCL::CreateEntity(const UCHAR* Descriptor, BOOLEAN Class2, CUSBAudioCL* Owner,
                                   CUSBAudioEntity** Entity) {
  *Entity = nullptr;
  if (Descriptor[0] < 3) {
    Trace(TRACE_LEVEL_ERROR, TraceAudioEntityTooShort, 0, 0, Descriptor[0], 3);
    return STATUS_NOT_SUPPORTED;
  }
  const EntityKind kind = KindOf(Descriptor[2], Class2);
  if (kind == EntityKind::End) {
    return kEndOfEntities;
  }
  const ULONG needed = NeededLength(kind, Class2, Descriptor);
  if (Descriptor[0] < needed) {
    Trace(TRACE_LEVEL_ERROR, TraceAudioEntityTooShort, 0, Descriptor[2], Descriptor[0], needed);
    return STATUS_NOT_SUPPORTED;
  }
  const POOL_TYPE pool = DriverPoolType();
  CUSBAudioEntity* entity = nullptr;
  switch (kind) {
    case EntityKind::InputTerminal:
      entity = new (pool, kPoolTagDriver) CUSBAudioInputTerminal(Descriptor, Owner);
      break;
    case EntityKind::OutputTerminal:
      entity = new (pool, kPoolTagDriver) CUSBAudioOutputTerminal(Descriptor, Owner);
      break;
    case EntityKind::FeatureUnit: entity = new (pool, kPoolTagDriver) CUSBAudioFeatureUnit(Descriptor, Owner); break;
    case EntityKind::ProcessingUnit:
      entity = new (pool, kPoolTagDriver) CUSBAudioProcessingUnit(Descriptor, Owner);
      break;
    case EntityKind::ClockSource: entity = new (pool, kPoolTagDriver) CUSBAudioClockSource(Descriptor, Owner); break;
    case EntityKind::ClockSelector:
      entity = new (pool, kPoolTagDriver) CUSBAudioClockSelector(Descriptor, Owner);
      break;
    default: entity = new (pool, kPoolTagDriver) CUSBAudioDummy(Descriptor, Owner); break;
  }
  if (entity == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceAudioEntityAllocFailed, Descriptor[2], Descriptor[3]);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  *Entity = entity;
  return STATUS_SUCCESS;
}

NTSTATUS CUSBAudioCL::ParseEntities() {
  const DescriptorRange range = ConfigurationRange(ConfigurationDescriptor());
  const UCHAR* bound = m_ControlHeader + (m_Class2 ? ReadLe16(m_ControlHeader + 6) : ReadLe16(m_ControlHeader + 5));
  CUSBAudioEntity* tail = nullptr;
  ULONG count = 0;
  for (const USB_COMMON_DESCRIPTOR* d = FindDescriptor(range, DescriptorEnd(m_ControlHeader), kUacCsInterface);
       d != nullptr; d = FindDescriptor(range, DescriptorEnd(d), kUacCsInterface)) {
    const UCHAR* descriptor = reinterpret_cast<const UCHAR*>(d);
    if (descriptor >= bound) {
      break;
    }
    if (count == kMaxEntities) {
      Trace(TRACE_LEVEL_WARNING, TraceAudioEntityWalkEnd, descriptor - range.Begin, descriptor[2]);
      break;
    }
    CUSBAudioEntity* entity = nullptr;
    NTSTATUS status = CreateEntity(descriptor, m_Class2, this, &entity);
    if (status == kEndOfEntities || status == STATUS_INSUFFICIENT_RESOURCES) {
      // Unknown units end the walk; so does a failed allocation, keeping
      // the entities made so far.
      Trace(TRACE_LEVEL_WARNING, TraceAudioEntityWalkEnd, descriptor - range.Begin, descriptor[2]);
      break;
    }
    if (!NT_SUCCESS(status)) {
      Trace(TRACE_LEVEL_ERROR, TraceAudioEntityTooShort, descriptor - range.Begin,
            descriptor[0] >= 3 ? descriptor[2] : 0, descriptor[0], 0);
      return status;
    }
    entity->Dump();
    if (tail == nullptr) {
      m_Entities = entity;
    } else {
      tail->m_Next = entity;
    }
    tail = entity;
    ++count;
  }

  // Every entity resolves its links; the last one's status is the result.
  NTSTATUS status = STATUS_SUCCESS;
  for (CUSBAudioEntity* entity = m_Entities; entity != nullptr; entity = entity->Next()) {
    status = entity->ResolveLinks();
    if (!NT_SUCCESS(status)) {
      Trace(TRACE_LEVEL_WARNING, TraceAudioLinkStatus, entity->GetId(), status);
    }
  }
  return status;
}

NTSTATUS CUSBAudioCL::CheckSourceChains() {
  // Walking from a terminal back through units must end: a chain longer than
  // the list is a loop.
  ULONG count = 0;
  for (CUSBAudioEntity* entity = m_Entities; entity != nullptr; entity = entity->Next()) {
    ++count;
  }
  for (CUSBAudioEntity* start = m_Entities; start != nullptr; start = start->Next()) {
    ULONG steps = 0;
    for (CUSBAudioEntity* e = start;
         e != nullptr && (e->Subtype() == kUacAcOutputTerminal || e->Subtype() == kUacAcFeatureUnit);
         e = FindEntity(e->GetSourceId(0))) {
      if (++steps > count) {
        Trace(TRACE_LEVEL_ERROR, TraceAudioLinkMissing, start->GetId(), e->GetId(), 3);
        return STATUS_NOT_SUPPORTED;
      }
    }
  }
  return STATUS_SUCCESS;
}
