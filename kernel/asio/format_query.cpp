#include "asio/format_query.h"

NTSTATUS QueryAsioFormat(CUSBAudioCL& Function, USHORT FormatType, ULONG Rate, ASIO_FORMAT_RECORD* Record) {
  Record->FormatType = FormatType;
  Record->SampleRate = Rate;
  Record->RenderChannels = 0;
  Record->RenderBits = 0;
  Record->CaptureChannels = 0;
  Record->CaptureBits = 0;
  NTSTATUS status = Function.IsSampleRateSupported(Rate);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  ULONG channels = 0;
  ULONG bits = 0;
  if (Function.PlaybackStream() != nullptr) {
    status = Function.GetBestFormat(kDirectionRender, FormatType, Rate, &channels, &bits);
    if (!NT_SUCCESS(status)) {
      return status;
    }
    Record->RenderChannels = channels;
    Record->RenderBits = bits;
  }
  if (Function.CaptureStream() != nullptr) {
    status = Function.GetBestFormat(kDirectionCapture, FormatType, Rate, &channels, &bits);
    if (!NT_SUCCESS(status)) {
      Record->RenderChannels = 0;
      Record->RenderBits = 0;
      return status;
    }
    Record->CaptureChannels = channels;
    Record->CaptureBits = bits;
  }
  return STATUS_SUCCESS;
}
