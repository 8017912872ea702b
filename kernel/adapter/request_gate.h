// The remove lock of the private interface: every private request runs
// inside it, and removal closes it and waits until the last one has left.
#pragma once
#include "platform.h"

class CRequestGate {
 public:
  // Closed until Open.
  void Initialize();
  void Open();
  // False when the gate is closed.
  BOOLEAN Acquire();
  void Release();
  // Refuses new requests and waits for those inside; PASSIVE_LEVEL.
  void CloseAndDrain();
  LONG Inside() const { return m_Count; }

 private:
  KSPIN_LOCK m_Lock;
  KEVENT m_Idle;
  LONG m_Count;
  BOOLEAN m_Closed;
};
