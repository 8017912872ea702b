// Input and output terminals of the audio-control interface.
#pragma once
#include "audiofunction/audio_entity.h"

class CUSBAudioClock;

class CUSBAudioTerminal : public CUSBAudioEntity {
 public:
  using CUSBAudioEntity::CUSBAudioEntity;

  // bCSourceID of a class 2.0 terminal; kNoEntity for class 1.0.
  virtual ULONG GetClockId() = 0;
  // The 16-bit bmControls of a class 2.0 terminal; 0 for class 1.0.
  virtual ULONG GetControls() = 0;
  // Control `Index` (bit pair 2 × Index of bmControls) can be read.
  virtual BOOLEAN HasControl(ULONG Index);
  // 1 connected, 0 not, 0xFFFFFFFF when the connector state cannot be read.
  virtual ULONG IsConnected();

  // The clock the terminal runs from (class 2.0, after ResolveLinks); may be null.
  CUSBAudioClock* ClockEntity() const { return m_Clock; }

 protected:
  // Finds the clock named by the byte at `offset` (class 2.0).
  NTSTATUS ResolveClock(ULONG offset);

  CUSBAudioClock* m_Clock = nullptr;
};

// INPUT_TERMINAL: bCSourceID byte 7 and bmControls bytes 14..15 (2.0).
class CUSBAudioInputTerminal : public CUSBAudioTerminal {
 public:
  using CUSBAudioTerminal::CUSBAudioTerminal;

  NTSTATUS ResolveLinks() override;
  NTSTATUS GetName(PCHAR Buffer, SIZE_T Size) override { return FormatName(Buffer, Size, "IT"); }
  ULONG GetSourceId(ULONG) override { return kNoEntity; }
  ULONG GetClockId() override;
  ULONG GetControls() override;
};

// OUTPUT_TERMINAL: bSourceID byte 7; bCSourceID byte 8 and bmControls bytes
// 9..10 (2.0).
class CUSBAudioOutputTerminal : public CUSBAudioTerminal {
 public:
  using CUSBAudioTerminal::CUSBAudioTerminal;

  NTSTATUS ResolveLinks() override;
  NTSTATUS GetName(PCHAR Buffer, SIZE_T Size) override { return FormatName(Buffer, Size, "OT"); }
  ULONG GetSourceId(ULONG) override { return DescriptorByte(7); }
  ULONG GetClockId() override;
  ULONG GetControls() override;

  // The entity feeding the terminal (after ResolveLinks); may be null.
  CUSBAudioEntity* SourceEntity() const { return m_Source; }

 private:
  CUSBAudioEntity* m_Source = nullptr;
};
