// Runs the driver's format selection the way the device core does when a
// direction starts, reads back what it stored, and stops the direction again.
#include "tools/troxsim/inspect_formats.h"

#include <type_traits>

#include "platform.h"
#include "audiofunction/usb_audio_cl.h"
#include "tools/troxsim/inspect_print.h"
#include "tools/troxsim/json_writer.h"

namespace troxsim {
namespace {

// The rates the device core offers, lowest first.
constexpr ULONG kStandardRates[] = {8000,  11025,  16000,  22050,  32000,  44100,  48000, 88200,
                                    96000, 176400, 192000, 352800, 384000, 705600, 768000};
constexpr ULONG kPreferredRate = 48000;
// The device core's transfer lengths.
constexpr ULONG kRenderTransferMs = 8;
constexpr ULONG kCaptureTransferMs = 1;

// One call of whichever SelectStreamingFormat form the device core would use.
// The frame counts are only asked for with a real format: the empty one has
// no frame size to count in.
NTSTATUS Select(CUSBAudioCL& audio, bool implicit, UCHAR direction, USHORT type, ULONG channels, ULONG bits, ULONG rate,
                ULONG transferMs, ULONG* maxTransfer, DirectionSelection* into) {
  ULONG chosenChannels = 0, chosenBits = 0;
  if (!implicit) {
    return audio.SelectStreamingFormat(direction, type, channels, bits, rate, transferMs, &chosenChannels, &chosenBits,
                                       maxTransfer);
  }
  if (into == nullptr) {
    return audio.SelectStreamingFormat(direction, type, channels, bits, rate, transferMs, &chosenChannels, &chosenBits,
                                       nullptr, nullptr, nullptr, maxTransfer);
  }
  ULONG nominal = 0;
  LONG below = 0, above = 0;
  NTSTATUS status = audio.SelectStreamingFormat(direction, type, channels, bits, rate, transferMs, &chosenChannels,
                                                &chosenBits, &nominal, &below, &above, maxTransfer);
  if (NT_SUCCESS(status)) {
    into->nominalTransferBytes = nominal;
    into->framesBelow = below;
    into->framesAbove = above;
  }
  return status;
}

// GetBestFormat, ChooseAlternate and SelectStreamingFormat in turn, as far
// as they succeed; returns whether SelectStreamingFormat was called.
bool RunSteps(CUSBAudioCL& audio, StreamInterface* stream, bool implicit, USHORT type, ULONG rate,
              DirectionSelection& d) {
  const UCHAR direction = d.capture ? kDirectionCapture : kDirectionRender;
  auto fail = [&](const char* step, NTSTATUS status) {
    d.status = status;
    d.failedStep = step;
  };
  ULONG channels = 0, bits = 0;
  NTSTATUS status = audio.GetBestFormat(direction, type, rate, &channels, &bits);
  if (!NT_SUCCESS(status)) {
    fail("GetBestFormat", status);
    return false;
  }
  d.bestChannels = channels;
  d.bestBits = bits;

  ULONG chosenChannels = 0, chosenBits = 0, alternate = 0;
  status = audio.ChooseAlternate(stream, type, channels, bits, rate, &chosenChannels, &chosenBits, &alternate);
  if (!NT_SUCCESS(status)) {
    fail("ChooseAlternate", status);
    return false;
  }
  d.alternate = alternate;
  d.chosenChannels = chosenChannels;
  d.chosenBits = chosenBits;

  ULONG perMillisecond = 0;
  status = Select(audio, implicit, direction, type, channels, bits, rate, 1, &perMillisecond,
                  d.transferMs == 1 ? &d : nullptr);
  if (NT_SUCCESS(status)) {
    d.bytesPerFrame = stream->BytesPerFrame;
    d.nominalPacketBytes = stream->NominalPacketBytes;
    d.minimumPacketBytes = stream->MinimumPacketBytes;
    d.maximumPacketBytes = stream->MaximumPacketBytes;
    d.shortPacket = stream->ShortPacket != 0;
    d.bytesPerMillisecond = perMillisecond;
    ULONG perTransfer = perMillisecond;
    if (d.transferMs != 1) {
      status = Select(audio, implicit, direction, type, channels, bits, rate, d.transferMs, &perTransfer, &d);
    }
    if (NT_SUCCESS(status)) {
      d.bytesPerTransfer = perTransfer;
      d.nominalFeedback = audio.NominalFeedback(direction);
    }
  }
  if (!NT_SUCCESS(status)) fail("SelectStreamingFormat", status);
  return true;
}

DirectionSelection SelectDirection(CUSBAudioCL& audio, StreamInterface* stream, bool implicit, USHORT type,
                                   ULONG rate) {
  DirectionSelection d;
  d.capture = stream == audio.CaptureStream();
  d.interfaceNumber = stream->InterfaceNumber;
  d.transferMs = d.capture ? kCaptureTransferMs : kRenderTransferMs;
  const UCHAR direction = d.capture ? kDirectionCapture : kDirectionRender;
  if (RunSteps(audio, stream, implicit, type, rate, d)) {
    // Stop the direction even after a failure: a failed selection may
    // already have changed the alternate.
    ULONG ignored = 0;
    d.resetStatus = Select(audio, implicit, direction, 0, 0, 0, 0, d.transferMs, &ignored, nullptr);
  }
  d.alternateAfter = audio.GetCurrentAlternate(direction);
  return d;
}

std::string FormatName(uint16_t type) {
  switch (type) {
    case 1: return "pcm";
    case 3: return "float";
  }
  return std::to_string(type);
}

template <typename T>
void JsonOptional(JsonWriter& j, const char* name, const std::optional<T>& value) {
  j.Key(name);
  if (!value) {
    j.Null();
  } else if constexpr (std::is_same_v<T, bool>) {
    j.Bool(*value);
  } else {
    j.Number(static_cast<int64_t>(*value));
  }
}

}  // namespace

FormatReport CollectFormats(CUSBAudioCL& audio, const FormatRequest& request) {
  FormatReport r;
  r.formatType = request.formatType;
  r.implicitForm = audio.UsesImplicitFeedback() != FALSE;
  for (ULONG rate : kStandardRates) {
    if (NT_SUCCESS(audio.IsSampleRateSupported(rate))) r.supportedRates.push_back(rate);
  }
  if (request.rate) {
    r.rate = *request.rate;
  } else {
    bool preferred = false;
    for (uint32_t rate : r.supportedRates) preferred = preferred || rate == kPreferredRate;
    r.rateDefaulted = !preferred && !r.supportedRates.empty();
    r.rate = r.rateDefaulted ? r.supportedRates.front() : kPreferredRate;
  }
  for (StreamInterface* stream : {audio.PlaybackStream(), audio.CaptureStream()}) {
    if (stream != nullptr) r.directions.push_back(SelectDirection(audio, stream, r.implicitForm, r.formatType, r.rate));
  }
  return r;
}

void PrintFormatsText(std::ostream& out, const FormatReport& r) {
  out << "\nFormat selection at " << r.rate << " Hz"
      << (r.rateDefaulted ? " (the lowest supported rate; 48000 is not)" : "") << ", " << FormatName(r.formatType)
      << ", " << (r.implicitForm ? "implicit-feedback" : "plain") << " form:\n";
  out << "  Supported rates:";
  if (r.supportedRates.empty()) out << " none";
  for (size_t i = 0; i < r.supportedRates.size(); ++i) out << (i ? ", " : " ") << r.supportedRates[i];
  out << (r.supportedRates.empty() ? "\n" : " Hz\n");
  if (r.directions.empty()) out << "  No stream to select a format on\n";
  for (const DirectionSelection& d : r.directions) {
    out << "  " << (d.capture ? "capture" : "playback") << " (interface " << d.interfaceNumber << "): ";
    if (d.bestChannels) out << "best " << *d.bestChannels << " channels, " << *d.bestBits << " bits";
    if (d.alternate) {
      out << "; alternate " << *d.alternate << ", " << *d.chosenChannels << " channels, " << *d.chosenBits << " bits";
    }
    if (!d.failedStep.empty()) {
      out << (d.bestChannels ? "; " : "") << d.failedStep << " failed with " << StatusText(d.status);
    }
    out << "\n";
    if (d.bytesPerFrame) {
      out << "    F " << *d.bytesPerFrame << " bytes, E " << *d.nominalPacketBytes << " bytes, minimum "
          << *d.minimumPacketBytes << ", maximum " << *d.maximumPacketBytes << ", short packets "
          << (*d.shortPacket ? "yes" : "no") << "\n";
      out << "    per transfer: 1 ms " << *d.bytesPerMillisecond << " bytes";
      if (d.bytesPerTransfer && d.transferMs != 1)
        out << ", " << d.transferMs << " ms " << *d.bytesPerTransfer << " bytes";
      if (d.nominalTransferBytes) {
        out << " (nominal " << *d.nominalTransferBytes << ", frames " << *d.framesBelow << " to +" << *d.framesAbove
            << ")";
      }
      out << "\n";
      if (d.nominalFeedback) out << "    nominal feedback " << *d.nominalFeedback << " (16.16)\n";
    }
    if (d.resetStatus && *d.resetStatus < 0) {
      out << "    selecting the empty format again failed with " << StatusText(*d.resetStatus) << "\n";
    } else if (d.alternateAfter && *d.alternateAfter != 0) {
      out << "    still on alternate " << *d.alternateAfter << " after the empty format\n";
    }
  }
}

void JsonFormats(JsonWriter& j, const FormatReport& r) {
  j.Key("formatSelection")
      .BeginObject()
      .Member("rate", r.rate)
      .Member("rateDefaulted", r.rateDefaulted)
      .Member("format", FormatName(r.formatType))
      .Member("formatType", static_cast<uint32_t>(r.formatType))
      .Member("form", r.implicitForm ? "implicit feedback" : "plain");
  j.Key("supportedRates").BeginArray();
  for (uint32_t rate : r.supportedRates) j.Number(rate);
  j.EndArray();
  j.Key("directions").BeginArray();
  for (const DirectionSelection& d : r.directions) {
    j.BeginObject()
        .Member("direction", d.capture ? "in" : "out")
        .Member("role", d.capture ? "capture" : "playback")
        .Member("interface", d.interfaceNumber)
        .Member("status", StatusText(d.status));
    j.Key("failedStep");
    if (d.failedStep.empty()) {
      j.Null();
    } else {
      j.String(d.failedStep);
    }
    JsonOptional(j, "bestChannels", d.bestChannels);
    JsonOptional(j, "bestBits", d.bestBits);
    JsonOptional(j, "alternate", d.alternate);
    JsonOptional(j, "channels", d.chosenChannels);
    JsonOptional(j, "bits", d.chosenBits);
    JsonOptional(j, "bytesPerFrame", d.bytesPerFrame);
    JsonOptional(j, "nominalPacketBytes", d.nominalPacketBytes);
    JsonOptional(j, "minimumPacketBytes", d.minimumPacketBytes);
    JsonOptional(j, "maximumPacketBytes", d.maximumPacketBytes);
    JsonOptional(j, "shortPacket", d.shortPacket);
    JsonOptional(j, "bytesPerMillisecond", d.bytesPerMillisecond);
    j.Member("transferMs", d.transferMs);
    JsonOptional(j, "bytesPerTransfer", d.bytesPerTransfer);
    JsonOptional(j, "nominalTransferBytes", d.nominalTransferBytes);
    JsonOptional(j, "framesBelow", d.framesBelow);
    JsonOptional(j, "framesAbove", d.framesAbove);
    JsonOptional(j, "nominalFeedback", d.nominalFeedback);
    j.Key("resetStatus");
    if (d.resetStatus) {
      j.String(StatusText(*d.resetStatus));
    } else {
      j.Null();
    }
    JsonOptional(j, "alternateAfter", d.alternateAfter);
    j.EndObject();
  }
  j.EndArray().EndObject();
}

}  // namespace troxsim
