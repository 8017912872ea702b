// Decodes standard and Audio Class descriptors for people to read.
#include "tools/troxsim/descriptor_printer.h"

#include <cstdio>
#include <sstream>

namespace troxsim {
namespace {

// Bounds-checked little-endian reads: a field beyond the descriptor reads 0.
struct Bytes {
  const uint8_t* p;
  size_t n;
  uint32_t U8(size_t i) const { return i < n ? p[i] : 0; }
  uint32_t U16(size_t i) const { return U8(i) | (U8(i + 1) << 8); }
  uint32_t U24(size_t i) const { return U16(i) | (U8(i + 2) << 16); }
  uint32_t U32(size_t i) const { return U16(i) | (U16(i + 2) << 16); }
  bool Has(size_t len) const { return n >= len; }
};

std::string Hex(uint32_t v, int width) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%0*X", width, v);
  return buf;
}

std::string Bcd(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%X.%02X", (v >> 8) & 0xFF, v & 0xFF);
  return buf;
}

std::string Quoted(const StringLookup& strings, uint32_t index) {
  if (index == 0) return "none";
  std::string s = strings ? strings(static_cast<uint8_t>(index)) : std::string();
  return std::to_string(index) + " \"" + s + "\"";
}

std::string ChannelLabel(size_t channel) {
  return channel == 0 ? std::string(" master ") : " ch" + std::to_string(channel) + " ";
}

const char* TerminalTypeName(uint32_t t) {
  switch (t) {
    case 0x0101: return "USB streaming";
    case 0x01FF: return "USB vendor specific";
    case 0x0201: return "microphone";
    case 0x0203: return "headset microphone";
    case 0x0205: return "microphone array";
    case 0x0301: return "speaker";
    case 0x0302: return "headphones";
    case 0x0304: return "desktop speaker";
    case 0x0402: return "headset";
    case 0x0601: return "analog connector";
    case 0x0602: return "digital audio interface";
    case 0x0603: return "line connector";
    case 0x0605: return "S/PDIF interface";
    default: break;
  }
  if ((t >> 8) >= 2 && (t >> 8) <= 7) return "external/embedded terminal";
  return "unknown";
}

std::string EndpointText(const Bytes& d, bool highSpeed) {
  std::ostringstream o;
  uint32_t addr = d.U8(2), attr = d.U8(3), mps = d.U16(4), interval = d.U8(6);
  static const char* const kTypes[] = {"control", "isochronous", "bulk", "interrupt"};
  static const char* const kSync[] = {"no sync", "asynchronous", "adaptive", "synchronous"};
  static const char* const kUsage[] = {"data", "feedback", "implicit feedback data", "reserved usage"};
  o << "Endpoint " << Hex(addr, 2) << ((addr & 0x80) ? " IN " : " OUT ") << kTypes[attr & 3];
  if ((attr & 3) == 1) o << ", " << kSync[(attr >> 2) & 3] << ", " << kUsage[(attr >> 4) & 3];
  uint32_t size = mps & 0x7FF, mult = ((mps >> 11) & 3) + 1;
  o << ", max packet " << size;
  if (mult > 1) o << " x " << mult;
  o << ", bInterval " << interval;
  if ((attr & 3) == 1 || (attr & 3) == 3) {
    if (highSpeed) {
      uint32_t period = interval >= 1 && interval <= 16 ? 1u << (interval - 1) : 0;
      o << " (every " << period << " microframe" << (period == 1 ? "" : "s") << ")";
    } else {
      o << " (every " << interval << " ms)";
    }
  }
  if (d.n >= 9) o << ", bRefresh " << d.U8(7) << ", bSynchAddress " << Hex(d.U8(8), 2);
  return o.str();
}

// Audio-control interface descriptors.
std::string AudioControlText(const Bytes& d, bool v2, const StringLookup& strings) {
  std::ostringstream o;
  uint32_t sub = d.U8(2);
  if (sub == 1) {
    o << "AC header: bcdADC " << Bcd(d.U16(3)) << ", wTotalLength " << (v2 ? d.U16(6) : d.U16(5));
    if (!v2) {
      o << ", streaming interfaces";
      for (uint32_t i = 0; i < d.U8(7) && 8 + i < d.n; ++i) o << " " << d.U8(8 + i);
    }
    return o.str();
  }
  uint32_t id = d.U8(3);
  if (v2) {
    switch (sub) {
      case 0x02:
        o << "Input terminal " << id << ": " << Hex(d.U16(4), 4) << " (" << TerminalTypeName(d.U16(4))
          << "), clock " << d.U8(7) << ", " << d.U8(8) << " channels, bmControls " << Hex(d.U16(14), 4);
        return o.str();
      case 0x03:
        o << "Output terminal " << id << ": " << Hex(d.U16(4), 4) << " (" << TerminalTypeName(d.U16(4))
          << "), source " << d.U8(7) << ", clock " << d.U8(8) << ", bmControls " << Hex(d.U16(9), 4);
        return o.str();
      case 0x06: {
        o << "Feature unit " << id << ": source " << d.U8(4) << ", controls";
        size_t channels = d.n >= 6 ? (d.n - 6) / 4 : 0;
        for (size_t c = 0; c < channels; ++c) o << ChannelLabel(c) << Hex(d.U32(5 + 4 * c), 8);
        return o.str();
      }
      case 0x0A: {
        static const char* const kKind[] = {"external", "internal fixed", "internal variable", "internal programmable"};
        o << "Clock source " << id << ": " << kKind[d.U8(4) & 3] << (d.U8(4) & 4 ? ", synced to SOF" : "")
          << ", bmControls " << Hex(d.U8(5), 2) << ", name " << Quoted(strings, d.U8(7));
        return o.str();
      }
      case 0x0B: {
        uint32_t pins = d.U8(4);
        o << "Clock selector " << id << ": inputs";
        for (uint32_t i = 0; i < pins; ++i) o << " " << d.U8(5 + i);
        o << ", bmControls " << Hex(d.U8(5 + pins), 2);
        return o.str();
      }
      case 0x0C: o << "Clock multiplier " << id << ": source " << d.U8(4); return o.str();
      case 0x04: o << "Mixer unit " << id; return o.str();
      case 0x05: o << "Selector unit " << id; return o.str();
      case 0x07: o << "Effect unit " << id; return o.str();
      case 0x08: o << "Processing unit " << id; return o.str();
      case 0x09: o << "Extension unit " << id; return o.str();
      case 0x0D: o << "Sample rate converter " << id; return o.str();
      default: break;
    }
  } else {
    switch (sub) {
      case 0x02:
        o << "Input terminal " << id << ": " << Hex(d.U16(4), 4) << " (" << TerminalTypeName(d.U16(4)) << "), "
          << d.U8(7) << " channels, wChannelConfig " << Hex(d.U16(8), 4);
        return o.str();
      case 0x03:
        o << "Output terminal " << id << ": " << Hex(d.U16(4), 4) << " (" << TerminalTypeName(d.U16(4))
          << "), source " << d.U8(7);
        return o.str();
      case 0x06: {
        uint32_t size = d.U8(5);
        o << "Feature unit " << id << ": source " << d.U8(4) << ", control size " << size << ", controls";
        size_t channels = size && d.n >= 7 ? (d.n - 7) / size : 0;
        for (size_t c = 0; c < channels; ++c) {
          uint32_t v = 0;
          for (uint32_t b = 0; b < size && b < 4; ++b) v |= d.U8(6 + c * size + b) << (8 * b);
          o << ChannelLabel(c) << Hex(v, 2 * (size < 4 ? size : 4));
        }
        return o.str();
      }
      case 0x04: o << "Mixer unit " << id; return o.str();
      case 0x05: o << "Selector unit " << id; return o.str();
      case 0x07: o << "Processing unit " << id; return o.str();
      case 0x08: o << "Extension unit " << id; return o.str();
      default: break;
    }
  }
  o << "Audio control descriptor, subtype " << Hex(sub, 2) << ", " << d.n << " bytes";
  return o.str();
}

std::string RateList(const Bytes& d, size_t at, uint32_t count) {
  std::ostringstream o;
  if (count == 0) {
    o << d.U24(at) << ".." << d.U24(at + 3) << " Hz (continuous)";
  } else {
    for (uint32_t i = 0; i < count; ++i) o << (i ? ", " : "") << d.U24(at + 3 * i);
    o << " Hz";
  }
  return o.str();
}

std::string AudioStreamingText(const Bytes& d, bool v2) {
  std::ostringstream o;
  uint32_t sub = d.U8(2);
  if (sub == 1) {
    if (v2) {
      o << "AS general: terminal link " << d.U8(3) << ", format type " << d.U8(5) << ", bmFormats "
        << Hex(d.U32(6), 8) << ", " << d.U8(10) << " channels";
    } else {
      o << "AS general: terminal link " << d.U8(3) << ", delay " << d.U8(4) << ", wFormatTag " << Hex(d.U16(5), 4);
    }
    return o.str();
  }
  if (sub == 2) {
    if (v2) {
      o << "Format type " << d.U8(3) << ": subslot " << d.U8(4) << " bytes, " << d.U8(5) << " bits";
    } else {
      o << "Format type " << d.U8(3) << ": " << d.U8(4) << " channels, subframe " << d.U8(5) << " bytes, "
        << d.U8(6) << " bits, rates " << RateList(d, 8, d.U8(7));
    }
    return o.str();
  }
  o << "Audio streaming descriptor, subtype " << Hex(sub, 2) << ", " << d.n << " bytes";
  return o.str();
}

}  // namespace

