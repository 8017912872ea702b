// `troxsim usb`: plugs a simulated device into the simulated bus and shows what
// the bus sees: descriptors, alternate settings with their endpoints, and a few
// seconds of isochronous traffic submitted by the tool itself.
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/kernel/core/clock.h"
#include "tools/busclient/iso_streamer.h"
#include "tools/busclient/usb_test_client.h"
#include "sim/usb/device/descriptor_parser.h"
#include "tools/troxsim/bed_choice.h"
#include "tools/troxsim/commands.h"
#include "tools/troxsim/descriptor_printer.h"
#include "tools/troxsim/device_choice.h"
#include "tools/troxsim/usb_driver.h"
#include "tools/troxsim/options.h"
#include "tools/troxsim/progress_line.h"

namespace troxsim {
namespace {

constexpr uint16_t kLanguageEnglishUs = 0x0409;

std::string StringOf(trox::busclient::UsbTestClient& client, uint8_t index) {
  uint8_t buffer[256] = {};
  ULONG length = sizeof buffer;
  if (!NT_SUCCESS(client.GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, index, kLanguageEnglishUs, buffer, &length)) ||
      length < 2) {
    return "?";
  }
  std::string text;
  uint32_t end = buffer[0] < length ? buffer[0] : length;
  for (uint32_t i = 2; i + 1 < end; i += 2) {
    uint32_t c = buffer[i] | (buffer[i + 1] << 8);
    text += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
  }
  return text;
}

// A streaming direction the tool drives: its interface, alternate and format.
struct Direction {
  const sim::usb::InterfaceInfo* iface = nullptr;
  const sim::usb::AltSettingInfo* alt = nullptr;
  uint32_t frameBytes = 0;
};

Direction PickDirection(const sim::usb::AudioFunctionInfo& fn, bool in) {
  Direction best;
  for (const auto& iface : fn.interfaces) {
    for (const auto& alt : iface.alternates) {
      const sim::usb::EndpointInfo* data = alt.Data();
      if (!data || data->IsIn() != in || data->TransferType() != 1 || !alt.format.hasFormatType) continue;
      uint32_t frameBytes = alt.format.channels * alt.format.subslotBytes;
      if (frameBytes == 0) continue;
      // The first alternate of the first matching interface: the widest format is not needed here.
      if (!best.alt) best = {&iface, &alt, frameBytes};
    }
  }
  return best;
}

bool RateOffered(const sim::usb::AltSettingInfo* alt, uint32_t rate) {
  const auto& f = alt->format;
  if (f.rates.empty()) return true;  // Audio Class 2.0: the clock decides
  if (f.continuousRates) return f.rates.size() >= 2 && f.rates[0] <= rate && rate <= f.rates[1];
  for (uint32_t r : f.rates) {
    if (r == rate) return true;
  }
  return false;
}

uint32_t PickRate(const Direction& a, const Direction& b) {
  for (uint32_t rate : {48000u, 44100u, 96000u, 32000u, 16000u, 8000u}) {
    if ((!a.alt || RateOffered(a.alt, rate)) && (!b.alt || RateOffered(b.alt, rate))) return rate;
  }
  const Direction& d = a.alt ? a : b;
  return d.alt && !d.alt->format.rates.empty() ? d.alt->format.rates[0] : 48000;
}

// Programs the sample rate the way a class driver would: every programmable clock source of a
// 2.0 function, or the sampling-frequency control of each 1.0 data endpoint that has one.
void SetRate(trox::busclient::UsbTestClient& client, const sim::usb::AudioFunctionInfo& fn, uint32_t rate,
             const Direction& play, const Direction& rec) {
  if (fn.IsAudio20()) {
    for (const auto& [id, entity] : fn.entities) {
      if (entity.subtype != 0x0A || entity.bytes.size() < 6 || (entity.bytes[5] & 0x03) != 0x03) continue;
      uint8_t value[4] = {static_cast<uint8_t>(rate), static_cast<uint8_t>(rate >> 8), static_cast<uint8_t>(rate >> 16),
                          static_cast<uint8_t>(rate >> 24)};
      client.ClassRequest(0x21, 0x01, 0x0100, static_cast<USHORT>(id << 8 | fn.acInterfaceNumber), 4, value);
    }
    return;
  }
  for (const Direction* d : {&play, &rec}) {
    if (!d->alt || !d->alt->Data() || !d->alt->Data()->hasCsGeneral || !(d->alt->Data()->csAttributes & 1)) continue;
    uint8_t value[3] = {static_cast<uint8_t>(rate), static_cast<uint8_t>(rate >> 8), static_cast<uint8_t>(rate >> 16)};
    client.ClassRequest(0x22, 0x01, 0x0100, d->alt->Data()->address, 3, value);
  }
}

// Packets per millisecond of an isochronous endpoint.
uint32_t PacketsPerMs(const sim::usb::EndpointInfo* ep, bool highSpeed) {
  if (!highSpeed) return 1;
  uint32_t interval = ep->interval >= 1 && ep->interval <= 4 ? ep->interval : 1;
  return 8u >> (interval - 1);
}

// The descriptors as the bus reports them, then `seconds` of the tool's own
// isochronous traffic. Returns the exit code.
int ShowOnBus(PDEVICE_OBJECT pdo, sim::usb::UsbAudioDevice* device, double seconds, double drift) {
  const bool highSpeed = device->GetSpeed() == sim::usb::Speed::High;
  int result = 0;
  trox::busclient::UsbTestClient client(pdo);
  std::vector<uint8_t> deviceDescriptor(18);
  ULONG length = static_cast<ULONG>(deviceDescriptor.size());
  std::vector<uint8_t> configuration;
  if (!NT_SUCCESS(client.GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, deviceDescriptor.data(), &length)) ||
      length != 18 || !NT_SUCCESS(client.ReadConfiguration(&configuration))) {
    std::fprintf(stderr, "troxsim usb: reading the descriptors failed\n");
    return 1;
  }
  auto strings = [&client](uint8_t index) { return StringOf(client, index); };
  std::cout << "Device '" << device->Name() << "' on the simulated bus (" << (highSpeed ? "high" : "full")
            << " speed), drift " << drift << " ppm\n\n";
  PrintDeviceDescriptor(std::cout, deviceDescriptor, strings);
  PrintConfiguration(std::cout, configuration, highSpeed, strings);

