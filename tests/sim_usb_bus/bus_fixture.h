// The testbed's bus with the default device model plugged in, and a client
// on its PDO, for the bus tests.
#pragma once

#include <gtest/gtest.h>
#include <usbdlib.h>

#include <memory>
#include <vector>

#include "sim/usb/bus/usb_bus.h"
#include "tools/busclient/usb_test_client.h"
#include "sim/usb/device/device_models.h"
#include "testbed_test.h"

namespace sim::usb::test {

using trox::busclient::UsbTestClient;

// Where the streaming endpoints of a configuration are.
struct StreamLayout {
  uint8_t playbackInterface = 0, playbackAlt = 0, playbackEndpoint = 0, feedbackEndpoint = 0;
  uint8_t captureInterface = 0, captureAlt = 0, captureEndpoint = 0;
};

inline StreamLayout FindStreams(const std::vector<uint8_t>& config) {
  StreamLayout s;
  uint8_t iface = 0, alt = 0;
  for (size_t i = 0; i + 2 <= config.size() && config[i] >= 2; i += config[i]) {
    if (config[i + 1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
      iface = config[i + 2];
      alt = config[i + 3];
    } else if (config[i + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE && alt != 0) {
      uint8_t address = config[i + 2], attributes = config[i + 3];
      if ((attributes & 3) != USB_ENDPOINT_TYPE_ISOCHRONOUS) continue;
      uint8_t usage = attributes & 0x30;
      if (!(address & 0x80) && s.playbackEndpoint == 0) {
        s.playbackInterface = iface;
        s.playbackAlt = alt;
        s.playbackEndpoint = address;
      } else if ((address & 0x80) && usage == 0x10 && iface == s.playbackInterface && alt == s.playbackAlt) {
        s.feedbackEndpoint = address;
      } else if ((address & 0x80) && usage != 0x10 && s.captureEndpoint == 0) {
        s.captureInterface = iface;
        s.captureAlt = alt;
        s.captureEndpoint = address;
      }
    }
  }
  return s;
}

class UsbBusTest : public trox::test::TestbedTest {
 protected:
  void SetUp() override {
    TestbedTest::SetUp();
    Plug(kDefaultModel);
  }

  void Plug(const std::string& model) {
    device_ = CreateModel(model);
    ASSERT_NE(device_, nullptr);
    bus_ = &Bed().Bus();
    pdo_ = Bed().Plug(*device_);
    ASSERT_NE(pdo_, nullptr);
    client_ = std::make_unique<UsbTestClient>(pdo_);
  }

  // The testbed's teardown unplugs the device and checks for leaks.
  void TearDown() override {
    client_.reset();
    TestbedTest::TearDown();
    device_.reset();
  }

  void Configure() {
    ASSERT_EQ(client_->ReadConfiguration(&config_), STATUS_SUCCESS);
    ASSERT_EQ(client_->SelectConfiguration(), STATUS_SUCCESS);
    layout_ = FindStreams(config_);
  }

  DeviceSlot* Slot() { return bus_->Slot(pdo_); }

  std::unique_ptr<UsbAudioDevice> device_;
  UsbBus* bus_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
  std::unique_ptr<UsbTestClient> client_;
  std::vector<uint8_t> config_;
  StreamLayout layout_;
};

// An isochronous URB of n packets with room for its buffer.
struct IsoUrb {
  std::vector<uint8_t> urb;
  std::vector<uint8_t> data;
  IsoUrb(uint32_t packets, uint32_t bytes) : urb(GET_ISO_URB_SIZE(packets)), data(bytes ? bytes : 1) {
    auto& iso = Get()->UrbIsochronousTransfer;
    iso.Hdr.Length = static_cast<USHORT>(urb.size());
    iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    iso.NumberOfPackets = packets;
    iso.TransferBuffer = data.data();
    iso.TransferBufferLength = bytes;
  }
  PURB Get() { return reinterpret_cast<PURB>(urb.data()); }
  struct _URB_ISOCH_TRANSFER& Iso() {
    return Get()->UrbIsochronousTransfer;
  }
};

}  // namespace sim::usb::test
