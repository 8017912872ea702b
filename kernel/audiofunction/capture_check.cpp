// What the generic transfer completion reports for a capture transfer: the
// packets must fit the selected format, and a transfer that brought nothing
// becomes silence at the nominal rate. Staged playback reports its audio
// bytes alone.
#include "base/trace.h"
#include "audiofunction/audio_trace_events.h"
#include "audiofunction/usb_audio_cl.h"

NTSTATUS CUSBAudioCL::CheckCompletedTransfer(NTSTATUS Status, PURB Urb, TransferContext* Context) {
  if (!NT_SUCCESS(Status) || Urb == nullptr || Urb->UrbHeader.Function != URB_FUNCTION_ISOCH_TRANSFER) {
    return Status;
  }
  if ((Urb->UrbIsochronousTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) == 0) {
    ReportStagedPayload(Urb, Context);
    return Status;
  }
  struct _URB_ISOCH_TRANSFER& iso = Urb->UrbIsochronousTransfer;
  const ULONG packets = IsoPacketsThatFit(Urb->UrbIsochronousTransfer);
  const StreamInterface* capture = m_CaptureStream;
  if (iso.TransferBufferLength != 0) {
    if (capture == nullptr) {
      return Status;
    }
    const LONGLONG minimum = capture->MinimumPacketBytes;
    const LONGLONG maximum = capture->MaximumPacketBytes;
    for (ULONG i = 0; i < packets; ++i) {
      const LONGLONG length = iso.IsoPacket[i].Length;
      if (length < minimum || length > maximum) {
        Trace(TRACE_LEVEL_ERROR, TraceAudioCapturePacketOutside, i, iso.IsoPacket[i].Length,
              (static_cast<ULONG64>(static_cast<ULONG>(minimum)) << 32) | static_cast<ULONG>(maximum), iso.StartFrame);
        Status = STATUS_UNEXPECTED_IO_ERROR;
      }
    }
    return Status;
  }
  if (capture == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceAudioCaptureNoStream, packets);
    return STATUS_INVALID_DEVICE_STATE;
  }
  return FillCaptureSilence(Urb, Context);
}

void CUSBAudioCL::ReportStagedPayload(PURB Urb, const TransferContext* Context) const {
  // A staged playback transfer moved the length headers too; its caller
  // sent, and checks the completion against, the audio bytes alone.
  if (Context == nullptr || Context->ExtraBuffer == nullptr || m_PlaybackStream == nullptr ||
      Context->Pipe != m_PlaybackStream->LoadDataPipe() || !HasPlaybackLengthHeader()) {
    return;
  }
  struct _URB_ISOCH_TRANSFER& iso = Urb->UrbIsochronousTransfer;
  const ULONG packets = IsoPacketsThatFit(Urb->UrbIsochronousTransfer);
  const ULONG staged = Context->BufferLength;
  ULONG headers = 0;
  for (ULONG i = 0; i < packets; ++i) {
    const ULONG start = iso.IsoPacket[i].Offset;
    const ULONG end = i + 1 < packets ? iso.IsoPacket[i + 1].Offset : staged;
    if (end > start && end <= staged) {
      headers += 4;
    }
  }
  iso.TransferBufferLength = iso.TransferBufferLength > headers ? iso.TransferBufferLength - headers : 0;
}

NTSTATUS CUSBAudioCL::FillCaptureSilence(PURB Urb, TransferContext* Context) {
  struct _URB_ISOCH_TRANSFER& iso = Urb->UrbIsochronousTransfer;
  const ULONG packets = IsoPacketsThatFit(Urb->UrbIsochronousTransfer);
  const StreamInterface* capture = m_CaptureStream;
  PUCHAR buffer = static_cast<PUCHAR>(iso.TransferBuffer);
  if (buffer == nullptr && iso.TransferBufferMDL != nullptr) {
    buffer = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(iso.TransferBufferMDL, DriverPagePriority()));
  }
  if (buffer == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceAudioCaptureUnmapped, packets);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  // A packet never grows past its slot: up to the next packet's offset, and
  // one maximum-size packet for the last.
  const PUSBD_PIPE_INFORMATION pipe =
      (Context != nullptr && Context->Pipe != nullptr) ? Context->Pipe : capture->LoadDataPipe();
  const ULONG lastSlot = pipe != nullptr ? pipe->MaximumPacketSize : 0;
  const ULONG frameBytes = capture->BytesPerFrame;

  ULONGLONG step = static_cast<ULONGLONG>(capture->SampleRate) * 65536 / 1000;
  if (IsHighSpeed()) {
    step /= 8;
  }
  ULONGLONG fraction = 0;
  ULONG total = 0;
  for (ULONG i = 0; i < packets; ++i) {
    const ULONG offset = iso.IsoPacket[i].Offset;
    ULONG slot = lastSlot;
    if (i + 1 < packets) {
      const ULONG next = iso.IsoPacket[i + 1].Offset;
      slot = next > offset ? next - offset : 0;
    }
    const ULONGLONG sum = step + fraction;
    fraction = sum & 0xFFFF;
    ULONGLONG bytes = (sum >> 16) * frameBytes;
    if (bytes > slot) {
      bytes = frameBytes != 0 ? (slot / frameBytes) * frameBytes : 0;
    }
    RtlZeroMemory(buffer + offset, static_cast<SIZE_T>(bytes));
    iso.IsoPacket[i].Length = static_cast<ULONG>(bytes);
    total += static_cast<ULONG>(bytes);
  }
  iso.TransferBufferLength = total;
  Trace(TRACE_LEVEL_WARNING, TraceAudioCaptureEmpty, packets, iso.StartFrame, total);
  return STATUS_SUCCESS;
}