  sim::usb::AudioFunctionInfo fn = sim::usb::ParseAudioFunction(deviceDescriptor, configuration);
  for (const auto& problem : fn.problems) std::cout << "  note: " << problem << "\n";

  Direction play = PickDirection(fn, false), rec = PickDirection(fn, true);
  if (device->Definition().playbackLengthHeader && play.alt) {
    std::cout << "\nPlayback on this device needs a per-packet length header; only capture is streamed.\n";
    play = {};
  }
  if (seconds <= 0 || (!play.alt && !rec.alt)) {
    std::cout << "\nNo isochronous traffic" << (seconds <= 0 ? " requested" : ": no streaming interface") << ".\n";
  } else if (!NT_SUCCESS(client.SelectConfiguration())) {
    std::cout << "\nSelecting the configuration failed.\n";
    result = 1;
  } else {
    uint32_t rate = PickRate(play, rec);
    SetRate(client, fn, rate, play, rec);
    trox::busclient::StreamerConfig config;
    config.highSpeed = highSpeed;
    config.rate = rate;
    for (Direction* d : {&play, &rec}) {
      if (d->alt && !NT_SUCCESS(client.SelectAlternate(d->iface->number, d->alt->alternate))) {
        std::cout << "Selecting interface " << int(d->iface->number) << " alternate " << int(d->alt->alternate)
                  << " failed.\n";
        *d = {};
      }
    }
    if (play.alt) {
      config.out = client.FindPipe(play.alt->Data()->address);
      config.frameBytes = play.frameBytes;
      if (play.alt->Feedback()) config.feedback = client.FindPipe(play.alt->Feedback()->address);
    }
    if (rec.alt) config.in = client.FindPipe(rec.alt->Data()->address);
    const sim::usb::EndpointInfo* timing = play.alt ? play.alt->Data() : rec.alt->Data();
    uint32_t packetsPerMs = PacketsPerMs(timing, highSpeed);
    config.packetsPerTransfer = packetsPerMs * 4;
    config.transfersInFlight = 4;
    bool implicit = rec.alt && rec.alt->Data()->Usage() == 0x20;
    config.sizing = config.feedback         ? trox::busclient::PacketSizing::ExplicitFeedback
                    : implicit && config.in ? trox::busclient::PacketSizing::Implicit
                                            : trox::busclient::PacketSizing::Nominal;
    const char* sizing = config.feedback ? "explicit feedback" : implicit ? "implicit feedback" : "nominal rate";
    std::cout << "\nStreaming " << seconds << " s at " << rate << " Hz: playback "
              << (play.alt ? "interface " + std::to_string(play.iface->number) + " alt " +
                                 std::to_string(play.alt->alternate)
                           : std::string("none"))
              << ", capture "
              << (rec.alt
                      ? "interface " + std::to_string(rec.iface->number) + " alt " + std::to_string(rec.alt->alternate)
                      : std::string("none"))
              << ", OUT packets sized by " << (play.alt ? sizing : "-") << "\n";

    trox::busclient::IsoStreamer streamer(client, config);
    streamer.Start();
    RunWithProgress("troxsim usb", seconds);
    // The device's view while data still flows: once the host stops sending, the device
    // plays its buffer empty and would count the silence after the last packet as underrun.
    sim::usb::StreamCounters playback;
    if (play.alt) playback = device->Counters(play.iface->number);
    bool stopped = streamer.Stop();
    trox::busclient::StreamerReport report = streamer.Report();

    std::cout << "Host: " << report.outTransfers << " OUT, " << report.inTransfers << " IN, "
              << report.feedbackTransfers << " feedback transfers; " << report.failedTransfers << " failed transfers, "
              << report.failedPackets << " failed packets" << (stopped ? "" : "; some transfers did not come back")
              << "\n";
    const double expected = rate * (1.0 + drift * 1e-6);
    const double intervalsPerSecond = 1000.0 * packetsPerMs;
    if (play.alt) {
      const sim::usb::StreamCounters& c = playback;
      std::cout << "Device playback: " << c.framesReceived << " frames received, " << c.framesConsumed << " played, "
                << c.underrunFrames << " underrun, " << c.overrunFrames << " overrun, " << c.feedbackPackets
                << " feedback values sent\n";
      if (report.feedbackValues) {
        std::printf("  rate from the last feedback value: %.3f Hz\n",
                    report.lastFeedback / 65536.0 * intervalsPerSecond);
      }
    }
    if (rec.alt) {
      std::cout << "Device capture: " << report.inPackets << " packets, sizes (bytes x count):";
      uint64_t bytes = 0, packets = 0;
      for (const auto& [size, count] : report.inPacketSizes) {
        std::cout << " " << size << " x " << count;
        bytes += uint64_t(size) * count;
        packets += count;
      }
      std::cout << "\n";
      if (packets) {
        double framesPerPacket = double(bytes) / rec.frameBytes / double(packets);
        uint32_t capturePacketsPerMs = PacketsPerMs(rec.alt->Data(), highSpeed);
        std::printf("  rate from the capture packets: %.3f Hz\n", framesPerPacket * 1000.0 * capturePacketsPerMs);
      }
    }
    std::printf("Device clock: %.3f Hz (%u Hz %+.1f ppm)\n", expected, rate, drift);
    if (!stopped) result = 1;
  }
  return result;
}

}  // namespace