void PrintDeviceDescriptor(std::ostream& out, const std::vector<uint8_t>& device, const StringLookup& strings) {
  Bytes d{device.data(), device.size()};
  if (!d.Has(18)) {
    out << "Device descriptor: only " << d.n << " bytes\n";
    return;
  }
  out << "Device descriptor: USB " << Bcd(d.U16(2)) << ", class " << Hex(d.U8(4), 2) << "/" << Hex(d.U8(5), 2)
      << "/" << Hex(d.U8(6), 2) << ", ep0 max packet " << d.U8(7) << "\n"
      << "  vendor " << Hex(d.U16(8), 4) << ", product " << Hex(d.U16(10), 4) << ", release " << Bcd(d.U16(12))
      << ", configurations " << d.U8(17) << "\n"
      << "  manufacturer " << Quoted(strings, d.U8(14)) << ", product " << Quoted(strings, d.U8(15))
      << ", serial " << Quoted(strings, d.U8(16)) << "\n";
}

void PrintConfiguration(std::ostream& out, const std::vector<uint8_t>& configuration, bool highSpeed,
                        const StringLookup& strings) {
  Bytes all{configuration.data(), configuration.size()};
  if (!all.Has(9)) {
    out << "Configuration descriptor: only " << all.n << " bytes\n";
    return;
  }
  out << "Configuration " << all.U8(5) << ": " << all.U8(4) << " interfaces, wTotalLength " << all.U16(2)
      << ", attributes " << Hex(all.U8(7), 2) << ", max power " << all.U8(8) * 2 << " mA\n";
  bool v2 = false;
  uint32_t subclass = 0;
  size_t pos = 0;
  while (pos + 2 <= all.n) {
    uint32_t len = all.U8(pos), type = all.U8(pos + 1);
    if (len < 2 || pos + len > all.n) {
      out << "  (descriptor at offset " << pos << " has bLength " << len << ": the rest is not decoded)\n";
      break;
    }
    Bytes d{all.p + pos, len};
    switch (type) {
      case 2: break;  // the configuration itself, printed above
      case 4:
        subclass = d.U8(6);
        out << "  Interface " << d.U8(2) << " alt " << d.U8(3) << ": class " << Hex(d.U8(5), 2) << " subclass "
            << Hex(subclass, 2) << " protocol " << Hex(d.U8(7), 2) << ", " << d.U8(4) << " endpoints";
        if (d.U8(8)) out << ", name " << Quoted(strings, d.U8(8));
        out << "\n";
        break;
      case 5: out << "    " << EndpointText(d, highSpeed) << "\n"; break;
      case 0x0B:
        out << "  Interface association: first " << d.U8(2) << ", count " << d.U8(3) << ", class "
            << Hex(d.U8(4), 2) << "/" << Hex(d.U8(5), 2) << "\n";
        break;
      case 0x24:
        if (subclass == 1) {
          if (d.U8(2) == 1) v2 = d.U16(3) >= 0x0200;
          out << "    " << AudioControlText(d, v2, strings) << "\n";
        } else if (subclass == 2) {
          out << "    " << AudioStreamingText(d, v2) << "\n";
        } else {
          out << "    Class-specific interface descriptor, " << len << " bytes\n";
        }
        break;
      case 0x25:
        if (v2) {
          out << "    EP general: bmAttributes " << Hex(d.U8(3), 2) << ", bmControls " << Hex(d.U8(4), 2)
              << ", lock delay " << d.U16(6) << "\n";
        } else {
          out << "    EP general: bmAttributes " << Hex(d.U8(3), 2)
              << (d.U8(3) & 1 ? " (sampling frequency control)" : "") << ", lock delay " << d.U16(5) << "\n";
        }
        break;
      default: out << "    Descriptor type " << Hex(type, 2) << ", " << len << " bytes\n"; break;
    }
    pos += len;
  }
}

}  // namespace troxsim
