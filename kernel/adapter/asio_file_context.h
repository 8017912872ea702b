// The context of one private open of the device (the file object's
// FsContext2; port class owns FsContext). Its request operations forward to
// the device core.
#pragma once
#include "platform.h"
#include "base/pool.h"

class CAdapterCommon;

// Private-interface states of a handle.
constexpr LONG kAsioHandleClosed = 0;
constexpr LONG kAsioHandleOpen = 1;
constexpr LONG kAsioHandleOwner = 2;
constexpr LONG kAsioHandleConfigured = 3;
constexpr LONG kAsioHandleRunning = 4;

class CAsioFileContext : public CPoolObject {
 public:
  explicit CAsioFileContext(CAdapterCommon* Adapter) : m_Adapter(Adapter), m_State(kAsioHandleClosed) {}
  virtual ~CAsioFileContext() = default;

  virtual NTSTATUS Create(PIRP Irp);
  virtual NTSTATUS Cleanup(PIRP Irp);
  virtual NTSTATUS Close(PIRP Irp);
  virtual NTSTATUS Read(PIRP Irp);
  virtual NTSTATUS Write(PIRP Irp);
  virtual NTSTATUS DeviceControl(PIRP Irp);

  CAdapterCommon* Adapter() const { return m_Adapter; }
  LONG State() const { return m_State; }
  void SetState(LONG State) { m_State = State; }

 private:
  CAdapterCommon* m_Adapter;
  LONG m_State;
};
