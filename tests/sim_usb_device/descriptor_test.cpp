// Descriptor builder, parser and loader: automatic fields, deliberate faults,
// round trips through the dump formats, and garbage input.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>

#include "device_host.h"
#include "sim/usb/device/byte_util.h"
#include "sim/usb/device/descriptor_builder.h"
#include "sim/usb/device/descriptor_loader.h"
#include "sim/usb/device/descriptor_parser.h"
#include "sim/usb/device/device_models.h"
#include "sim/usb/device/usb_constants.h"

namespace sim::usb {
namespace {

// A small 2.0 function: one clock, a playback path, two alternates.
ConfigurationBuilder SmallAc2() {
  ConfigurationBuilder c(1, 0xC0, 50);
  c.Interface(0, 0, 1, 1, 0x20)
      .Ac2Header(0x08)
      .Ac2ClockSource(9, 0x03, 0x07)
      .Ac2InputTerminal(1, 0x0101, 9, 2)
      .Ac2OutputTerminal(3, 0x0301, 1, 9)
      .Interface(1, 0, 1, 2, 0x20)
      .Interface(1, 1, 1, 2, 0x20)
      .Ac2AsGeneral(1, 2)
      .Ac2FormatTypeI(3, 24)
      .Endpoint(0x01, 0x05, 78, 1)
      .Ac2EndpointGeneral()
      .Endpoint(0x81, 0x11, 4, 4);
  return c;
}

std::vector<uint8_t> DumpOf(const DeviceDefinition& d) {
  std::vector<uint8_t> bytes = d.deviceDescriptor;
  bytes.insert(bytes.end(), d.configurationDescriptor.begin(), d.configurationDescriptor.end());
  return bytes;
}

TEST(DescriptorBuilder, FillsCountsAndLengths) {
  const std::vector<uint8_t> cfg = SmallAc2().Build();
  EXPECT_EQ(Le16(&cfg[2]), cfg.size());
  EXPECT_EQ(cfg[4], 2);  // interfaces 0 and 1
  const size_t header = 9 + 9;
  EXPECT_EQ(cfg[header + 2], kAcHeader);
  EXPECT_EQ(Le16(&cfg[header + 6]), 9 + 8 + 17 + 12);  // header + clock + IT + OT

  AudioFunctionInfo info = ParseAudioFunction(BuildDeviceDescriptor({}), cfg);
  ASSERT_TRUE(info.problems.empty());
  EXPECT_TRUE(info.IsAudio20());
  EXPECT_EQ(info.acInterfaceNumber, 0);
  EXPECT_EQ(info.entities.size(), 3u);
  const AltSettingInfo* alt = info.FindInterface(1)->Find(1);
  ASSERT_NE(alt, nullptr);
  ASSERT_EQ(alt->endpoints.size(), 2u);
  EXPECT_EQ(alt->Data()->address, 0x01);
  EXPECT_EQ(alt->Feedback()->address, 0x81);
  EXPECT_TRUE(alt->Data()->hasCsGeneral);
  EXPECT_EQ(alt->format.channels, 2);
  EXPECT_EQ(alt->format.subslotBytes, 3);
  EXPECT_EQ(alt->format.terminalLink, 1);
  // bNumEndpoints of every interface descriptor.
  EXPECT_EQ(cfg[9 + 4], 0);
}

TEST(DescriptorBuilder, WritesDeliberateFaults) {
  ConfigurationBuilder c = SmallAc2();
  c.OverrideTotalLength(0x1234);
  const size_t ep = c.Size();
  c.Raw({0x00, 0x05, 0x02});  // bLength 0
  c.Auto().numEndpoints = false;
  std::vector<uint8_t> cfg = c.Build();
  EXPECT_EQ(Le16(&cfg[2]), 0x1234);
  EXPECT_EQ(cfg[ep], 0);
  EXPECT_EQ(cfg[9 + 4], 0);
  AudioFunctionInfo info = ParseAudioFunction(BuildDeviceDescriptor({}), cfg);
  ASSERT_FALSE(info.problems.empty());
  EXPECT_NE(info.problems[0].find("bLength 0"), std::string::npos);
  // What was read before the fault is still there.
  EXPECT_NE(info.FindInterface(1), nullptr);

  // A patch beyond the end is ignored rather than writing out of bounds.
  ConfigurationBuilder p = SmallAc2();
  p.Patch16(100000, 1).Patch8(0, 7);
  EXPECT_EQ(p.Build()[0], 7);
}

TEST(DescriptorBuilder, FaultySetsStillServeTheirBytes) {
  ConfigurationBuilder c = SmallAc2();
  c.Raw({0x03, 0x24});  // runs past the end
  DeviceDefinition d;
  d.deviceDescriptor = BuildDeviceDescriptor({});
  d.configurationDescriptor = c.Build();
  UsbAudioDevice dev(d);
  testing::DeviceHost host(dev);
  auto r = host.In(0x80, 0x06, 0x0200, 0, 0xFFFF);
  EXPECT_EQ(r.result, XferResult::Ok);
  EXPECT_EQ(r.data, d.configurationDescriptor);
  EXPECT_FALSE(dev.Function().problems.empty());
}

TEST(DescriptorParser, Audio10FeedbackThroughSynchAddress) {
  auto def = ModelDefinition("uac1-feedback");
  AudioFunctionInfo info = ParseAudioFunction(def->deviceDescriptor, def->configurationDescriptor);
  ASSERT_TRUE(info.problems.empty());
  EXPECT_FALSE(info.IsAudio20());
  const AltSettingInfo* alt = info.FindInterface(1)->Find(1);
  ASSERT_NE(alt->Feedback(), nullptr);
  EXPECT_EQ(alt->Feedback()->address, 0x81);
  EXPECT_EQ(alt->Feedback()->refresh, 2);
  EXPECT_EQ(alt->format.rates, (std::vector<uint32_t>{44100, 48000}));
  EXPECT_FALSE(alt->format.continuousRates);
  auto adaptive = ModelDefinition("uac1-adaptive");
  info = ParseAudioFunction(adaptive->deviceDescriptor, adaptive->configurationDescriptor);
  alt = info.FindInterface(1)->Find(1);
  EXPECT_TRUE(alt->format.continuousRates);
  EXPECT_EQ(alt->format.rates, (std::vector<uint32_t>{8000, 48000}));
  EXPECT_EQ(alt->Feedback(), nullptr);
}

TEST(DescriptorLoader, BinaryAndTextRoundTrip) {
  auto model = ModelDefinition("oxley-10x6");
  const std::vector<uint8_t> dump = DumpOf(*model);
  LoadResult bin = LoadDescriptorBytes(dump, "oxley");
  ASSERT_TRUE(bin.ok) << bin.error;
  EXPECT_EQ(bin.definition.deviceDescriptor, model->deviceDescriptor);
  EXPECT_EQ(bin.definition.configurationDescriptor, model->configurationDescriptor);
  EXPECT_EQ(bin.definition.speed, Speed::High);

  std::string text = "# device descriptor\n";
  char buf[8];
  for (size_t i = 0; i < dump.size(); ++i) {
    std::snprintf(buf, sizeof buf, i % 3 ? "%02x " : "0x%02X ", dump[i]);
    text += buf;
    if (i % 16 == 15) text += " # comment to end of line\n";
  }
  LoadResult txt = LoadDescriptorText(text);
  ASSERT_TRUE(txt.ok) << txt.error;
  EXPECT_EQ(txt.definition.configurationDescriptor, model->configurationDescriptor);

  // A sysfs file may hold more after the first configuration.
  std::vector<uint8_t> longer = dump;
  longer.insert(longer.end(), {9, 2, 9, 0, 0, 2, 0, 0x80, 50});
  LoadResult more = LoadDescriptorBytes(longer);
  ASSERT_TRUE(more.ok);
  EXPECT_EQ(more.definition.configurationDescriptor.size(), model->configurationDescriptor.size());
}

TEST(DescriptorLoader, GivesEveryReferencedStringTextAndSynthesizesSerial) {
  auto model = ModelDefinition("oxley-2x2");
  std::vector<uint8_t> dump = DumpOf(*model);
  dump[16] = 0;  // no serial number
  LoadResult r = LoadDescriptorBytes(dump);
  ASSERT_TRUE(r.ok);
  const uint8_t serialIndex = r.definition.deviceDescriptor[16];
  EXPECT_NE(serialIndex, 0);
  // The chosen index is one that nothing else uses (1, 2, 4 and 5 are taken).
  EXPECT_EQ(serialIndex, 3);
  UsbAudioDevice dev(r.definition);
  EXPECT_FALSE(dev.SerialNumber().empty());
  testing::DeviceHost host(dev);
  for (uint8_t index : dev.Function().stringIndices) {
    auto s = host.In(0x80, 0x06, static_cast<uint16_t>(0x0300 | index), 0x0409, 255);
    ASSERT_EQ(s.result, XferResult::Ok) << int(index);
    EXPECT_GT(s.data.size(), 2u);
    EXPECT_EQ(s.data[0], s.data.size());
  }
  // The device descriptor the device serves carries the patched index.
  EXPECT_EQ(host.In(0x80, 0x06, 0x0100, 0, 18).data[16], serialIndex);
  // Same dump, same serial.
  EXPECT_EQ(UsbAudioDevice(LoadDescriptorBytes(dump).definition).SerialNumber(), dev.SerialNumber());
}

TEST(DescriptorLoader, RejectsMalformedInput) {
  auto model = ModelDefinition("uac1-feedback");
  const std::vector<uint8_t> dump = DumpOf(*model);
  EXPECT_FALSE(LoadDescriptorBytes({}).ok);
  EXPECT_FALSE(LoadDescriptorBytes(std::vector<uint8_t>(dump.begin(), dump.begin() + 18)).ok);
  std::vector<uint8_t> truncated(dump.begin(), dump.end() - 1);
  LoadResult t = LoadDescriptorBytes(truncated);
  EXPECT_FALSE(t.ok);
  EXPECT_NE(t.error.find("wTotalLength"), std::string::npos);
  std::vector<uint8_t> zero = dump;
  zero[18 + 9] = 0;  // bLength 0 of the first interface descriptor
  EXPECT_FALSE(LoadDescriptorBytes(zero).ok);
  std::string error;
  std::vector<uint8_t> bytes;
  EXPECT_FALSE(ParseHexText("12 01\n00 zz 02\n", &bytes, &error));
  EXPECT_NE(error.find("line 2"), std::string::npos);
  EXPECT_FALSE(ParseHexText("123", &bytes, &error));
  EXPECT_FALSE(LoadDescriptorFile("/nonexistent/descriptors").ok);
}

TEST(DescriptorLoader, SurvivesRandomGarbage) {
  auto model = ModelDefinition("oxley-10x6");
  const std::vector<uint8_t> dump = DumpOf(*model);
  std::mt19937 rng(1234);
  int accepted = 0;
  for (int round = 0; round < 3000; ++round) {
    std::vector<uint8_t> bytes = dump;
    if (round % 3 == 0) {
      bytes.resize(rng() % (dump.size() + 40));
      for (auto& b : bytes) b = static_cast<uint8_t>(rng());
      if (bytes.size() >= 2) {
        bytes[0] = 18;
        bytes[1] = 1;
      }
    } else {
      // Corrupt a few bytes of a good dump, sometimes shorten it.
      for (int i = 0; i < 1 + round % 4; ++i) bytes[rng() % bytes.size()] = static_cast<uint8_t>(rng());
      if (round % 5 == 0) bytes.resize(rng() % bytes.size());
    }
    LoadResult r = LoadDescriptorBytes(bytes);
    if (!r.ok) {
      EXPECT_FALSE(r.error.empty());
      continue;
    }
    ++accepted;
    // Whatever loads must also run without reading out of bounds.
    UsbAudioDevice dev(r.definition);
    testing::DeviceHost host(dev);
    host.SetConfiguration(dev.Function().configurationValue);
    for (const InterfaceInfo& itf : dev.Function().interfaces) {
      for (const AltSettingInfo& a : itf.alternates) host.SetInterface(itf.number, a.alternate);
    }
    for (int i = 0; i < 4; ++i) {
      host.Tick();
      host.Out(0x01, std::vector<uint8_t>(100, 1));
      host.In(0x82, 512);
      host.In(0x81, 4);
    }
    host.Ac2Get(0x02, 0x01, 0, 10, 256);
  }
  EXPECT_GT(accepted, 100);
}

TEST(DescriptorLoader, ReadsFilesInEitherForm) {
  auto model = ModelDefinition("uac2-implicit");
  const std::vector<uint8_t> dump = DumpOf(*model);
  const std::string dir = ::testing::TempDir();
  const std::string binPath = dir + "/h3_descriptors.bin";
  const std::string txtPath = dir + "/h3_descriptors.txt";
  {
    std::ofstream bin(binPath, std::ios::binary);
    bin.write(reinterpret_cast<const char*>(dump.data()), static_cast<std::streamsize>(dump.size()));
    std::ofstream txt(txtPath);
    txt << "# captured\n";
    for (uint8_t b : dump) txt << std::hex << int(b) << ' ';
  }
  LoadResult a = LoadDescriptorFile(binPath);
  LoadResult b = LoadDescriptorFile(txtPath);
  ASSERT_TRUE(a.ok) << a.error;
  ASSERT_TRUE(b.ok) << b.error;
  EXPECT_EQ(a.definition.configurationDescriptor, b.definition.configurationDescriptor);
  EXPECT_EQ(a.definition.name, "h3_descriptors.bin");
  std::remove(binPath.c_str());
  std::remove(txtPath.c_str());
}

TEST(StringDescriptors, LanguageListAndUtf16Text) {
  auto dev = CreateModel("oxley-10x6");
  testing::DeviceHost host(*dev);
  auto zero = host.In(0x80, 0x06, 0x0300, 0, 255);
  EXPECT_EQ(zero.data, (std::vector<uint8_t>{4, 3, 0x09, 0x04}));
  auto product = host.In(0x80, 0x06, 0x0302, 0x0409, 255);
  ASSERT_EQ(product.result, XferResult::Ok);
  std::string text;
  for (size_t i = 2; i + 1 < product.data.size(); i += 2) {
    EXPECT_EQ(product.data[i + 1], 0);
    text += static_cast<char>(product.data[i]);
  }
  EXPECT_EQ(text, "Oxley 10x6");
  // Asking for the first two bytes gives the length, as hosts do first.
  EXPECT_EQ(host.In(0x80, 0x06, 0x0302, 0x0409, 2).data[0], 22);
  EXPECT_EQ(host.In(0x80, 0x06, 0x0377, 0x0409, 255).result, XferResult::Stall);
}

}  // namespace
}  // namespace sim::usb
