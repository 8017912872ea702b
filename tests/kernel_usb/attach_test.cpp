// Attach, descriptors and strings against simulated devices, the built-in
// models and deliberately faulty descriptor sets.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "sim/usb/device/descriptor_builder.h"
#include "sim/usb/device/device_models.h"
#include "usb_harness.h"

using namespace usbtest;
using sim::usb::ConfigurationBuilder;

namespace {

std::string Narrow(const UsbString& s) {
  std::string out;
  for (ULONG i = 0; i < s.CharacterCount(); ++i) out += static_cast<char>(s.Characters()[i]);
  return out;
}

std::vector<uint8_t> DeviceDescriptor(uint16_t bcdUSB = 0x0200) {
  sim::usb::DeviceDescriptorFields f;
  f.bcdUSB = bcdUSB;
  f.bDeviceClass = 0xFF;
  f.idVendor = 0x1234;
  f.idProduct = 0x5678;
  return sim::usb::BuildDeviceDescriptor(f);
}

// One vendor interface with an isochronous endpoint in alternate setting 1.
ConfigurationBuilder SimpleConfiguration() {
  ConfigurationBuilder c;
  c.Interface(0, 0, 0xFF, 0, 0).Interface(0, 1, 0xFF, 0, 0).Endpoint(0x81, 0x05, 192, 1);
  return c;
}

NTSTATUS AttachWith(const std::vector<uint8_t>& config) {
  Harness h(FromDescriptors(DeviceDescriptor(), config));
  return h.AttachStatus();
}

}  // namespace

TEST(UsbAttach, EveryBuiltInModelAttachesConfiguresAndStreams) {
  for (const sim::usb::ModelInfo& model : sim::usb::ListModels()) {
    SCOPED_TRACE(model.name);
    Harness h(Model(model.name.c_str()), Configured());
    ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
    CUSBCL& usb = h.Usb();
    EXPECT_EQ(+usb.DeviceDescriptor().idVendor, model.vendorId);
    EXPECT_EQ(+usb.DeviceDescriptor().idProduct, model.productId);
    EXPECT_EQ(usb.IsHighSpeed() != 0, model.speed == sim::usb::Speed::High);
    const auto& config = h.Device().ConfigurationDescriptor();
    ASSERT_NE(usb.ConfigurationDescriptor(), nullptr);
    ASSERT_EQ(+usb.ConfigurationDescriptor()->wTotalLength, static_cast<int>(config.size()));
    EXPECT_EQ(0, memcmp(usb.ConfigurationDescriptor(), config.data(), config.size()));
    EXPECT_NE(h.Device().CurrentConfiguration(), 0);

    UsbString serial;
    ASSERT_EQ(usb.GetSerialNumber(&serial, 0), STATUS_SUCCESS);
    EXPECT_EQ(Narrow(serial), h.Device().SerialNumber());

    // Alternate setting 1 of every streaming interface makes its data pipe
    // visible; a capture pipe delivers data.
    for (const auto& itf : h.Device().Function().interfaces) {
      const auto* alt = itf.Find(1);
      if (alt == nullptr || alt->Data() == nullptr) continue;
      ASSERT_EQ(usb.SelectAlternate(itf.number, 1), STATUS_SUCCESS);
      EXPECT_EQ(h.Device().CurrentAlternate(itf.number), 1);
      PUSBD_PIPE_INFORMATION pipe = usb.FindPipe(alt->Data()->address);
      ASSERT_NE(pipe, nullptr);
      EXPECT_EQ(pipe->MaximumPacketSize, alt->Data()->MaxPacketBytes());
      if (!alt->Data()->IsIn()) continue;
      const ULONG packets = usb.IsHighSpeed() ? 16 : 4;
      std::vector<UCHAR> buffer(packets * pipe->MaximumPacketSize);
      Completion done;
      ASSERT_EQ(usb.ReadTransfer(pipe, buffer.data(), static_cast<ULONG>(buffer.size()), Completion::Callback, &done),
                STATUS_SUCCESS);
      ASSERT_TRUE(done.Wait());
      EXPECT_EQ(done.status, STATUS_SUCCESS);
      EXPECT_GT(done.bytes, 0u);
      EXPECT_LE(done.bytes, buffer.size());
      EXPECT_EQ(done.frames, usb.PacketsToFrames(packets, pipe));
      ASSERT_EQ(usb.SelectAlternate(itf.number, 0), STATUS_SUCCESS);
    }
  }
}

