// Asynchronous transfers: building isochronous and bulk/interrupt URBs,
// sending them with pool IRPs, and the generic completion.
#include "usb/usbcl.h"
#include "base/trace.h"
#include "usb/usb_trace_events.h"

namespace {

constexpr ULONG kIsoUrbHeaderLength = sizeof(struct _URB_ISOCH_TRANSFER);  // 152, one packet included
constexpr ULONG kBulkUrbSize = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);

// What the resources were that a submission could not get.
enum : ULONG { kMissingContext = 1, kMissingUrb = 2, kMissingIrp = 3 };

ULONG IsoUrbLength(ULONG packets) {
  // 152 + 12 x packets, as the URB list entries are sized.
  return kIsoUrbHeaderLength + packets * sizeof(USBD_ISO_PACKET_DESCRIPTOR);
}

// Packs the received packets of an IN transfer to the front of its buffer
// and returns the bytes received. Packets that claim bytes outside the
// buffer are cut to what lies inside.
ULONG CompactInPackets(struct _URB_ISOCH_TRANSFER& urb, PUCHAR buffer, ULONG bufferLength) {
  const ULONG packets = IsoPacketsThatFit(urb);
  ULONG total = 0;
  for (ULONG i = 0; i < packets; ++i) {
    const ULONG offset = urb.IsoPacket[i].Offset;
    ULONG length = urb.IsoPacket[i].Length;
    if (offset > bufferLength || length > bufferLength - offset) {
      Trace(TRACE_LEVEL_ERROR, TraceUsbIsoPacketOutside, i, offset, length, bufferLength);
      length = offset > bufferLength ? 0 : bufferLength - offset;
    }
    if (length != 0 && offset != total) RtlMoveMemory(buffer + total, buffer + offset, length);
    total += length;
  }
  return total;
}

}  // namespace

TransferContext* CUSBCL::AllocateTransferContext() {
  if (m_ContextList == nullptr) return nullptr;
  TransferContext* context = static_cast<TransferContext*>(ExAllocateFromNPagedLookasideList(m_ContextList));
  if (context == nullptr) return nullptr;
  RtlZeroMemory(context, sizeof(*context));
  context->Owner = this;
  return context;
}

PURB CUSBCL::AllocateIsoUrb() {
  if (m_UrbList == nullptr) return nullptr;
  PURB urb = static_cast<PURB>(ExAllocateFromNPagedLookasideList(m_UrbList));
  if (urb != nullptr) RtlZeroMemory(urb, kIsoUrbSize);
  return urb;
}

void CUSBCL::FreeIsoUrb(PURB Urb) {
  if (Urb != nullptr) ExFreeToNPagedLookasideList(m_UrbList, Urb);
}

void CUSBCL::ReleaseTransfer(TransferContext* Context) {
  if (Context == nullptr) return;
  if (Context->Urb != nullptr) {
    if (Context->Urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER) {
      FreeIsoUrb(Context->Urb);
    } else {
      FreeDriverPool(Context->Urb, kPoolTagDriver);
    }
  }
  if (Context->ExtraBuffer != nullptr) {
    FreeDriverPool(Context->ExtraBuffer, Context->ExtraBufferTag != 0 ? Context->ExtraBufferTag : kPoolTagDriver);
  }
  ExFreeToNPagedLookasideList(m_ContextList, Context);
}

NTSTATUS CUSBCL::SendTransfer(TransferContext* Context, PIO_COMPLETION_ROUTINE Completion) {
  PIRP irp = m_LowerDevice != nullptr ? TakeIrp() : nullptr;
  if (irp == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceUsbTransferNoResources, Context->Pipe != nullptr ? Context->Pipe->EndpointAddress : 0,
          kMissingIrp);
    ReleaseTransfer(Context);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  stack->Parameters.Others.Argument1 = Context->Urb;
  IoSetCompletionRoutine(irp, Completion != nullptr ? Completion : TransferCompletion, Context, TRUE, TRUE, TRUE);
  // The outcome, failures included, arrives through the completion routine.
  IoCallDriver(m_LowerDevice, irp);
  return STATUS_SUCCESS;
}

void CUSBCL::FinishTransfer(PIRP Irp, TransferContext* Context) {
  ReleaseTransfer(Context);
  // Last: returning the IRP may let a waiting destructor go on.
  ReturnIrp(Irp);
}

