// Clock entities of an Audio Class 2.0 function: clock sources and clock
// selectors, with the class requests that read and set the sample rate.
// Every operation sends requests and runs at PASSIVE_LEVEL.
#pragma once
#include "audiofunction/audio_entity.h"

class CUSBAudioClock : public CUSBAudioEntity {
 public:
  using CUSBAudioEntity::CUSBAudioEntity;

  virtual NTSTATUS GetCurrentRate(PULONG Rate) = 0;
  // Smallest minimum and largest maximum of the offered subranges, taking a
  // further subrange's value only when it lies within Lower..Upper.
  virtual NTSTATUS GetRange(PULONG Minimum, PULONG Maximum, ULONG Lower, ULONG Upper) = 0;
  // STATUS_SUCCESS when the clock can run at `Rate`.
  virtual NTSTATUS IsRateSupported(ULONG Rate) = 0;
  virtual NTSTATUS SetRate(ULONG Rate) = 0;
  // The clock is running and locked (a failed read counts as not valid).
  virtual BOOLEAN IsValid() = 0;

  // Classes 2.0 only: clocks do not exist in a 1.0 function.
  NTSTATUS ResolveLinks() override;
};

// CLOCK_SOURCE: bmAttributes byte 4, bmControls byte 5.
class CUSBAudioClockSource : public CUSBAudioClock {
 public:
  using CUSBAudioClock::CUSBAudioClock;

  NTSTATUS GetName(PCHAR Buffer, SIZE_T Size) override { return FormatName(Buffer, Size, "ClockSource"); }
  ULONG GetSourceId(ULONG) override { return kNoEntity; }
  NTSTATUS GetCurrentRate(PULONG Rate) override;
  NTSTATUS GetRange(PULONG Minimum, PULONG Maximum, ULONG Lower, ULONG Upper) override;
  NTSTATUS IsRateSupported(ULONG Rate) override;
  NTSTATUS SetRate(ULONG Rate) override;
  BOOLEAN IsValid() override;

 private:
  // Both RANGE reads of the frequency control: the count, then the whole
  // answer. On success *Answer is a pool buffer of 2 + 12 × *Count bytes
  // (free with FreeDriverPool) and *Count is at least 1.
  NTSTATUS ReadRanges(PUCHAR* Answer, PULONG Count);
};

// CLOCK_SELECTOR: bNrInPins byte 4, baCSourceID from byte 5. Its inputs are
// numbered from 1.
class CUSBAudioClockSelector : public CUSBAudioClock {
 public:
  using CUSBAudioClock::CUSBAudioClock;

  NTSTATUS GetName(PCHAR Buffer, SIZE_T Size) override { return FormatName(Buffer, Size, "ClockSelector"); }
  ULONG GetSourceId(ULONG Index) override;
  NTSTATUS GetCurrentRate(PULONG Rate) override;
  NTSTATUS GetRange(PULONG Minimum, PULONG Maximum, ULONG Lower, ULONG Upper) override;
  NTSTATUS IsRateSupported(ULONG Rate) override;
  NTSTATUS SetRate(ULONG Rate) override;
  BOOLEAN IsValid() override;

  ULONG InputCount() const { return DescriptorByte(4); }
  // The input the selector uses now (from 1).
  NTSTATUS GetSelectedInput(PULONG Input);
  // The clock behind input `Input` (from 1), or null when the input does not
  // exist or names no usable clock. A selector's input may be a clock source
  // or another selector whose own inputs are clock sources; that bounds the
  // requests one operation sends and rules out cycles.
  CUSBAudioClock* InputClock(ULONG Input);

 private:
  BOOLEAN InputsAreSources();
  // The input selected now, as a clock.
  NTSTATUS SelectedClock(CUSBAudioClock** Clock);
};
