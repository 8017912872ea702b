// Reads the driver's audio function model through its public API.
#include "tools/troxsim/inspect_model.h"

#include "platform.h"
#include "audiofunction/audio_clock.h"
#include "audiofunction/audio_quirks.h"
#include "audiofunction/audio_terminal.h"
#include "audiofunction/usb_audio_cl.h"

namespace troxsim {
namespace {

uint16_t Word(const UCHAR* d, ULONG offset) { return static_cast<uint16_t>(d[offset] | d[offset + 1] << 8); }

std::string NameOf(CUSBAudioEntity* entity) {
  char buffer[64] = {};
  if (!NT_SUCCESS(entity->GetName(buffer, sizeof buffer))) return "?";
  buffer[sizeof buffer - 1] = '\0';
  return buffer;
}

std::string KindOf(UCHAR subtype, bool class2) {
  switch (subtype) {
    case 0x02: return "input terminal";
    case 0x03: return "output terminal";
    case 0x04: return "mixer unit";
    case 0x05: return "selector unit";
    case 0x06: return "feature unit";
  }
  if (class2) {
    switch (subtype) {
      case 0x07: return "effect unit";
      case 0x08: return "processing unit";
      case 0x09: return "extension unit";
      case 0x0A: return "clock source";
      case 0x0B: return "clock selector";
      case 0x0C: return "clock multiplier";
      case 0x0D: return "sample rate converter";
    }
  } else {
    switch (subtype) {
      case 0x07: return "processing unit";
      case 0x08: return "extension unit";
    }
  }
  return "unit";
}

EntityReport ReadEntity(CUSBAudioEntity* entity, bool class2) {
  EntityReport r;
  r.id = entity->GetId();
  r.name = NameOf(entity);
  r.subtype = entity->Subtype();
  r.kind = KindOf(r.subtype, class2);
  if (entity->IsClockSelector()) {
    auto* selector = static_cast<CUSBAudioClockSelector*>(entity);
    for (ULONG i = 0; i < selector->InputCount(); ++i) r.sources.push_back(selector->GetSourceId(i));
  } else if (ULONG source = entity->GetSourceId(0); source != kNoEntity) {
    // Units with one input (feature unit, output terminal); the others report none.
    r.sources.push_back(source);
  }
  if (entity->IsTerminal()) {
    auto* terminal = static_cast<CUSBAudioTerminal*>(entity);
    r.terminalType = entity->DescriptorLength() >= 6 ? Word(entity->Descriptor(), 4) : 0;
    if (ULONG clockId = terminal->GetClockId(); clockId != kNoEntity) r.clockId = clockId;
    if (terminal->ClockEntity() != nullptr) r.clockName = NameOf(terminal->ClockEntity());
  }
  if (entity->IsClock()) {
    auto* clock = static_cast<CUSBAudioClock*>(entity);
    ClockReport c;
    ULONG minimum = 0, maximum = 0, current = 0;
    NTSTATUS status = clock->GetRange(&minimum, &maximum, 0, 0xFFFFFFFF);
    c.minimum = {status, minimum};
    c.maximum = {status, maximum};
    status = clock->GetCurrentRate(&current);
    c.current = {status, current};
    c.valid = clock->IsValid() != FALSE;
    r.clock = c;
  }
  return r;
}

const char* TransferOf(UCHAR attributes) {
  static const char* const kNames[] = {"control", "isochronous", "bulk", "interrupt"};
  return kNames[attributes & 3];
}

// `role` names the endpoint in a 1.0 function, whose endpoints carry no usage bits.
EndpointReport ReadEndpoint(const USB_ENDPOINT_DESCRIPTOR* e, bool highSpeed, bool class2, const char* role) {
  static const char* const kSync[] = {"none", "asynchronous", "adaptive", "synchronous"};
  static const char* const kUsage[] = {"data", "feedback", "implicit feedback data", "reserved"};
  EndpointReport r;
  r.address = e->bEndpointAddress;
  r.maxPacket = e->wMaxPacketSize;
  r.interval = e->bInterval;
  r.attributes = e->bmAttributes;
  r.transfer = TransferOf(e->bmAttributes);
  r.sync = kSync[(e->bmAttributes >> 2) & 3];
  r.usage = class2 ? kUsage[(e->bmAttributes >> 4) & 3] : role;
  // The driver never streams through an isochronous endpoint polled less
  // often than this; it skips such endpoints in a 2.0 function.
  r.usable = (e->bmAttributes & 3) != 1 || (highSpeed ? e->bInterval < 5 : e->bInterval < 16);
  return r;
}

void ReadFormat(AltReport& a, const AltSetting& alt, bool class2) {
  if (alt.AsGeneral != nullptr) {
    a.hasAsGeneral = true;
    a.terminalLink = alt.AsGeneral[3];
    if (class2) {
      a.formats = static_cast<uint32_t>(alt.AsGeneral[6]) | alt.AsGeneral[7] << 8 | alt.AsGeneral[8] << 16 |
                  static_cast<uint32_t>(alt.AsGeneral[9]) << 24;
      a.channels = alt.AsGeneral[10];
    } else {
      a.formats = Word(alt.AsGeneral, 5);
    }
  }
  const UCHAR* f = alt.FormatType;
  if (f == nullptr) return;
  a.hasFormat = true;
  a.formatType = f[3];
  if (f[3] != 1) return;  // only type I carries the fields below
  if (class2) {
    a.subslotBytes = f[4];
    a.resolutionBits = f[5];
    return;
  }
  a.channels = f[4];
  a.subslotBytes = f[5];
  a.resolutionBits = f[6];
  a.ratesFrom = "format";
  auto rate = [f](ULONG i) { return static_cast<uint32_t>(f[8 + 3 * i] | f[9 + 3 * i] << 8 | f[10 + 3 * i] << 16); };
  if (f[7] == 0) {
    a.continuous = true;
    a.rateMinimum = rate(0);
    a.rateMaximum = rate(1);
  } else {
    for (ULONG i = 0; i < f[7]; ++i) a.rates.push_back(rate(i));
  }
}

// Selects `number` as streaming start would and reads the pipes the driver
// takes from it.
void ReadPipes(CUSBAudioCL& audio, StreamInterface* stream, AltReport& a) {
  NTSTATUS status = audio.SelectAlternate(stream->InterfaceNumber, static_cast<UCHAR>(a.number));
  a.selectStatus = status;
  if (!NT_SUCCESS(status)) return;
  stream->CurrentAlternate = a.number;
  stream->FeedbackPeriod = 0;
  a.selectStatus = status = audio.UpdatePipes();
  if (stream->DataPipe != nullptr) {
    a.pipeInterval = stream->DataPipe->Interval;
    a.pipeMaxPacket = stream->DataPipe->MaximumPacketSize;
  }
  if (stream->FeedbackPipe != nullptr) a.feedbackPeriodMs = stream->FeedbackPeriod;
}

}  // namespace

ModelReport CollectModel(CUSBAudioCL& audio) {
  ModelReport m;
  const USB_DEVICE_DESCRIPTOR& device = audio.DeviceDescriptor();
  m.vendorId = device.idVendor;
  m.productId = device.idProduct;
  m.highSpeed = audio.IsHighSpeed() != FALSE;
  m.class2 = audio.IsClass2() != FALSE;
  if (audio.ControlHeader() != nullptr) m.bcdAdc = Word(audio.ControlHeader(), 3);
  if (audio.ControlInterface() != nullptr) m.controlInterface = audio.ControlInterface()->bInterfaceNumber;
  for (CUSBAudioEntity* e = audio.Entities(); e != nullptr; e = e->Next())
    m.entities.push_back(ReadEntity(e, m.class2));

  for (StreamInterface* s = audio.Streams(); s != nullptr; s = s->Next) {
    StreamReport r;
    r.interfaceNumber = s->InterfaceNumber;
    r.capture = s->Direction == kDirectionCapture;
    r.playbackStream = s == audio.PlaybackStream();
    r.captureStream = s == audio.CaptureStream();
    std::optional<uint32_t> clockMinimum, clockMaximum;
    if (s->Terminal != nullptr) {
      r.terminalId = s->Terminal->GetId();
      r.terminalName = NameOf(s->Terminal);
      if (m.class2 && s->Terminal->ClockEntity() != nullptr) {
        ULONG minimum = 0, maximum = 0;
        if (NT_SUCCESS(s->Terminal->ClockEntity()->GetRange(&minimum, &maximum, 0, 0xFFFFFFFF))) {
          clockMinimum = minimum;
          clockMaximum = maximum;
        }
      }
    }
    bool selected = false;
    for (ULONG i = 0; i < s->AlternateCount; ++i) {
      const AltSetting& alt = s->Alternates[i];
      AltReport a;
      a.number = i;
      a.endpointCount = alt.Interface != nullptr ? alt.Interface->bNumEndpoints : 0;
      ReadFormat(a, alt, m.class2);
      if (m.class2 && a.hasFormat && a.formatType == 1 && clockMinimum) {
        a.ratesFrom = "clock";
        a.continuous = true;
        a.rateMinimum = clockMinimum;
        a.rateMaximum = clockMaximum;
      }
      if (alt.DataEndpoint != nullptr) a.data = ReadEndpoint(alt.DataEndpoint, m.highSpeed, m.class2, "data");
      if (alt.FeedbackEndpoint != nullptr)
        a.feedback = ReadEndpoint(alt.FeedbackEndpoint, m.highSpeed, m.class2, "feedback");
      if (alt.EpGeneral != nullptr) {
        a.hasEpGeneral = true;
        a.epControls = alt.EpGeneral[3];
      }
      if (i > 0 && alt.DataEndpoint != nullptr) {
        ReadPipes(audio, s, a);
        selected = true;
      }
      r.alternates.push_back(std::move(a));
    }
    if (selected && NT_SUCCESS(audio.SelectAlternate(s->InterfaceNumber, 0))) s->CurrentAlternate = 0;
    m.streams.push_back(std::move(r));
  }
  audio.UpdatePipes();

  m.sharedClock = audio.HasSharedClock() != FALSE;
  const AudioDeviceQuirks quirks = LookupAudioQuirks(device.idVendor, device.idProduct);
  m.quirks.interfaceClass = audio.AudioInterfaceClass();
  m.quirks.configureAllInterfaces = quirks.ConfigureAllInterfaces != FALSE;
  m.quirks.shortPackets = audio.HasShortPacketQuirk() != FALSE;
  m.quirks.playbackLengthHeader = audio.HasPlaybackLengthHeader() != FALSE;
  return m;
}

}  // namespace troxsim
