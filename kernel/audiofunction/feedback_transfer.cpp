// Reads of the playback feedback endpoint: each packet carries the device's
// rate in frames per interval step, averaged over one read.
#include <stddef.h>

#include "base/trace.h"
#include "audiofunction/audio_trace_events.h"
#include "audiofunction/usb_audio_cl.h"

namespace {

constexpr ULONG kIsoHeaderBytes = offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket);

ULONG PacketsHeld(PURB Urb) {
  const ULONG header = Urb->UrbHeader.Length;
  const ULONG room = header > kIsoHeaderBytes ? (header - kIsoHeaderBytes) / sizeof(USBD_ISO_PACKET_DESCRIPTOR) : 0;
  const ULONG claimed = Urb->UrbIsochronousTransfer.NumberOfPackets;
  return claimed < room ? claimed : room;
}

}  // namespace

ULONG CUSBAudioCL::FeedbackReadLength() const {
  const StreamInterface* stream = m_PlaybackStream;
  const PUSBD_PIPE_INFORMATION pipe = stream != nullptr ? stream->LoadFeedbackPipe() : nullptr;
  if (pipe == nullptr) {
    return 0;
  }
  const ULONG packet = pipe->MaximumPacketSize;
  ULONG length = 4 * packet;
  if (IsHighSpeed()) {
    const ULONG interval = pipe->Interval == 0 ? 1 : pipe->Interval;
    if (interval < 4) {
      length <<= 4 - interval;
    } else if (interval > 4) {
      // Packets further apart than a millisecond: still at least one of them.
      const ULONG shift = interval - 4 > 31 ? 31 : interval - 4;
      length = (length >> shift) < packet ? packet : (length >> shift);
    }
  }
  return length;
}

NTSTATUS CUSBAudioCL::RecvFeedback(PVOID Buffer, ULONG Length, PUSB_TRANSFER_CALLBACK Callback, PVOID CallbackContext) {
  const StreamInterface* stream = m_PlaybackStream;
  const PUSBD_PIPE_INFORMATION pipe = stream != nullptr ? stream->LoadFeedbackPipe() : nullptr;
  if (pipe == nullptr || pipe->PipeType != UsbdPipeTypeIsochronous || pipe->MaximumPacketSize == 0) {
    Trace(TRACE_LEVEL_ERROR, TraceTransferNoPipe, kDirectionRender, 3);
    return STATUS_INVALID_PARAMETER;
  }
  const ULONG packetSize = pipe->MaximumPacketSize;
  const ULONGLONG packets = packetSize >= Length ? 1 : (static_cast<ULONGLONG>(Length) + packetSize - 1) / packetSize;
  if (packets > kMaxIsoPackets) {
    Trace(TRACE_LEVEL_ERROR, TraceTransferTooManyPackets, 3, Length, 0);
    return STATUS_INVALID_PARAMETER;
  }
  TransferContext* context = AllocateTransferContext();
  if (context == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceTransferNoResources, 3, 1);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  PURB urb = AllocateIsoUrb();
  if (urb == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceTransferNoResources, 3, 2);
    ReleaseTransfer(context);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  context->Urb = urb;
  context->Pipe = pipe;
  context->Callback = Callback;
  context->CallbackContext = CallbackContext;
  context->BufferLength = Length;
  struct _URB_ISOCH_TRANSFER& iso = urb->UrbIsochronousTransfer;
  iso.Hdr.Length = static_cast<USHORT>(GET_ISO_URB_SIZE(packets));
  iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
  iso.PipeHandle = pipe->PipeHandle;
  iso.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
  iso.StartFrame = 0;
  iso.TransferBuffer = Buffer;
  iso.TransferBufferMDL = nullptr;
  iso.TransferBufferLength = Length;
  iso.NumberOfPackets = static_cast<ULONG>(packets);
  for (ULONG i = 0; i < iso.NumberOfPackets; ++i) {
    const ULONGLONG offset = static_cast<ULONGLONG>(i) * packetSize;
    iso.IsoPacket[i].Offset = offset < Length ? static_cast<ULONG>(offset) : Length;
    iso.IsoPacket[i].Length = 0;
    iso.IsoPacket[i].Status = 0;
  }
  const NTSTATUS status = SendTransfer(context, RecvFeedbackCompletionRoutine);
  return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}

