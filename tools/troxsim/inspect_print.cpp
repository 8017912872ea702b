// Text and JSON forms of the driver's model.
#include "tools/troxsim/inspect_print.h"

#include <cstdio>

#include "tools/troxsim/inspect_core.h"
#include "tools/troxsim/json_writer.h"

namespace troxsim {

std::string Hex(uint32_t value, int digits) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%0*X", digits, value);
  return buffer;
}

namespace {

std::string ClassVersion(const ModelReport& m) { return m.class2 ? "2.0" : "1.0"; }

std::string RateText(const AltReport& a) {
  if (a.ratesFrom.empty()) return "no rates";
  std::string text;
  if (a.continuous) {
    text = std::to_string(a.rateMinimum.value_or(0)) + " to " + std::to_string(a.rateMaximum.value_or(0)) + " Hz";
  } else {
    for (size_t i = 0; i < a.rates.size(); ++i) text += (i ? ", " : "") + std::to_string(a.rates[i]);
    text += " Hz";
  }
  return "rates " + text + (a.ratesFrom == "clock" ? " (from the clock)" : "");
}

std::string EndpointText(const EndpointReport& e) {
  return Hex(e.address, 2) + " " + e.transfer + " " + e.sync + ", " + e.usage + ", max packet " +
         std::to_string(e.maxPacket) + ", interval " + std::to_string(e.interval) + (e.usable ? "" : ", NOT USABLE");
}

void PrintClock(std::ostream& out, const ClockReport& c) {
  out << "      rate range ";
  if (c.minimum.Ok()) {
    out << c.minimum.value << " to " << c.maximum.value << " Hz";
  } else {
    out << "unreadable (" << StatusText(c.minimum.status) << ")";
  }
  out << ", current ";
  if (c.current.Ok()) {
    out << c.current.value << " Hz";
  } else {
    out << "unreadable (" << StatusText(c.current.status) << ")";
  }
  out << ", " << (c.valid ? "valid" : "not valid") << "\n";
}

void JsonReading(JsonWriter& j, const char* name, const Reading& r) {
  j.Key(name);
  if (r.Ok()) {
    j.Number(r.value);
  } else {
    j.Null();
  }
}

void JsonEndpoint(JsonWriter& j, const char* name, const std::optional<EndpointReport>& e) {
  j.Key(name);
  if (!e) {
    j.Null();
    return;
  }
  j.BeginObject()
      .Member("address", static_cast<uint32_t>(e->address))
      .Member("direction", (e->address & 0x80) ? "in" : "out")
      .Member("transfer", e->transfer)
      .Member("sync", e->sync)
      .Member("usage", e->usage)
      .Member("maxPacket", static_cast<uint32_t>(e->maxPacket))
      .Member("interval", static_cast<uint32_t>(e->interval))
      .Member("usable", e->usable)
      .EndObject();
}

template <typename T>
void JsonOptional(JsonWriter& j, const char* name, const std::optional<T>& value) {
  j.Key(name);
  if (value) {
    j.Number(static_cast<uint32_t>(*value));
  } else {
    j.Null();
  }
}

}  // namespace

std::string SessionFailureText(const streamcheck::DriverSession& session) {
  const std::string& step = session.FailedStep();
  const std::string status = StatusText(session.FailedStatus());
  if (step == "LoadDriver") return "the driver did not load (" + status + ")";
  if (step == "Plug") return "the bus did not take the device";
  if (step == "StartDevice") return "the device did not start (" + status + ")";
  if (step == "FunctionDevice") return "the driver made no device object for the device";
  return step + " failed (" + status + ")";
}

std::string StatusText(int32_t status) { return Hex(static_cast<uint32_t>(status), 8); }