TEST(UsbAttach, StalledLanguageListFailsAttach) {
  Harness h(FromDescriptors(DeviceDescriptor(), SimpleConfiguration().Build()), NotAttached());
  h.Device().StallControl({.bmRequestType = 0x80, .bRequest = 6, .wValue = 0x0300, .wIndex = {}, .once = false});
  const NTSTATUS status = h.Attach();
  EXPECT_FALSE(NT_SUCCESS(status));
  EXPECT_GE(h.Device().GetDeviceCounters().injectedStalls, 1u);
  UsbString s;
  EXPECT_EQ(h.Usb().GetStringDescriptor(1, &s, 0), STATUS_INVALID_DEVICE_REQUEST);
}

TEST(UsbAttach, MalformedConfigurationsFailCleanly) {
  {
    SCOPED_TRACE("descriptor with bLength 0");
    ConfigurationBuilder c = SimpleConfiguration();
    c.Raw({0x00, 0x24, 0x01});
    EXPECT_EQ(AttachWith(c.Build()), STATUS_NOT_SUPPORTED);
  }
  {
    SCOPED_TRACE("descriptor running past wTotalLength");
    ConfigurationBuilder c = SimpleConfiguration();
    c.Raw({0x20, 0x24, 0x01, 0x02});
    EXPECT_EQ(AttachWith(c.Build()), STATUS_NOT_SUPPORTED);
  }
  {
    SCOPED_TRACE("wTotalLength cutting the endpoint descriptor");
    ConfigurationBuilder c = SimpleConfiguration();
    c.OverrideTotalLength(static_cast<uint16_t>(c.Size() - 3));
    EXPECT_EQ(AttachWith(c.Build()), STATUS_NOT_SUPPORTED);
  }
  {
    SCOPED_TRACE("wTotalLength below 9");
    ConfigurationBuilder c = SimpleConfiguration();
    c.OverrideTotalLength(5);
    EXPECT_EQ(AttachWith(c.Build()), STATUS_NOT_SUPPORTED);
  }
  {
    SCOPED_TRACE("wTotalLength beyond what the device returns");
    ConfigurationBuilder c = SimpleConfiguration();
    c.OverrideTotalLength(static_cast<uint16_t>(c.Size() + 40));
    EXPECT_EQ(AttachWith(c.Build()), STATUS_NOT_SUPPORTED);
  }
  {
    SCOPED_TRACE("endpoint descriptor shorter than 7 bytes");
    ConfigurationBuilder c;
    c.Interface(0, 0, 0xFF, 0, 0).Raw({0x05, 0x05, 0x81, 0x05, 0xC0});
    EXPECT_EQ(AttachWith(c.Build()), STATUS_NOT_SUPPORTED);
  }
  {
    SCOPED_TRACE("short device descriptor");
    std::vector<uint8_t> device = DeviceDescriptor();
    device.resize(12);
    Harness h(FromDescriptors(device, SimpleConfiguration().Build()));
    EXPECT_FALSE(NT_SUCCESS(h.AttachStatus()));
  }
}

// Devices ship interfaces whose bNumEndpoints differs from the endpoint
// descriptors that follow: they attach, and nothing reads past the
// interface's own descriptors.
TEST(UsbAttach, EndpointCountsThatLie) {
  for (uint8_t claimed : {0, 1, 3, 255}) {
    SCOPED_TRACE(claimed);
    ConfigurationBuilder c;
    c.Interface(0, 0, 0xFF, 0, 0).Interface(0, 1, 0xFF, 0, 0);
    const size_t alt1 = c.LastOffset();
    c.Endpoint(0x01, 0x05, 192, 1).Endpoint(0x81, 0x11, 4, 1);
    c.Interface(1, 0, 0xFF, 0, 0);
    c.Auto().numEndpoints = false;
    c.Patch8(alt1 + 4, claimed);
    Harness h(FromDescriptors(DeviceDescriptor(), c.Build()));
    ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
    LONG count = -1;
    PUSBD_INTERFACE_LIST_ENTRY list = h.Usb().CreateInterfaceList(&count);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(h.Usb().ConfigurationRequest(list, count), STATUS_SUCCESS);
    CUSBCL::FreeInterfaceList(list);
    // Selecting the alternate succeeds or fails cleanly; a pipe it reports
    // is one of the interface's own endpoints.
    if (NT_SUCCESS(h.Usb().SelectAlternate(0, 1))) {
      for (UCHAR address : {0x01, 0x81, 0x02, 0x82}) {
        PUSBD_PIPE_INFORMATION pipe = h.Usb().FindPipe(address);
        if (pipe != nullptr) {
          EXPECT_TRUE(address == 0x01 || address == 0x81);
        }
      }
    }
  }
}

