#include "audiofunction/usb_audio_cl.h"

#include "base/trace.h"
#include "audiofunction/audio_clock.h"
#include "audiofunction/audio_quirks.h"
#include "audiofunction/audio_terminal.h"
#include "audiofunction/audio_trace_events.h"
#include "audiofunction/descriptor_walk.h"
#include "audiofunction/uac_constants.h"

CUSBAudioCL::CUSBAudioCL()
    : m_DeviceSampleRate(0),
      m_ShortPacketQuirk(0),
      m_PlaybackRateRow(nullptr),
      m_PlaybackPatternPosition(0),
      m_PlaybackPacketInterval(1),
      m_Class2(0),
      m_ControlInterface(nullptr),
      m_ControlHeader(nullptr),
      m_Entities(nullptr),
      m_StreamCount(0),
      m_Streams(nullptr),
      m_PlaybackStream(nullptr),
      m_CaptureStream(nullptr),
      m_SharedClock(0) {}

CUSBAudioCL::~CUSBAudioCL() {
  // Completions read the capture stream: none may be left when it goes.
  WaitForTransfers();
  FreeModel();
}

void CUSBAudioCL::FreeModel() {
  while (m_Streams != nullptr) {
    StreamInterface* stream = m_Streams;
    m_Streams = stream->Next;
    if (stream->Alternates != nullptr) {
      FreeDriverPool(stream->Alternates, kPoolTagDriver);
    }
    FreeDriverPool(stream, kPoolTagDriver);
  }
  while (m_Entities != nullptr) {
    CUSBAudioEntity* entity = m_Entities;
    m_Entities = entity->m_Next;
    delete entity;
  }
  m_StreamCount = 0;
  m_PlaybackStream = nullptr;
  m_CaptureStream = nullptr;
  m_SharedClock = 0;
  m_ControlInterface = nullptr;
  m_ControlHeader = nullptr;
  m_Class2 = 0;
}

UCHAR CUSBAudioCL::AudioInterfaceClass() const {
  return LookupAudioQuirks(m_DeviceDescriptor.idVendor, m_DeviceDescriptor.idProduct).InterfaceClass;
}

BOOLEAN CUSBAudioCL::HasPlaybackLengthHeader() const {
  return LookupAudioQuirks(m_DeviceDescriptor.idVendor, m_DeviceDescriptor.idProduct).PlaybackLengthHeader;
}