int RunUsb(int argc, char** argv, int first) {
  Options options;
  std::string error;
  const std::vector<std::string> known = {"device", "descriptors", "speed", "seconds", "drift",
                                          "driver", "rate",        "time",  "seed"};
  if (!options.Parse(argc, argv, first, {"driver"}, &error, known)) {
    std::fprintf(stderr, "troxsim usb: %s\n", error.c_str());
    return 2;
  }
  if (auto unknown = options.Unknown(known); !unknown.empty()) {
    std::fprintf(stderr, "troxsim usb: unknown option --%s\n", unknown.front().c_str());
    return 2;
  }
  double seconds = 0, drift = 0;
  if (!options.GetNumber("seconds", 3, &seconds) || seconds < 0 || seconds > 600) {
    std::fprintf(stderr, "troxsim usb: --seconds takes a number from 0 to 600\n");
    return 2;
  }
  if (!options.GetNumber("drift", 50, &drift) || drift < -10000 || drift > 10000) {
    std::fprintf(stderr, "troxsim usb: --drift takes ppm from -10000 to 10000\n");
    return 2;
  }
  BedChoice bedChoice;
  if (!ParseBedChoice(options.Get("time"), options.Get("seed"), &bedChoice, &error)) {
    std::fprintf(stderr, "troxsim usb: %s\n", error.c_str());
    return 2;
  }
  DeviceChoice choice;
  choice.device = options.Get("device").value_or("");
  choice.descriptors = options.Get("descriptors").value_or("");
  choice.speed = options.Get("speed");
  std::string label;
  auto device = MakeDevice(choice, &label, &error);
  if (!device) {
    std::fprintf(stderr, "troxsim usb: %s\n", error.c_str());
    return 2;
  }
  device->SetDriftPpm(drift);
  if (options.Has("driver")) {
    UsbDriverOptions run;
    run.seconds = seconds;
    run.drift = drift;
    if (options.Has("rate")) {
      double rate = 0;
      if (!options.GetNumber("rate", 0, &rate) || rate < 1 || rate > 1e6 || rate != static_cast<uint32_t>(rate)) {
        std::fprintf(stderr, "troxsim usb: --rate takes a rate in Hz\n");
        return 2;
      }
      run.rate = static_cast<uint32_t>(rate);
    }
    CommandBed bed(bedChoice);
    int code = RunUsbThroughDriver(*bed, *device, label, run, std::cout, std::cerr);
    if (!bed.Close("troxsim usb", std::cerr)) code = 1;
    return code;
  }
  if (options.Has("rate")) {
    std::fprintf(stderr, "troxsim usb: --rate needs --driver\n");
    return 2;
  }
  CommandBed bed(bedChoice);
  PDEVICE_OBJECT pdo = bed->Plug(*device);
  if (!pdo) {
    std::fprintf(stderr, "troxsim usb: the bus did not take the device\n");
    bed.Close("troxsim usb", std::cerr);
    return 1;
  }
  int result = ShowOnBus(pdo, device.get(), seconds, drift);
  if (!bed->Unplug(pdo)) {
    std::fprintf(stderr, "troxsim usb: the device did not go away cleanly\n");
    result = 1;
  }
  if (!bed.Close("troxsim usb", std::cerr)) result = 1;
  return result;
}

}  // namespace troxsim