NTSTATUS CUSBCL::SubmitTransfer(PUSBD_PIPE_INFORMATION Pipe, PVOID Buffer, ULONG Length, UCHAR TransferFlags,
                                PUSB_TRANSFER_CALLBACK Callback, PVOID CallbackContext, ULONG StartFrame) {
  if (Pipe == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceUsbTransferRejected, 0, Length, 0);
    return STATUS_INVALID_PARAMETER;
  }
  const bool isochronous = Pipe->PipeType == UsbdPipeTypeIsochronous;
  const ULONG maxPacket = Pipe->MaximumPacketSize;
  ULONG packets = 0;
  if (isochronous) {
    if (maxPacket == 0) {
      Trace(TRACE_LEVEL_ERROR, TraceUsbTransferRejected, Pipe->EndpointAddress, Length, 0);
      return STATUS_INVALID_PARAMETER;
    }
    const ULONG64 needed = (static_cast<ULONG64>(Length) + maxPacket - 1) / maxPacket;
    if (Length == 0) Trace(TRACE_LEVEL_WARNING, TraceUsbIsoZeroLength, Pipe->EndpointAddress);
    ULONG64 planned = needed;
    if (m_HighSpeed != 0) {
      if (Pipe->Interval >= 1 && Pipe->Interval <= 4) {
        // Whole milliseconds: the bus driver takes only whole frames of packets.
        const ULONG perFrame = 8u >> (Pipe->Interval - 1);
        planned = (needed + perFrame - 1) / perFrame * perFrame;
      } else {
        Trace(TRACE_LEVEL_WARNING, TraceUsbIsoIntervalUnrounded, Pipe->EndpointAddress, Pipe->Interval, 1);
      }
    } else if (Pipe->Interval > 15) {
      Trace(TRACE_LEVEL_WARNING, TraceUsbIsoIntervalUnrounded, Pipe->EndpointAddress, Pipe->Interval, 0);
    }
    if (planned > kMaxIsoPackets) {
      // A URB list entry holds no more.
      Trace(TRACE_LEVEL_ERROR, TraceUsbTransferRejected, Pipe->EndpointAddress, Length, planned);
      return STATUS_INVALID_PARAMETER;
    }
    packets = static_cast<ULONG>(planned);
  }

  TransferContext* context = AllocateTransferContext();
  if (context == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceUsbTransferNoResources, Pipe->EndpointAddress, kMissingContext);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  context->Callback = Callback;
  context->CallbackContext = CallbackContext;
  context->Pipe = Pipe;
  context->BufferLength = Length;

  PURB urb = nullptr;
  if (isochronous) {
    urb = AllocateIsoUrb();
    if (urb != nullptr) {
      struct _URB_ISOCH_TRANSFER& iso = urb->UrbIsochronousTransfer;
      iso.Hdr.Length = static_cast<USHORT>(IsoUrbLength(packets));
      iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
      iso.PipeHandle = Pipe->PipeHandle;
      iso.StartFrame = StartFrame;
      iso.TransferBuffer = Buffer;
      iso.TransferBufferMDL = nullptr;
      iso.TransferFlags = TransferFlags;
      iso.TransferBufferLength = Length;
      iso.NumberOfPackets = packets;
      const bool in = (TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
      for (ULONG i = 0; i < packets; ++i) {
        // Packets added to fill whole frames lie empty at the buffer's end.
        const ULONG64 offset = static_cast<ULONG64>(i) * maxPacket;
        iso.IsoPacket[i].Offset = offset < Length ? static_cast<ULONG>(offset) : Length;
        const ULONG remaining = Length - iso.IsoPacket[i].Offset;
        iso.IsoPacket[i].Length = in ? 0 : (remaining < maxPacket ? remaining : maxPacket);
      }
    }
  } else {
    urb = static_cast<PURB>(AllocateDriverPool(kBulkUrbSize, kPoolTagDriver));
    if (urb != nullptr) {
      UsbBuildInterruptOrBulkTransferRequest(urb, static_cast<USHORT>(kBulkUrbSize), Pipe->PipeHandle, Buffer, nullptr,
                                             Length, TransferFlags | USBD_SHORT_TRANSFER_OK, nullptr);
    }
  }
  if (urb == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceUsbTransferNoResources, Pipe->EndpointAddress, kMissingUrb);
    ReleaseTransfer(context);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  context->Urb = urb;
  return SendTransfer(context, nullptr);
}

NTSTATUS CUSBCL::ReadTransfer(PUSBD_PIPE_INFORMATION Pipe, PVOID Buffer, ULONG Length, PUSB_TRANSFER_CALLBACK Callback,
                              PVOID CallbackContext) {
  return SubmitTransfer(Pipe, Buffer, Length, USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP, Callback,
                        CallbackContext, 0);
}

