// A kernel timer that fires every period while active, re-armed from its own
// DPC, with the system timer resolution raised to the period meanwhile.
#pragma once
#include "platform.h"
#include "base/pool.h"

class CPeriodicTimer : public CPoolObject {
 public:
  typedef void (*TickRoutine)(PVOID Context);

  CPeriodicTimer();
  virtual ~CPeriodicTimer();
  void Initialize(TickRoutine Tick, PVOID Context);
  // Due time and period in 100-ns units (a relative due time is negative or
  // positive alike: it counts from now). Stops a running timer first.
  virtual NTSTATUS Start(LONGLONG DueTime, ULONG Period);
  // PASSIVE_LEVEL: returns once no tick can run any more.
  virtual void Stop();
  BOOLEAN IsActive() const { return m_Active != 0; }

 private:
  static VOID TimerDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2);

  KTIMER m_Timer;
  KDPC m_Dpc;
  ULONG m_Period;
  volatile LONG m_Active;
  BOOLEAN m_ResolutionSet;
  TickRoutine m_Tick;
  PVOID m_Context;
};
