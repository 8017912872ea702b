// Capture transfers are read as they come; the generic completion checks
// their packets against the selected format.
#include "base/trace.h"
#include "audiofunction/audio_trace_events.h"
#include "audiofunction/usb_audio_cl.h"

NTSTATUS CUSBAudioCL::SubmitCapture(PVOID Buffer, ULONG Length, PUSB_TRANSFER_CALLBACK Callback,
                                    PVOID CallbackContext) {
  if (m_CaptureStream == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceTransferNoPipe, kDirectionCapture, 2);
    return STATUS_INVALID_PARAMETER;
  }
  const PUSBD_PIPE_INFORMATION pipe = m_CaptureStream->LoadDataPipe();
  if (pipe == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceTransferNoPipe, kDirectionCapture, 2);
    return STATUS_NOT_SUPPORTED;
  }
  return ReadTransfer(pipe, Buffer, Length, Callback, CallbackContext);
}