void CUSBCL::TraceIsoUrb(PURB Urb) {
  if (Urb == nullptr || Urb->UrbHeader.Function != URB_FUNCTION_ISOCH_TRANSFER) return;
  const struct _URB_ISOCH_TRANSFER& iso = Urb->UrbIsochronousTransfer;
  Trace(TRACE_LEVEL_ERROR, TraceUsbIsoUrb, iso.StartFrame, iso.NumberOfPackets, iso.ErrorCount, iso.Hdr.Status);
  const ULONG packets = IsoPacketsThatFit(iso);
  for (ULONG i = 0; i < packets; ++i) {
    Trace(TRACE_LEVEL_ERROR, TraceUsbIsoPacket, i, iso.IsoPacket[i].Offset, iso.IsoPacket[i].Length,
          iso.IsoPacket[i].Status);
  }
  if (iso.Hdr.Status == USBD_STATUS_BAD_START_FRAME && m_BusInterface.QueryBusTime != nullptr) {
    ULONG currentFrame = 0;
    const NTSTATUS status = m_BusInterface.QueryBusTime(m_BusInterface.BusContext, &currentFrame);
    Trace(TRACE_LEVEL_ERROR, TraceUsbIsoBadStartFrame, iso.StartFrame, currentFrame, status);
  }
}

NTSTATUS CUSBCL::TransferCompletion(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
  TransferContext* context = static_cast<TransferContext*>(Context);
  if (context == nullptr || context->Urb == nullptr || context->Owner == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceUsbCompletionWithoutContext, Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  CUSBCL* owner = context->Owner;
  PURB urb = context->Urb;
  const NTSTATUS irpStatus = Irp->IoStatus.Status;
  NTSTATUS status = owner->CheckCompletedTransfer(irpStatus, urb, context);
  const bool isochronous = urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER;
  const UCHAR endpoint = context->Pipe != nullptr ? context->Pipe->EndpointAddress : 0;

  ULONG bytes = 0;
  ULONG startFrame = 0;
  if (NT_SUCCESS(irpStatus) && NT_SUCCESS(status)) {
    if (isochronous) {
      struct _URB_ISOCH_TRANSFER& iso = urb->UrbIsochronousTransfer;
      if ((iso.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0) {
        PUCHAR buffer = static_cast<PUCHAR>(iso.TransferBuffer);
        if (buffer == nullptr && iso.TransferBufferMDL != nullptr) {
          buffer = static_cast<PUCHAR>(
              MmGetSystemAddressForMdlSafe(iso.TransferBufferMDL, static_cast<MM_PAGE_PRIORITY>(DriverPagePriority())));
        }
        if (buffer != nullptr) {
          bytes = CompactInPackets(iso, buffer, context->BufferLength);
        } else if (iso.TransferBufferLength != 0) {
          status = STATUS_INSUFFICIENT_RESOURCES;
        }
      } else {
        bytes = iso.TransferBufferLength;
      }
      startFrame = NT_SUCCESS(status) ? iso.StartFrame : 0;
      if (!NT_SUCCESS(status)) bytes = 0;
    } else {
      bytes = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    }
  }
  if (!NT_SUCCESS(irpStatus) || !NT_SUCCESS(status)) {
    Trace(TRACE_LEVEL_ERROR, TraceUsbTransferFailed, endpoint, irpStatus, status, urb->UrbHeader.Status);
    if (isochronous && !NT_SUCCESS(irpStatus)) owner->TraceIsoUrb(urb);
  }
  const ULONG frames =
      isochronous ? owner->PacketsToFrames(urb->UrbIsochronousTransfer.NumberOfPackets, context->Pipe) : 0;

  if (context->Callback != nullptr) context->Callback(status, bytes, startFrame, context->CallbackContext, frames);
  owner->FinishTransfer(Irp, context);
  // The IRP belongs to the pool, not to the I/O manager.
  return STATUS_MORE_PROCESSING_REQUIRED;
}

ULONG CUSBCL::PacketsToFrames(ULONG Packets, PUSBD_PIPE_INFORMATION Pipe) {
  if (Pipe == nullptr || Pipe->PipeType != UsbdPipeTypeIsochronous) {
    Trace(TRACE_LEVEL_WARNING, TraceUsbFramesNotIsochronous, Pipe != nullptr ? Pipe->PipeType : -1);
    return 0;
  }
  ULONG64 interval = Pipe->Interval;
  if (m_DeviceDescriptor.bcdUSB >= 0x0200) {
    // bInterval is an exponent from 1 to 16 for high-speed-capable devices.
    const ULONG exponent = Pipe->Interval == 0 ? 1 : (Pipe->Interval > 16 ? 16 : Pipe->Interval);
    interval = 1ULL << (exponent - 1);
  }
  ULONG64 frames = static_cast<ULONG64>(Packets) * interval;
  if (m_HighSpeed != 0) frames = (frames + 7) / 8;
  return frames > 0xFFFFFFFFULL ? 0xFFFFFFFFUL : static_cast<ULONG>(frames);
}