void PrintModelText(std::ostream& out, const ModelReport& m) {
  out << "Device '" << m.device << "' (vendor " << Hex(m.vendorId, 4) << ", product " << Hex(m.productId, 4) << ", "
      << (m.highSpeed ? "high" : "full") << " speed) as the driver models it\n";
  out << "Audio Class " << ClassVersion(m) << " (bcdADC " << Hex(m.bcdAdc, 4) << "), audio control interface "
      << m.controlInterface << "\n";
  out << "Quirks: interface class " << Hex(m.quirks.interfaceClass, 2) << ", configure "
      << (m.quirks.configureAllInterfaces ? "all interfaces" : "audio interfaces only") << ", short packets "
      << (m.quirks.shortPackets ? "yes" : "no") << ", playback length header "
      << (m.quirks.playbackLengthHeader ? "yes" : "no") << "\n";
  out << "Shared clock: " << (m.sharedClock ? "yes" : "no") << "\n";

  out << "\nEntities (" << m.entities.size() << "):\n";
  for (const auto& e : m.entities) {
    out << "  " << e.name << ": " << e.kind;
    if (e.terminalType) out << " type " << Hex(*e.terminalType, 4);
    if (!e.sources.empty()) {
      out << ", source" << (e.sources.size() > 1 ? "s" : "");
      for (size_t i = 0; i < e.sources.size(); ++i) out << (i ? ", " : " ") << e.sources[i];
    }
    if (e.clockId) out << ", clock " << *e.clockId << (e.clockName ? " " + *e.clockName : std::string(" (missing)"));
    out << "\n";
    if (e.clock) PrintClock(out, *e.clock);
  }

  out << "\nStream interfaces (" << m.streams.size() << "):\n";
  for (const auto& s : m.streams) {
    out << "  Interface " << s.interfaceNumber << ": " << (s.capture ? "capture (IN)" : "playback (OUT)")
        << ", terminal " << (s.terminalName.empty() ? "?" : s.terminalName)
        << (s.playbackStream  ? ", the playback stream"
            : s.captureStream ? ", the capture stream"
                              : "")
        << ", " << s.alternates.size() << " alternate settings\n";
    for (const auto& a : s.alternates) {
      out << "    Alternate " << a.number << ": ";
      if (a.endpointCount == 0) {
        out << "no endpoints\n";
        continue;
      }
      if (a.hasFormat && a.formatType == 1) {
        out << "format type I, " << a.channels << " channels, subslot " << a.subslotBytes << " bytes, "
            << a.resolutionBits << " bits, " << RateText(a) << "\n";
      } else if (a.hasFormat) {
        out << "format type " << static_cast<int>(a.formatType) << "\n";
      } else {
        out << "no usable format descriptor\n";
      }
      out << "      data endpoint: " << (a.data ? EndpointText(*a.data) : "none") << "\n";
      if (a.feedback) out << "      feedback endpoint: " << EndpointText(*a.feedback) << "\n";
      if (a.selectStatus) {
        out << "      selected: ";
        if (*a.selectStatus < 0) {
          out << "failed (" << StatusText(*a.selectStatus) << ")";
        } else {
          out << "pipe interval " << a.pipeInterval.value_or(0) << ", max transfer " << a.pipeMaxPacket.value_or(0);
          if (a.feedbackPeriodMs) out << ", feedback period " << *a.feedbackPeriodMs << " ms";
        }
        out << "\n";
      }
    }
  }
  if (m.formats) PrintFormatsText(out, *m.formats);
  if (m.core) PrintDeviceCoreText(out, *m.core);
}

