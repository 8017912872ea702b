#include "engine/periodic_timer.h"

CPeriodicTimer::CPeriodicTimer() {
  KeInitializeTimer(&m_Timer);
  KeInitializeDpc(&m_Dpc, TimerDpc, this);
  m_Period = 0;
  m_Active = 0;
  m_ResolutionSet = FALSE;
  m_Tick = nullptr;
  m_Context = nullptr;
}

CPeriodicTimer::~CPeriodicTimer() { Stop(); }

void CPeriodicTimer::Initialize(TickRoutine Tick, PVOID Context) {
  m_Tick = Tick;
  m_Context = Context;
}

NTSTATUS CPeriodicTimer::Start(LONGLONG DueTime, ULONG Period) {
  Stop();
  if (Period == 0) {
    return STATUS_INVALID_PARAMETER;
  }
  m_Period = Period;
  // The finest resolution the system offers: it clamps the request.
  const ULONG requested = Period / 10000 != 0 ? Period / 10000 : 1;
  ExSetTimerResolution(requested, TRUE);
  m_ResolutionSet = TRUE;
  InterlockedExchange(&m_Active, 1);
  LARGE_INTEGER due;
  due.QuadPart = DueTime > 0 ? -DueTime : DueTime;
  KeSetTimer(&m_Timer, due, &m_Dpc);
  return STATUS_SUCCESS;
}

void CPeriodicTimer::Stop() {
  InterlockedExchange(&m_Active, 0);
  KeCancelTimer(&m_Timer);
  // A tick already queued re-arms nothing (inactive), but must finish first.
  KeFlushQueuedDpcs();
  KeCancelTimer(&m_Timer);
  if (m_ResolutionSet) {
    ExSetTimerResolution(0, FALSE);
    m_ResolutionSet = FALSE;
  }
}

VOID CPeriodicTimer::TimerDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(Argument1);
  UNREFERENCED_PARAMETER(Argument2);
  auto* timer = static_cast<CPeriodicTimer*>(Context);
  if (timer->m_Active == 0) {
    return;
  }
  if (timer->m_Tick != nullptr) {
    timer->m_Tick(timer->m_Context);
  }
  if (timer->m_Active != 0) {
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(timer->m_Period);
    KeSetTimer(&timer->m_Timer, due, &timer->m_Dpc);
  }
}
