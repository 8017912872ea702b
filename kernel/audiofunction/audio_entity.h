// Base of the entities of the audio-control interface (terminals, units,
// clocks), each made from one class-specific descriptor, and the entity for
// units the model does not interpret.
#pragma once
#include "platform.h"
#include "base/pool.h"
#include "base/vocabulary.h"

class CUSBAudioCL;

class CUSBAudioEntity : public CPoolObject {
 public:
  // `descriptor` lies inside the owner's configuration descriptor copy and
  // holds at least the fields the entity's class reads.
  CUSBAudioEntity(const UCHAR* descriptor, CUSBAudioCL* owner)
      : m_Next(nullptr), m_Descriptor(descriptor), m_Owner(owner) {}
  virtual ~CUSBAudioEntity() = default;
  CUSBAudioEntity(const CUSBAudioEntity&) = delete;
  CUSBAudioEntity& operator=(const CUSBAudioEntity&) = delete;

  // Finds the entities this one names; PASSIVE_LEVEL, after the whole list is built.
  virtual NTSTATUS ResolveLinks() = 0;
  virtual void Dump();
  // bTerminalID, bUnitID or bClockID.
  virtual ULONG GetId();
  // A name for tracing, "IT(3)" and the like.
  virtual NTSTATUS GetName(PCHAR Buffer, SIZE_T Size) = 0;
  // ID of the entity feeding input `Index`, kNoEntity for none.
  virtual ULONG GetSourceId(ULONG Index) = 0;

  CUSBAudioEntity* Next() const { return m_Next; }
  const UCHAR* Descriptor() const { return m_Descriptor; }
  UCHAR Subtype() const { return m_Descriptor[2]; }
  UCHAR DescriptorLength() const { return m_Descriptor[0]; }
  // Byte `offset` of the descriptor; 0 beyond its bLength.
  UCHAR DescriptorByte(ULONG offset) const { return offset < m_Descriptor[0] ? m_Descriptor[offset] : 0; }

  // The class the list made for the descriptor, told by its subtype.
  BOOLEAN IsClockSource() const;
  BOOLEAN IsClockSelector() const;
  BOOLEAN IsClock() const { return IsClockSource() || IsClockSelector(); }
  BOOLEAN IsTerminal() const;

 protected:
  NTSTATUS FormatName(PCHAR Buffer, SIZE_T Size, const char* Kind);

 private:
  friend class CUSBAudioCL;  // keeps the list

  CUSBAudioEntity* m_Next;
  const UCHAR* m_Descriptor;

 protected:
  CUSBAudioCL* m_Owner;
};

// A unit the model keeps in the list without interpreting it.
class CUSBAudioDummy : public CUSBAudioEntity {
 public:
  using CUSBAudioEntity::CUSBAudioEntity;
  NTSTATUS ResolveLinks() override { return STATUS_SUCCESS; }
  NTSTATUS GetName(PCHAR Buffer, SIZE_T Size) override { return FormatName(Buffer, Size, "Dummy"); }
  ULONG GetSourceId(ULONG) override { return kNoEntity; }
};
