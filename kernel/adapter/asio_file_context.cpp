#include "adapter/asio_file_context.h"

#include "adapter/adapter_common.h"

NTSTATUS CAsioFileContext::Create(PIRP Irp) {
  UNREFERENCED_PARAMETER(Irp);
  m_State = kAsioHandleOpen;
  return STATUS_SUCCESS;
}

NTSTATUS CAsioFileContext::Cleanup(PIRP Irp) { return m_Adapter->PrivateCleanup(this, Irp); }

NTSTATUS CAsioFileContext::Close(PIRP Irp) {
  UNREFERENCED_PARAMETER(Irp);
  m_State = kAsioHandleClosed;
  return STATUS_SUCCESS;
}

NTSTATUS CAsioFileContext::Read(PIRP Irp) { return m_Adapter->PrivateRead(this, Irp); }

NTSTATUS CAsioFileContext::Write(PIRP Irp) { return m_Adapter->PrivateWrite(this, Irp); }

NTSTATUS CAsioFileContext::DeviceControl(PIRP Irp) { return m_Adapter->PrivateDeviceControl(this, Irp); }