NTSTATUS CUSBAudioCL::Attach(PDEVICE_OBJECT LowerDevice, ULONG IrpPoolSize) {
  NTSTATUS status = CUSBCL::Attach(LowerDevice, IrpPoolSize);
  if (!NT_SUCCESS(status)) {
    Trace(TRACE_LEVEL_ERROR, TraceAudioUsbAttachFailed, status);
    return status;
  }
  FreeModel();
  const AudioDeviceQuirks quirks = LookupAudioQuirks(m_DeviceDescriptor.idVendor, m_DeviceDescriptor.idProduct);
  m_ShortPacketQuirk = quirks.ShortPackets ? 1 : 0;
  Trace(TRACE_LEVEL_INFORMATION, TraceAudioAttach, m_DeviceDescriptor.idVendor, m_DeviceDescriptor.idProduct,
        quirks.InterfaceClass);

  const DescriptorRange range = ConfigurationRange(ConfigurationDescriptor());
  const USB_INTERFACE_DESCRIPTOR* control =
      FindInterface(range, range.Begin, -1, 0, quirks.InterfaceClass, kUacSubclassAudioControl);
  if (control == nullptr) {
    Trace(TRACE_LEVEL_ERROR, TraceAudioNoControlInterface, quirks.InterfaceClass);
    return STATUS_NOT_SUPPORTED;
  }

  // The header must follow the interface directly and hold its total length.
  const UCHAR* header = reinterpret_cast<const UCHAR*>(DescriptorAt(range, DescriptorEnd(control)));
  if (header == nullptr || header[1] != kUacCsInterface || header[0] < 5 || header[2] != kUacAcHeader) {
    Trace(TRACE_LEVEL_ERROR, TraceAudioNoHeader, DescriptorEnd(control) - range.Begin,
          header != nullptr ? header[0] : 0, header != nullptr ? header[1] : 0,
          (header != nullptr && header[0] >= 3) ? header[2] : 0);
    return STATUS_NOT_SUPPORTED;
  }
  const BOOLEAN class2 = ReadLe16(header + 3) == kUacVersion2;
  if (header[0] < (class2 ? kUac2HeaderMinLength : kUac1HeaderMinLength)) {
    Trace(TRACE_LEVEL_ERROR, TraceAudioNoHeader, header - range.Begin, header[0], header[1], header[2]);
    return STATUS_NOT_SUPPORTED;
  }
  const ULONG total = class2 ? ReadLe16(header + 6) : ReadLe16(header + 5);
  const ULONG room = static_cast<ULONG>(NextInterfaceBoundary(range, reinterpret_cast<const UCHAR*>(control)) - header);
  if (total > room) {
    Trace(TRACE_LEVEL_ERROR, TraceAudioHeaderLengthBad, header - range.Begin, total, room);
    return STATUS_NOT_SUPPORTED;
  }
  m_ControlInterface = control;
  m_ControlHeader = header;
  m_Class2 = class2 ? 1 : 0;

  status = ParseEntities();
  if (NT_SUCCESS(status)) {
    status = CheckSourceChains();
  }
  if (NT_SUCCESS(status)) {
    status = EnumerateStreamInterfaces();
  }
  if (NT_SUCCESS(status)) {
    status = LinkStreamTerminals();
  }
  if (NT_SUCCESS(status)) {
    for (StreamInterface* stream = m_Streams; stream != nullptr; stream = stream->Next) {
      if (stream->Direction == kDirectionRender && m_PlaybackStream == nullptr) {
        m_PlaybackStream = stream;
      }
      if (stream->Direction == kDirectionCapture && m_CaptureStream == nullptr) {
        m_CaptureStream = stream;
      }
    }
    DecideSharedClock();
  }
  ULONG entities = 0;
  for (CUSBAudioEntity* entity = m_Entities; entity != nullptr; entity = entity->Next()) {
    ++entities;
  }
  Trace(NT_SUCCESS(status) ? TRACE_LEVEL_INFORMATION : TRACE_LEVEL_ERROR, TraceAudioAttachDone, status, m_Class2,
        m_StreamCount, entities);
  if (!NT_SUCCESS(status)) {
    // A model that failed is not half kept.
    FreeModel();
  }
  return status;
}

NTSTATUS CUSBAudioCL::LinkStreamTerminals() {
  for (StreamInterface* stream = m_Streams; stream != nullptr; stream = stream->Next) {
    const AltSetting* first = stream->Alternate(1);
    ULONG why = 0;
    ULONG link = 0;
    if (first == nullptr || first->AsGeneral == nullptr) {
      why = 1;
    } else {
      link = first->AsGeneral[3];
      CUSBAudioEntity* entity = FindEntity(link);
      if (entity == nullptr) {
        why = 2;
      } else if (!entity->IsTerminal()) {
        why = 3;
      } else {
        stream->Terminal = static_cast<CUSBAudioTerminal*>(entity);
        // The rate of a class 2.0 stream is set through its terminal's clock.
        if (m_Class2 && stream->Terminal->ClockEntity() == nullptr) {
          why = 4;
        }
      }
    }
    if (why != 0) {
      Trace(TRACE_LEVEL_ERROR, TraceAudioTerminalLinkBad, stream->InterfaceNumber, link, why);
      stream->Terminal = nullptr;
      return STATUS_NOT_SUPPORTED;
    }
  }
  return STATUS_SUCCESS;
}