ULONG CUSBAudioCL::ReadFeedbackPackets(PURB Urb, ULONG BufferLength) {
  struct _URB_ISOCH_TRANSFER& iso = Urb->UrbIsochronousTransfer;
  StreamInterface* stream = m_PlaybackStream;
  ULONG value = stream->LastFeedbackValue;
  if (iso.TransferBufferLength == 0) {
    return value;
  }
  const ULONG packets = PacketsHeld(Urb);
  const UCHAR* data = static_cast<const UCHAR*>(iso.TransferBuffer);
  if (data == nullptr && iso.TransferBufferMDL != nullptr) {
    data = static_cast<const UCHAR*>(
        MmGetSystemAddressForMdlSafe(iso.TransferBufferMDL, static_cast<MM_PAGE_PRIORITY>(DriverPagePriority())));
  }
  if (data == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceFeedbackUnmapped, packets);
    return 0;
  }
  const PUSBD_PIPE_INFORMATION pipe = stream->LoadFeedbackPipe();
  const ULONG slot = pipe != nullptr ? pipe->MaximumPacketSize : 0;
  ULONGLONG sum = 0;
  ULONG counted = 0;
  for (ULONG i = 0; i < packets; ++i) {
    const USBD_ISO_PACKET_DESCRIPTOR& packet = iso.IsoPacket[i];
    if (USBD_ERROR(packet.Status)) {
      continue;
    }
    const ULONGLONG end = static_cast<ULONGLONG>(packet.Offset) + packet.Length;
    // A device claiming more than the packet's slot or the buffer is not believed.
    if (end > BufferLength || (slot != 0 && packet.Length > slot)) {
      Trace(TRACE_LEVEL_WARNING, TraceFeedbackPacketSkipped, i, packet.Length, packet.Offset);
      continue;
    }
    const UCHAR* bytes = data + packet.Offset;
    ULONG read = 0;
    if (packet.Length == 3) {
      read = (static_cast<ULONG>(bytes[0]) | (static_cast<ULONG>(bytes[1]) << 8) | (static_cast<ULONG>(bytes[2]) << 16))
             << 2;
    } else if (packet.Length == 4) {
      read = static_cast<ULONG>(bytes[0]) | (static_cast<ULONG>(bytes[1]) << 8) | (static_cast<ULONG>(bytes[2]) << 16) |
             (static_cast<ULONG>(bytes[3]) << 24);
    } else if (packet.Length == 0) {
      read = value;
    } else {
      Trace(TRACE_LEVEL_WARNING, TraceFeedbackPacketSkipped, i, packet.Length, packet.Offset);
      continue;
    }
    if (read == 0) {
      // No rate at all is never a valid measurement; it would stall playback.
      Trace(TRACE_LEVEL_WARNING, TraceFeedbackZeroValue, i);
      continue;
    }
    value = read;
    sum += read;
    ++counted;
  }
  if (value != 0) {
    stream->LastFeedbackValue = value;
  }
  if (counted == 0) {
    return 0;
  }
  // The part of the average below its last bit goes on to the next read:
  // devices dither that bit, and dropping it would play slower than they
  // ask for, until their buffer runs dry.
  const ULONGLONG scaled = (sum << 8) / counted + (stream->FeedbackAverageCarry & 0xFF);
  stream->FeedbackAverageCarry = static_cast<ULONG>(scaled & 0xFF);
  const ULONGLONG average = scaled >> 8;
  return average > 0xFFFFFFFF ? 0xFFFFFFFF : static_cast<ULONG>(average);
}

NTSTATUS CUSBAudioCL::RecvFeedbackCompletionRoutine(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
  TransferContext* context = static_cast<TransferContext*>(Context);
  if (context == nullptr || context->Urb == nullptr || context->Owner == nullptr) {
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  CUSBAudioCL* owner = static_cast<CUSBAudioCL*>(context->Owner);
  PURB urb = context->Urb;
  const NTSTATUS status = Irp->IoStatus.Status;
  ULONG value = 0;
  ULONG startFrame = 0;
  if (!NT_SUCCESS(status)) {
    Trace(TRACE_LEVEL_ERROR, TraceFeedbackReadFailed, status, urb->UrbIsochronousTransfer.StartFrame);
    owner->TraceIsoUrb(urb);
  } else {
    startFrame = urb->UrbIsochronousTransfer.StartFrame;
    value = owner->m_PlaybackStream != nullptr ? owner->ReadFeedbackPackets(urb, context->BufferLength) : 0;
  }
  if (context->Callback != nullptr) {
    context->Callback(status, value, startFrame, context->CallbackContext, 0);
  }
  owner->FinishTransfer(Irp, context);
  return STATUS_MORE_PROCESSING_REQUIRED;
}
