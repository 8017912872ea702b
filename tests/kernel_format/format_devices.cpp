#include "format_devices.h"

#include "sim/usb/device/usb_constants.h"

namespace formattest {

using namespace sim::usb;

ConfigurationBuilder Uac2Device(const std::vector<Uac2Alt>& playback, const std::vector<Uac2Alt>& capture) {
  ConfigurationBuilder c(1, 0x80, 100);
  c.Interface(0, 0, kClassAudio, kSubclassAudioControl, kProtocolAudio20)
      .Ac2Header(0x08)
      .Ac2ClockSource(10, 0x03, 0x07)
      .Ac2InputTerminal(1, 0x0101, 10, 8)
      .Ac2OutputTerminal(3, 0x0301, 1, 10)
      .Ac2InputTerminal(4, 0x0201, 10, 8)
      .Ac2OutputTerminal(6, 0x0101, 4, 10);
  const struct {
    uint8_t number;
    uint8_t link;
    uint8_t endpoint;
    const std::vector<Uac2Alt>* alts;
  } kInterfaces[] = {{1, 1, 0x01, &playback}, {2, 6, 0x82, &capture}};
  for (const auto& itf : kInterfaces) {
    if (itf.alts->empty()) continue;
    c.Interface(itf.number, 0, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20);
    uint8_t alt = 1;
    for (const Uac2Alt& a : *itf.alts) {
      c.Interface(itf.number, alt++, kClassAudio, kSubclassAudioStreaming, kProtocolAudio20)
          .Ac2AsGeneral(itf.link, a.channels, a.bmFormats)
          .Ac2FormatTypeI(a.subslot, a.bits)
          .Endpoint(itf.endpoint, kXferIsochronous | kSyncAdaptive | kUsageData, a.wMaxPacketSize, a.bInterval)
          .Ac2EndpointGeneral();
    }
  }
  return c;
}

ConfigurationBuilder Uac1Device(const std::vector<Uac1Alt>& playback, const std::vector<Uac1Alt>& capture) {
  ConfigurationBuilder c(1, 0x80, 50);
  c.Interface(0, 0, kClassAudio, kSubclassAudioControl, 0);
  if (capture.empty()) {
    c.Ac1Header({1});
  } else {
    c.Ac1Header({1, 2});
  }
  c.Ac1InputTerminal(1, 0x0101, 2).Ac1OutputTerminal(3, 0x0301, 1);
  if (!capture.empty()) c.Ac1InputTerminal(4, 0x0201, 2).Ac1OutputTerminal(5, 0x0101, 4);
  const struct {
    uint8_t number;
    uint8_t link;
    uint8_t endpoint;
    uint8_t sync;
    const std::vector<Uac1Alt>* alts;
  } kInterfaces[] = {{1, 1, 0x01, kSyncAdaptive, &playback}, {2, 5, 0x82, kSyncAsync, &capture}};
  for (const auto& itf : kInterfaces) {
    if (itf.alts->empty()) continue;
    c.Interface(itf.number, 0, kClassAudio, kSubclassAudioStreaming, 0);
    uint8_t alt = 1;
    for (const Uac1Alt& a : *itf.alts) {
      c.Interface(itf.number, alt++, kClassAudio, kSubclassAudioStreaming, 0).Ac1AsGeneral(itf.link, 1, a.formatTag);
      if (a.continuous) {
        c.Ac1FormatTypeIContinuous(a.channels, a.subframe, a.bits, a.rates.at(0), a.rates.at(1));
      } else {
        c.Ac1FormatTypeI(a.channels, a.subframe, a.bits, a.rates);
      }
      c.AudioEndpoint(itf.endpoint, kXferIsochronous | itf.sync, a.wMaxPacketSize, 1, 0, 0)
          .Ac1EndpointGeneral(a.epAttributes);
    }
  }
  return c;
}

}  // namespace formattest