void CUSBAudioCL::DecideSharedClock() {
  m_SharedClock = 0;
  if (m_PlaybackStream != nullptr && m_CaptureStream != nullptr) {
    m_SharedClock = !m_Class2 || m_PlaybackStream->Terminal->GetClockId() == m_CaptureStream->Terminal->GetClockId();
  }
  Trace(TRACE_LEVEL_INFORMATION, TraceAudioSharedClock, m_SharedClock,
        m_PlaybackStream != nullptr ? m_PlaybackStream->InterfaceNumber : 0xFFu,
        m_CaptureStream != nullptr ? m_CaptureStream->InterfaceNumber : 0xFFu);
}

CUSBAudioEntity* CUSBAudioCL::FindEntity(ULONG Id) const {
  for (CUSBAudioEntity* entity = m_Entities; entity != nullptr; entity = entity->Next()) {
    if (entity->GetId() == Id) {
      return entity;
    }
  }
  return nullptr;
}

ULONG CUSBAudioCL::CountTerminals() const {
  ULONG count = 0;
  for (CUSBAudioEntity* entity = m_Entities; entity != nullptr; entity = entity->Next()) {
    if (entity->IsTerminal()) {
      ++count;
    }
  }
  return count;
}

NTSTATUS CUSBAudioCL::AudioRequest(UCHAR RequestType, UCHAR Request, UCHAR Selector, UCHAR Channel, UCHAR EntityId,
                                   USHORT Length, PVOID Buffer) {
  const UCHAR control = m_ControlInterface != nullptr ? m_ControlInterface->bInterfaceNumber : 0;
  return ClassRequest(RequestType, Request, static_cast<USHORT>((Selector << 8) | Channel),
                      static_cast<USHORT>((EntityId << 8) | control), Length, Buffer);
}

NTSTATUS CUSBAudioCL::AudioReadAny(UCHAR Request, UCHAR Selector, UCHAR Channel, UCHAR EntityId, USHORT Length,
                                   PVOID Buffer, PULONG Returned) {
  *Returned = 0;
  if (Buffer == nullptr || Length == 0) {
    return STATUS_INVALID_PARAMETER;
  }
  const UCHAR control = m_ControlInterface != nullptr ? m_ControlInterface->bInterfaceNumber : 0;
  // ClassRequest cannot tell how much came back; answers of the device are
  // checked against their length, so this read builds its own request and
  // accepts a short answer to judge it.
  URB urb;
  RtlZeroMemory(&urb, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
  UsbBuildVendorRequest(
      &urb, URB_FUNCTION_CLASS_INTERFACE, static_cast<USHORT>(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)),
      USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0, Request, static_cast<USHORT>((Selector << 8) | Channel),
      static_cast<USHORT>((EntityId << 8) | control), Buffer, nullptr, Length, nullptr);
  NTSTATUS status = SubmitUrb(&urb);
  if (!NT_SUCCESS(status)) {
    Trace(TRACE_LEVEL_ERROR, TraceAudioRequestFailed, EntityId, (Request << 8) | Selector, status);
    return status;
  }
  const ULONG returned = urb.UrbControlVendorClassRequest.TransferBufferLength;
  *Returned = returned < Length ? returned : Length;
  return status;
}

NTSTATUS CUSBAudioCL::AudioRead(UCHAR Request, UCHAR Selector, UCHAR Channel, UCHAR EntityId, USHORT Length,
                                PVOID Buffer, ULONG Needed) {
  ULONG returned = 0;
  NTSTATUS status = AudioReadAny(Request, Selector, Channel, EntityId, Length, Buffer, &returned);
  if (NT_SUCCESS(status) && returned < Needed) {
    Trace(TRACE_LEVEL_ERROR, TraceAudioAnswerShort, EntityId, (Request << 8) | Selector, Needed, returned);
    status = STATUS_UNSUCCESSFUL;
  }
  return status;
}
