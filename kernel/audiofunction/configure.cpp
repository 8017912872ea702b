// Configuration of the audio function and the pipes of the selected
// alternate settings.
#include "base/trace.h"
#include "audiofunction/audio_quirks.h"
#include "audiofunction/audio_trace_events.h"
#include "audiofunction/usb_audio_cl.h"

namespace {

constexpr ULONG kFeedbackPeriodMin = 4;
constexpr ULONG kFeedbackPeriodMax = 1024;

// 2 to the power `exponent`, saturating above the largest feedback period;
// 0 for a negative exponent.
ULONG PowerOfTwo(LONG exponent) {
  if (exponent < 0) {
    return 0;
  }
  return exponent > 11 ? kFeedbackPeriodMax * 2 : (1u << exponent);
}

}  // namespace

NTSTATUS CUSBAudioCL::Configure() {
  if (m_ControlInterface == nullptr) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  const AudioDeviceQuirks quirks = LookupAudioQuirks(m_DeviceDescriptor.idVendor, m_DeviceDescriptor.idProduct);
  PUSBD_INTERFACE_LIST_ENTRY list = nullptr;
  LONG entries = 0;
  if (quirks.ConfigureAllInterfaces) {
    list = CreateInterfaceList(&entries);
  } else {
    // The audio-control interface and alternate 0 of every stream, ended
    // by an empty entry.
    const SIZE_T size = sizeof(USBD_INTERFACE_LIST_ENTRY) * (static_cast<SIZE_T>(m_StreamCount) + 2);
    list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(AllocateDriverPool(size, kPoolTagDriver));
    if (list != nullptr) {
      list[entries++].InterfaceDescriptor = const_cast<PUSB_INTERFACE_DESCRIPTOR>(m_ControlInterface);
      for (StreamInterface* stream = m_Streams; stream != nullptr; stream = stream->Next) {
        list[entries++].InterfaceDescriptor = const_cast<PUSB_INTERFACE_DESCRIPTOR>(stream->Alternates[0].Interface);
      }
    }
  }
  if (list == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceAudioConfigureFailed, 1, STATUS_INSUFFICIENT_RESOURCES, 0);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  NTSTATUS status = ConfigurationRequest(list, entries);
  if (quirks.ConfigureAllInterfaces) {
    FreeInterfaceList(list);
  } else {
    FreeDriverPool(list, kPoolTagDriver);
  }
  if (!NT_SUCCESS(status)) {
    Trace(TRACE_LEVEL_ERROR, TraceAudioConfigureFailed, 2, status, entries);
    return status;
  }
  for (StreamInterface* stream = m_Streams; stream != nullptr; stream = stream->Next) {
    stream->CurrentAlternate = 0;
    status = SelectAlternate(stream->InterfaceNumber, 0);
    if (!NT_SUCCESS(status)) {
      Trace(TRACE_LEVEL_ERROR, TraceAudioConfigureFailed, 3, status, stream->InterfaceNumber);
      return status;
    }
  }
  return UpdatePipes();
}

NTSTATUS CUSBAudioCL::UpdatePipes() {
  NTSTATUS status = STATUS_SUCCESS;
  for (StreamInterface* stream = m_Streams; stream != nullptr; stream = stream->Next) {
    RefreshPipes(stream, &status);
  }
  return status;
}

void CUSBAudioCL::RefreshPipes(StreamInterface* Stream, NTSTATUS* Status) {
  // The new pipes are worked out first and then published, each with one
  // write: a stream that keeps its alternate setting keeps its pipes
  // throughout, and no submission ever sees a pipe field null in between.
  const AltSetting* alternate = Stream->Current();
  PUSBD_PIPE_INFORMATION data = nullptr;
  PUSBD_PIPE_INFORMATION feedback = nullptr;
  if (alternate != nullptr && alternate->DataEndpoint != nullptr) {
    data = FindPipe(alternate->DataEndpoint->bEndpointAddress);
    if (data == nullptr) {
      Trace(TRACE_LEVEL_ERROR, TraceAudioPipeMissing, Stream->InterfaceNumber, Stream->CurrentAlternate,
            alternate->DataEndpoint->bEndpointAddress);
      *Status = STATUS_NOT_SUPPORTED;
    } else {
      CheckPipeInterval(data);
    }
  }
  if (alternate != nullptr && alternate->FeedbackEndpoint != nullptr) {
    feedback = FindPipe(alternate->FeedbackEndpoint->bEndpointAddress);
    if (feedback == nullptr) {
      Trace(TRACE_LEVEL_ERROR, TraceAudioPipeMissing, Stream->InterfaceNumber, Stream->CurrentAlternate,
            alternate->FeedbackEndpoint->bEndpointAddress);
      *Status = STATUS_NOT_SUPPORTED;
    } else {
      CheckPipeInterval(feedback);
    }
  }
  InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&Stream->DataPipe), data);
  InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&Stream->FeedbackPipe), feedback);
  if (feedback != nullptr) {
    Stream->FeedbackPeriod = FeedbackPeriod(Stream);
    Trace(TRACE_LEVEL_VERBOSE, TraceAudioFeedbackPeriod, Stream->InterfaceNumber,
          alternate->FeedbackEndpoint->bEndpointAddress, Stream->FeedbackPeriod);
  }
}

void CUSBAudioCL::CheckPipeInterval(PUSBD_PIPE_INFORMATION Pipe) {
  if (Pipe->PipeType != UsbdPipeTypeIsochronous) {
    return;
  }
  const ULONG found = Pipe->Interval;
  ULONG used = found;
  if (IsHighSpeed()) {
    used = found == 0 ? 1 : (found > 4 ? 4 : found);
  } else {
    used = 1;
  }
  if (used != found) {
    Trace(TRACE_LEVEL_WARNING, TraceAudioPipeInterval, Pipe->EndpointAddress, found, used);
    Pipe->Interval = static_cast<UCHAR>(used);
  }
}

ULONG CUSBAudioCL::FeedbackPeriod(const StreamInterface* Stream) const {
  const PUSBD_PIPE_INFORMATION pipe = Stream->FeedbackPipe;
  ULONG period = 0;
  if (m_Class2) {
    period = PowerOfTwo(static_cast<LONG>(pipe->Interval) - 1);
    if (IsHighSpeed()) {
      period /= 8;
    }
  } else {
    const USB_ENDPOINT_DESCRIPTOR* endpoint = Stream->Current()->FeedbackEndpoint;
    if (endpoint->bLength >= 9) {
      period = PowerOfTwo(reinterpret_cast<const UCHAR*>(endpoint)[7]);  // bRefresh
    } else {
      period = pipe->Interval;
    }
  }
  if (period < kFeedbackPeriodMin) {
    return kFeedbackPeriodMin;
  }
  return period > kFeedbackPeriodMax ? kFeedbackPeriodMax : period;
}
