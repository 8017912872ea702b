#include "adapter/request_gate.h"

void CRequestGate::Initialize() {
  KeInitializeSpinLock(&m_Lock);
  KeInitializeEvent(&m_Idle, NotificationEvent, TRUE);
  m_Count = 0;
  m_Closed = TRUE;
}

void CRequestGate::Open() {
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_Lock, &handle);
  m_Closed = FALSE;
  KeReleaseInStackQueuedSpinLock(&handle);
}

BOOLEAN CRequestGate::Acquire() {
  BOOLEAN acquired = FALSE;
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_Lock, &handle);
  if (!m_Closed) {
    ++m_Count;
    KeClearEvent(&m_Idle);
    acquired = TRUE;
  }
  KeReleaseInStackQueuedSpinLock(&handle);
  return acquired;
}

void CRequestGate::Release() {
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_Lock, &handle);
  if (m_Count > 0 && --m_Count == 0) {
    KeSetEvent(&m_Idle, IO_NO_INCREMENT, FALSE);
  }
  KeReleaseInStackQueuedSpinLock(&handle);
}

void CRequestGate::CloseAndDrain() {
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&m_Lock, &handle);
  m_Closed = TRUE;
  KeReleaseInStackQueuedSpinLock(&handle);
  KeWaitForSingleObject(&m_Idle, Executive, KernelMode, FALSE, nullptr);
}
