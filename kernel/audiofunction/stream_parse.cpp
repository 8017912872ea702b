// The audio-streaming interfaces that follow the audio-control interface,
// with the descriptors of every alternate setting.
#include "base/trace.h"
#include "audiofunction/audio_trace_events.h"
#include "audiofunction/descriptor_walk.h"
#include "audiofunction/uac_constants.h"
#include "audiofunction/usb_audio_cl.h"

namespace {

BOOLEAN IsEndpoint(const USB_COMMON_DESCRIPTOR* d) {
  return d->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE && d->bLength >= sizeof(USB_ENDPOINT_DESCRIPTOR);
}

// Walks the endpoint descriptors an interface declares: those before the
// next interface descriptor, at most bNumEndpoints of them.
class EndpointWalk {
 public:
  EndpointWalk(const DescriptorRange& range, const USB_INTERFACE_DESCRIPTOR* setting, const UCHAR* bound)
      : m_Range(range), m_Bound(bound), m_Left(setting->bNumEndpoints), m_At(DescriptorEnd(setting)) {}

  // The next complete endpoint descriptor, or null.
  const USB_ENDPOINT_DESCRIPTOR* Next() {
    while (m_Left > 0) {
      const USB_COMMON_DESCRIPTOR* d = FindDescriptor(m_Range, m_At, USB_ENDPOINT_DESCRIPTOR_TYPE);
      if (d == nullptr || reinterpret_cast<const UCHAR*>(d) >= m_Bound) {
        m_Left = 0;
        return nullptr;
      }
      m_At = DescriptorEnd(d);
      --m_Left;
      if (IsEndpoint(d)) {
        return reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(d);
      }
    }
    return nullptr;
  }

 private:
  const DescriptorRange& m_Range;
  const UCHAR* m_Bound;
  ULONG m_Left;
  const UCHAR* m_At;
};

// A class-specific descriptor between `from` and `bound` whose length holds
// what the format selection reads; null otherwise.
const UCHAR* FindBounded(const DescriptorRange& range, const UCHAR* from, const UCHAR* bound, UCHAR type,
                         UCHAR subtype) {
  const UCHAR* d = FindClassDescriptor(range, from, type, subtype);
  return (d != nullptr && d < bound) ? d : nullptr;
}

ULONG FormatTypeLength(const UCHAR* formatType, BOOLEAN class2) {
  if (formatType[0] < kUacFormatTypeOtherMinLength || formatType[3] != kUacFormatTypeI) {
    return kUacFormatTypeOtherMinLength;
  }
  if (class2) {
    return kUac2FormatTypeILength;
  }
  if (formatType[0] < kUac1FormatTypeIFixedLength) {
    return kUac1FormatTypeIFixedLength;
  }
  // bSamFreqType 0: a continuous range (two values); else that many rates.
  const ULONG rates = formatType[7] == 0 ? 2 : formatType[7];
  return kUac1FormatTypeIFixedLength + 3 * rates;
}

}  // namespace