void PrintModelJson(std::ostream& out, const ModelReport& m) {
  JsonWriter j(out);
  j.BeginObject()
      .Member("device", m.device)
      .Member("accepted", true)
      .Member("vendorId", static_cast<uint32_t>(m.vendorId))
      .Member("productId", static_cast<uint32_t>(m.productId))
      .Member("speed", m.highSpeed ? "high" : "full")
      .Member("classVersion", ClassVersion(m))
      .Member("bcdADC", static_cast<uint32_t>(m.bcdAdc))
      .Member("controlInterface", m.controlInterface)
      .Member("sharedClock", m.sharedClock);
  j.Key("quirks")
      .BeginObject()
      .Member("interfaceClass", static_cast<uint32_t>(m.quirks.interfaceClass))
      .Member("configureAllInterfaces", m.quirks.configureAllInterfaces)
      .Member("shortPackets", m.quirks.shortPackets)
      .Member("playbackLengthHeader", m.quirks.playbackLengthHeader)
      .EndObject();
  j.Key("entities").BeginArray();
  for (const auto& e : m.entities) {
    j.BeginObject()
        .Member("id", e.id)
        .Member("name", e.name)
        .Member("kind", e.kind)
        .Member("subtype", static_cast<uint32_t>(e.subtype));
    j.Key("sources").BeginArray();
    for (uint32_t s : e.sources) j.Number(s);
    j.EndArray();
    JsonOptional(j, "terminalType", e.terminalType);
    JsonOptional(j, "clockId", e.clockId);
    j.Key("clockName");
    if (e.clockName) {
      j.String(*e.clockName);
    } else {
      j.Null();
    }
    j.Key("clock");
    if (e.clock) {
      j.BeginObject();
      JsonReading(j, "minimum", e.clock->minimum);
      JsonReading(j, "maximum", e.clock->maximum);
      JsonReading(j, "current", e.clock->current);
      j.Member("valid", e.clock->valid).EndObject();
    } else {
      j.Null();
    }
    j.EndObject();
  }
  j.EndArray();
  j.Key("streams").BeginArray();
  for (const auto& s : m.streams) {
    j.BeginObject()
        .Member("interface", s.interfaceNumber)
        .Member("direction", s.capture ? "in" : "out")
        .Member("role", s.playbackStream  ? "playback"
                        : s.captureStream ? "capture"
                                          : "none")
        .Member("terminalId", s.terminalId)
        .Member("terminal", s.terminalName);
    j.Key("alternates").BeginArray();
    for (const auto& a : s.alternates) {
      j.BeginObject().Member("number", a.number).Member("endpoints", static_cast<uint32_t>(a.endpointCount));
      j.Key("format");
      if (a.hasFormat) {
        j.BeginObject()
            .Member("formatType", static_cast<uint32_t>(a.formatType))
            .Member("formats", a.formats)
            .Member("channels", a.channels)
            .Member("subslotBytes", a.subslotBytes)
            .Member("resolutionBits", a.resolutionBits);
        j.Key("rates");
        if (a.ratesFrom.empty()) {
          j.Null();
        } else {
          j.BeginObject().Member("from", a.ratesFrom).Member("continuous", a.continuous);
          JsonOptional(j, "minimum", a.rateMinimum);
          JsonOptional(j, "maximum", a.rateMaximum);
          j.Key("discrete").BeginArray();
          for (uint32_t r : a.rates) j.Number(r);
          j.EndArray().EndObject();
        }
        j.EndObject();
      } else {
        j.Null();
      }
      JsonEndpoint(j, "dataEndpoint", a.data);
      JsonEndpoint(j, "feedbackEndpoint", a.feedback);
      j.Key("selected");
      if (a.selectStatus) {
        j.BeginObject().Member("status", StatusText(*a.selectStatus));
        JsonOptional(j, "pipeInterval", a.pipeInterval);
        JsonOptional(j, "pipeMaxTransfer", a.pipeMaxPacket);
        JsonOptional(j, "feedbackPeriodMs", a.feedbackPeriodMs);
        j.EndObject();
      } else {
        j.Null();
      }
      j.EndObject();
    }
    j.EndArray().EndObject();
  }
  j.EndArray();
  if (m.formats) JsonFormats(j, *m.formats);
  if (m.core) PrintDeviceCoreJson(j, *m.core);
  j.EndObject();
}

void PrintRefusalText(std::ostream& out, const std::string& device, const std::string& step, int32_t status) {
  out << "Device '" << device << "': the driver refused it: " << step << " failed with " << StatusText(status) << "\n";
}

void PrintRefusalJson(std::ostream& out, const std::string& device, const std::string& step, int32_t status) {
  JsonWriter j(out);
  j.BeginObject()
      .Member("device", device)
      .Member("accepted", false)
      .Member("failedStep", step)
      .Member("status", StatusText(status))
      .EndObject();
}

}  // namespace troxsim