TEST(UsbAttach, InterfaceCountThatLies) {
  {
    SCOPED_TRACE("bNumInterfaces above what is present: only present interfaces are listed");
    ConfigurationBuilder c = SimpleConfiguration();
    c.Auto().numInterfaces = false;
    c.Patch8(4, 5);
    Harness h(FromDescriptors(DeviceDescriptor(), c.Build()));
    ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
    LONG count = -1;
    PUSBD_INTERFACE_LIST_ENTRY list = h.Usb().CreateInterfaceList(&count);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(list[1].InterfaceDescriptor, nullptr);
    EXPECT_EQ(h.Usb().ConfigurationRequest(list, count), STATUS_SUCCESS);
    CUSBCL::FreeInterfaceList(list);
    EXPECT_EQ(h.Usb().SelectAlternate(0, 1), STATUS_SUCCESS);
    EXPECT_NE(h.Usb().FindPipe(0x81), nullptr);
  }
  {
    SCOPED_TRACE("bNumInterfaces 0: nothing to configure");
    ConfigurationBuilder c = SimpleConfiguration();
    c.Auto().numInterfaces = false;
    c.Patch8(4, 0);
    Harness h(FromDescriptors(DeviceDescriptor(), c.Build()));
    ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
    LONG count = -1;
    EXPECT_EQ(h.Usb().CreateInterfaceList(&count), nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(h.Usb().SelectAlternate(0, 1), STATUS_UNSUCCESSFUL);
  }
}

TEST(UsbStrings, ReadsEmptyAndRejectsWhatCannotBeAsked) {
  sim::usb::DeviceDefinition d;
  d.name = "strings";
  d.deviceDescriptor = DeviceDescriptor();
  d.configurationDescriptor = SimpleConfiguration().Build();
  d.strings = {{1, "Maker"}, {2, ""}, {3, "SN-7"}};
  Harness h(std::make_unique<sim::usb::UsbAudioDevice>(std::move(d)));
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  CUSBCL& usb = h.Usb();

  UsbString s;
  ASSERT_EQ(usb.GetStringDescriptor(1, &s, 0x0409), STATUS_SUCCESS);
  EXPECT_EQ(Narrow(s), "Maker");
  EXPECT_EQ(s.Length(), 12u);
  EXPECT_EQ(s.CharacterBytes(), 10u);

  // bLength 2: an empty string, and the holder's old buffer is gone.
  ASSERT_EQ(usb.GetStringDescriptor(2, &s, 0), STATUS_SUCCESS);
  EXPECT_EQ(s.Length(), 0u);
  EXPECT_EQ(s.CharacterCount(), 0u);
  EXPECT_EQ(s.Characters(), nullptr);

  EXPECT_EQ(usb.GetStringDescriptor(0, &s, 0), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(usb.GetStringDescriptor(1, &s, 0x0407), STATUS_INVALID_DEVICE_REQUEST);

  // A string the device does not have: the device's failure comes back.
  EXPECT_FALSE(NT_SUCCESS(usb.GetStringDescriptor(9, &s, 0)));
  EXPECT_EQ(s.Length(), 0u);
}

namespace {

// The spy answers reads of one descriptor with scripted replies, one per read
// (the last one repeats); other requests go to the device.
void ScriptDescriptor(Spy& spy, UCHAR type, UCHAR index, std::vector<std::vector<uint8_t>> replies) {
  auto next = std::make_shared<size_t>(0);
  spy.SetAnswer([=](PIRP irp, PURB urb) {
    auto& d = urb->UrbControlDescriptorRequest;
    if (urb->UrbHeader.Function != URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE || d.DescriptorType != type ||
        d.Index != index) {
      return false;
    }
    const std::vector<uint8_t>& reply = replies[std::min(*next, replies.size() - 1)];
    ++*next;
    const ULONG n = std::min<ULONG>(static_cast<ULONG>(reply.size()), d.TransferBufferLength);
    memcpy(d.TransferBuffer, reply.data(), n);
    d.TransferBufferLength = n;
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    CompleteIrp(irp, STATUS_SUCCESS);
    return true;
  });
}

std::vector<uint8_t> StringDescriptor(uint8_t bLength, const char* text) {
  std::vector<uint8_t> d{bLength, 3};
  for (const char* c = text; *c != 0; ++c) d.insert(d.end(), {static_cast<uint8_t>(*c), 0});
  return d;
}

}  // namespace

TEST(UsbDescriptorLies, StringLengthsAreBoundedByWhatArrived) {
  Harness h(FromDescriptors(DeviceDescriptor(), SimpleConfiguration().Build()));
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  UsbString s;
  {
    SCOPED_TRACE("bLength claims more than the device sends");
    ScriptDescriptor(h.SpyFilter(), 3, 1, {StringDescriptor(200, "Abcd")});
    ASSERT_EQ(h.Usb().GetStringDescriptor(1, &s, 0), STATUS_SUCCESS);
    EXPECT_EQ(s.Length(), 10u);
    EXPECT_EQ(Narrow(s), "Abcd");
  }
  {
    SCOPED_TRACE("odd bLength: whole characters only");
    ScriptDescriptor(h.SpyFilter(), 3, 1, {StringDescriptor(7, "Abc")});
    ASSERT_EQ(h.Usb().GetStringDescriptor(1, &s, 0), STATUS_SUCCESS);
    EXPECT_EQ(Narrow(s), "Ab");
  }
  {
    SCOPED_TRACE("second answer shrinks below the first");
    ScriptDescriptor(h.SpyFilter(), 3, 1, {StringDescriptor(12, "Hello"), StringDescriptor(6, "Hello")});
    ASSERT_EQ(h.Usb().GetStringDescriptor(1, &s, 0), STATUS_SUCCESS);
    EXPECT_EQ(Narrow(s), "He");
  }
}

TEST(UsbDescriptorLies, ConfigurationAndLanguageListMustStayTheSame) {
  const std::vector<uint8_t> config = SimpleConfiguration().Build();
  {
    SCOPED_TRACE("wTotalLength changes between the two reads");
    Harness h(FromDescriptors(DeviceDescriptor(), config), NotAttached());
    std::vector<uint8_t> grown = config;
    grown[2] = static_cast<uint8_t>(config.size() + 30);
    ScriptDescriptor(h.SpyFilter(), 2, 0, {config, grown});
    EXPECT_EQ(h.Attach(), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(h.Usb().ConfigurationDescriptor(), nullptr);
  }
  {
    SCOPED_TRACE("language list bLength changes between the two reads");
    Harness h(FromDescriptors(DeviceDescriptor(), config), NotAttached());
    ScriptDescriptor(h.SpyFilter(), 3, 0, {{6, 3, 0x09, 0x04, 0x07, 0x04}, {40, 3, 0x09, 0x04, 0x07, 0x04}});
    EXPECT_EQ(h.Attach(), STATUS_NOT_SUPPORTED);
  }
  {
    SCOPED_TRACE("language list bLength 0");
    Harness h(FromDescriptors(DeviceDescriptor(), config), NotAttached());
    ScriptDescriptor(h.SpyFilter(), 3, 0, {{0, 3, 0x09, 0x04}});
    EXPECT_EQ(h.Attach(), STATUS_NOT_SUPPORTED);
  }
  {
    SCOPED_TRACE("two languages: the second is found, others are refused");
    Harness h(FromDescriptors(DeviceDescriptor(), config), NotAttached());
    ScriptDescriptor(h.SpyFilter(), 3, 0, {{6, 3, 0x09, 0x04, 0x07, 0x04}});
    ASSERT_EQ(h.Attach(), STATUS_SUCCESS);
    h.SpyFilter().SetAnswer(nullptr);
    UsbString s;
    EXPECT_EQ(h.Usb().GetStringDescriptor(1, &s, 0x0407), STATUS_SUCCESS);
    EXPECT_EQ(h.Usb().GetStringDescriptor(1, &s, 0x0411), STATUS_INVALID_DEVICE_REQUEST);
  }
}