NTSTATUS CUSBAudioCL::EnumerateStreamInterfaces() {
  const DescriptorRange range = ConfigurationRange(ConfigurationDescriptor());
  const UCHAR audioClass = AudioInterfaceClass();
  StreamInterface* tail = nullptr;
  for (ULONG number = static_cast<ULONG>(m_ControlInterface->bInterfaceNumber) + 1; number <= 0xFF; ++number) {
    if (FindInterface(range, range.Begin, static_cast<LONG>(number), 0, audioClass, kUacSubclassAudioStreaming) ==
        nullptr) {
      break;
    }
    StreamInterface* stream =
        static_cast<StreamInterface*>(AllocateDriverPool(sizeof(StreamInterface), kPoolTagDriver));
    if (stream == nullptr) {
      Trace(TRACE_LEVEL_ERROR, TraceAudioStreamAllocFailed, number, sizeof(StreamInterface));
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    KeInitializeSpinLock(&stream->FeedbackLock);
    stream->InterfaceNumber = static_cast<UCHAR>(number);
    NTSTATUS status = ParseStreamInterface(stream);
    if (!NT_SUCCESS(status)) {
      Trace(TRACE_LEVEL_ERROR, TraceAudioStreamParseFailed, number, status);
      if (stream->Alternates != nullptr) {
        FreeDriverPool(stream->Alternates, kPoolTagDriver);
      }
      FreeDriverPool(stream, kPoolTagDriver);
      return status;
    }
    if (tail == nullptr) {
      m_Streams = stream;
    } else {
      tail->Next = stream;
    }
    tail = stream;
    ++m_StreamCount;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CUSBAudioCL::ParseStreamInterface(StreamInterface* Stream) {
  const DescriptorRange range = ConfigurationRange(ConfigurationDescriptor());
  const UCHAR audioClass = AudioInterfaceClass();
  const LONG number = Stream->InterfaceNumber;

  const USB_INTERFACE_DESCRIPTOR* first =
      FindInterface(range, range.Begin, number, 1, audioClass, kUacSubclassAudioStreaming);
  if (first == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceAudioNoAlternate1, number);
    return STATUS_NOT_SUPPORTED;
  }
  const UCHAR* firstBound = NextInterfaceBoundary(range, reinterpret_cast<const UCHAR*>(first));
  const USB_COMMON_DESCRIPTOR* endpoint = FindDescriptor(range, DescriptorEnd(first), USB_ENDPOINT_DESCRIPTOR_TYPE);
  if (first->bNumEndpoints == 0 || endpoint == nullptr || reinterpret_cast<const UCHAR*>(endpoint) >= firstBound ||
      !IsEndpoint(endpoint)) {
    Trace(TRACE_LEVEL_ERROR, TraceAudioAlternate1NoEndpoint, number, first->bNumEndpoints);
    return STATUS_NOT_SUPPORTED;
  }
  // The direction is that of the first endpoint; an explicit feedback
  // endpoint written before the data endpoint runs the other way and does
  // not count.
  const USB_ENDPOINT_DESCRIPTOR* directionEndpoint = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(endpoint);
  EndpointWalk walk(range, first, firstBound);
  for (const USB_ENDPOINT_DESCRIPTOR* e = walk.Next(); e != nullptr; e = walk.Next()) {
    if (((e->bmAttributes >> 4) & 3) != 1) {
      directionEndpoint = e;
      break;
    }
  }
  Stream->Direction =
      (directionEndpoint->bEndpointAddress & USB_ENDPOINT_DIRECTION_MASK) ? kDirectionCapture : kDirectionRender;

  // Alternate settings are numbered without gaps: counting stops at the
  // first missing number.
  ULONG count = 2;
  while (count <= 0xFF && FindInterface(range, range.Begin, number, static_cast<LONG>(count), audioClass,
                                        kUacSubclassAudioStreaming) != nullptr) {
    ++count;
  }
  AltSetting* alternates = static_cast<AltSetting*>(AllocateDriverPool(sizeof(AltSetting) * count, kPoolTagDriver));
  if (alternates == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceAudioStreamAllocFailed, number, sizeof(AltSetting) * count);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  Stream->Alternates = alternates;
  Stream->AlternateCount = count;
  for (ULONG i = 0; i < count; ++i) {
    const USB_INTERFACE_DESCRIPTOR* setting =
        FindInterface(range, range.Begin, number, static_cast<LONG>(i), audioClass, kUacSubclassAudioStreaming);
    if (setting == nullptr) {
      Trace(TRACE_LEVEL_ERROR, TraceAudioAlternateMissing, number, i);
      FreeDriverPool(alternates, kPoolTagDriver);
      Stream->Alternates = nullptr;
      Stream->AlternateCount = 0;
      return STATUS_NOT_SUPPORTED;
    }
    ParseAlternate(Stream, i, setting);
  }
  Trace(TRACE_LEVEL_INFORMATION, TraceAudioStream, number, Stream->Direction, count);
  return STATUS_SUCCESS;
}

BOOLEAN CUSBAudioCL::EndpointUsable(const USB_ENDPOINT_DESCRIPTOR* Endpoint) const {
  if ((Endpoint->bmAttributes & USB_ENDPOINT_TYPE_MASK) != USB_ENDPOINT_TYPE_ISOCHRONOUS) {
    return TRUE;
  }
  return IsHighSpeed() ? Endpoint->bInterval < 5 : Endpoint->bInterval < 16;
}

void CUSBAudioCL::ParseAlternate(StreamInterface* Stream, ULONG Number, const USB_INTERFACE_DESCRIPTOR* Interface) {
  const DescriptorRange range = ConfigurationRange(ConfigurationDescriptor());
  AltSetting& alternate = Stream->Alternates[Number];
  alternate.Interface = Interface;
  if (Interface->bNumEndpoints == 0) {
    return;
  }
  const UCHAR* start = DescriptorEnd(Interface);
  const UCHAR* bound = NextInterfaceBoundary(range, reinterpret_cast<const UCHAR*>(Interface));

  const USB_ENDPOINT_DESCRIPTOR* data = nullptr;
  const USB_ENDPOINT_DESCRIPTOR* feedback = nullptr;
  if (m_Class2) {
    // Data (or implicit feedback data): usage bit 4 clear; explicit
    // feedback: usage 01.
    EndpointWalk walk(range, Interface, bound);
    for (const USB_ENDPOINT_DESCRIPTOR* e = walk.Next(); e != nullptr; e = walk.Next()) {
      if (!EndpointUsable(e)) {
        Trace(TRACE_LEVEL_WARNING, TraceAudioEndpointUnusable, Stream->InterfaceNumber, Number, e->bEndpointAddress,
              e->bInterval);
        continue;
      }
      if (data == nullptr && (e->bmAttributes & 0x10) == 0) {
        data = e;
      }
      if (feedback == nullptr && ((e->bmAttributes >> 4) & 3) == 1) {
        feedback = e;
      }
    }
  } else {
    // The first endpoint carries the data whatever its interval; the
    // feedback endpoint is the one its bSynchAddress names.
    EndpointWalk walk(range, Interface, bound);
    const USB_ENDPOINT_DESCRIPTOR* e = walk.Next();
    if (e != nullptr && (e->bmAttributes & 0x10) == 0) {
      data = e;
    }
    if (data != nullptr && data->bLength >= kUac1EndpointLength) {
      const UCHAR synchAddress = reinterpret_cast<const UCHAR*>(data)[8];
      EndpointWalk all(range, Interface, bound);
      for (e = all.Next(); e != nullptr; e = all.Next()) {
        // The data endpoint never doubles as its own feedback endpoint.
        if (e != data && EndpointUsable(e) &&
            (e->bmAttributes & USB_ENDPOINT_TYPE_ISOCHRONOUS_SYNCHRONIZATION_MASK) == 0 &&
            e->bEndpointAddress == synchAddress) {
          feedback = e;
          break;
        }
      }
    }
  }
  alternate.DataEndpoint = data;
  alternate.FeedbackEndpoint = feedback;

  const UCHAR* general = FindBounded(range, start, bound, kUacCsInterface, kUacAsGeneral);
  if (general != nullptr && general[0] < (m_Class2 ? kUac2AsGeneralLength : kUac1AsGeneralLength)) {
    Trace(TRACE_LEVEL_WARNING, TraceAudioDescriptorTooShort, Stream->InterfaceNumber, Number, kUacAsGeneral,
          general[0]);
    general = nullptr;
  }
  alternate.AsGeneral = general;

  const UCHAR* format = FindBounded(range, start, bound, kUacCsInterface, kUacAsFormatType);
  if (format != nullptr && format[0] < FormatTypeLength(format, m_Class2)) {
    Trace(TRACE_LEVEL_WARNING, TraceAudioDescriptorTooShort, Stream->InterfaceNumber, Number, kUacAsFormatType,
          format[0]);
    format = nullptr;
  }
  alternate.FormatType = format;

  if (data != nullptr) {
    const UCHAR* epGeneral = FindBounded(range, DescriptorEnd(data), bound, kUacCsEndpoint, kUacEpGeneral);
    if (epGeneral != nullptr && epGeneral[0] < (m_Class2 ? kUac2EpGeneralLength : kUac1EpGeneralLength)) {
      Trace(TRACE_LEVEL_WARNING, TraceAudioDescriptorTooShort, Stream->InterfaceNumber, Number, kUacEpGeneral,
            epGeneral[0]);
      epGeneral = nullptr;
    }
    alternate.EpGeneral = epGeneral;
  }
  Trace(TRACE_LEVEL_VERBOSE, TraceAudioAlternate, Stream->InterfaceNumber, Number,
        data != nullptr ? data->bEndpointAddress : 0, feedback != nullptr ? feedback->bEndpointAddress : 0);
}
