// The firmware's vendor stream-mode request, sent to every streaming
// interface and remembered so it can be sent again after a reconfiguration.
#include "base/trace.h"
#include "audiofunction/audio_trace_events.h"
#include "audiofunction/usb_audio_cl.h"

namespace {

constexpr UCHAR kRequestTypeVendorInterface = 0x41;
constexpr UCHAR kStreamModeRequest = 0x00;

}  // namespace

NTSTATUS CUSBAudioCL::SetStreamMode(USHORT Value) {
  for (StreamInterface* stream = m_Streams; stream != nullptr; stream = stream->Next) {
    const NTSTATUS status =
        ClassRequest(kRequestTypeVendorInterface, kStreamModeRequest, Value, stream->InterfaceNumber, 0, nullptr);
    if (!NT_SUCCESS(status)) {
      Trace(TRACE_LEVEL_ERROR, TraceFormatStreamModeFailed, stream->InterfaceNumber, Value, status);
      return status;
    }
    // Only what the device took is sent again later.
    stream->VendorStreamMode = Value;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CUSBAudioCL::ResendStreamMode() {
  for (StreamInterface* stream = m_Streams; stream != nullptr; stream = stream->Next) {
    const NTSTATUS status = ClassRequest(kRequestTypeVendorInterface, kStreamModeRequest, stream->VendorStreamMode,
                                         stream->InterfaceNumber, 0, nullptr);
    if (!NT_SUCCESS(status)) {
      Trace(TRACE_LEVEL_ERROR, TraceFormatStreamModeFailed, stream->InterfaceNumber, stream->VendorStreamMode, status);
      return status;
    }
  }
  return STATUS_SUCCESS;
}

USHORT CUSBAudioCL::GetStreamMode() const { return m_Streams != nullptr ? m_Streams->VendorStreamMode : 0; }
