// The built-in models: realistic, self-consistent descriptors that match the
// registry, and dumps of them that load and behave like the originals.
#include <gtest/gtest.h>

#include <algorithm>

#include "device_host.h"
#include "sim/usb/device/descriptor_loader.h"
#include "sim/usb/device/device_models.h"
#include "sim/usb/device/playback_stream.h"
#include "sim/usb/device/usb_constants.h"

namespace sim::usb {
namespace {

using testing::DeviceHost;

uint32_t MaxRate(const UsbAudioDevice& dev, const AltSettingInfo& a) {
  if (!dev.Function().IsAudio20()) return *std::max_element(a.format.rates.begin(), a.format.rates.end());
  uint32_t max = 0;
  for (const RateRange& r : dev.Definition().clockRanges) max = std::max(max, r.max);
  return max;
}

TEST(Models, RegistryListsTheModels) {
  const auto& models = ListModels();
  ASSERT_EQ(models.size(), 7u);
  EXPECT_EQ(models.front().name, kDefaultModel);
  EXPECT_EQ(CreateModel("no-such-model"), nullptr);
  for (const char* name : {"oxley-2x2", "uac2-implicit", "uac2-feedback", "uac1-feedback", "uac1-adaptive", "vendor-00c7"}) {
    EXPECT_NE(CreateModel(name), nullptr) << name;
  }
}

TEST(Models, DescriptorsAreValidAndMatchTheRegistry) {
  for (const ModelInfo& m : ListModels()) {
    SCOPED_TRACE(m.name);
    auto dev = CreateModel(m.name);
    const AudioFunctionInfo& f = dev->Function();
    EXPECT_TRUE(f.problems.empty());
    EXPECT_EQ(dev->VendorId(), m.vendorId);
    EXPECT_EQ(dev->ProductId(), m.productId);
    EXPECT_EQ(f.bcdADC, m.audioClass);
    EXPECT_EQ(dev->GetSpeed(), m.speed);
    EXPECT_FALSE(dev->SerialNumber().empty());
    const auto& cfg = dev->ConfigurationDescriptor();
    EXPECT_EQ(Le16(&cfg[2]), cfg.size());
    for (uint8_t index : f.stringIndices) EXPECT_TRUE(dev->Definition().strings.count(index)) << int(index);
    uint32_t in = 0;
    uint32_t out = 0;
    for (const InterfaceInfo& itf : f.interfaces) {
      if (static_cast<int>(itf.number) == f.acInterfaceNumber) continue;
      // Alternate settings numbered from 0, the first without bandwidth.
      for (size_t i = 0; i < itf.alternates.size(); ++i) EXPECT_EQ(itf.alternates[i].alternate, i);
      EXPECT_TRUE(itf.alternates[0].endpoints.empty());
      for (size_t i = 1; i < itf.alternates.size(); ++i) {
        const AltSettingInfo& a = itf.alternates[i];
        const EndpointInfo* e = a.Data();
        ASSERT_NE(e, nullptr);
        EXPECT_TRUE(a.format.hasGeneral && a.format.hasFormatType);
        EXPECT_EQ(e->interval, 1);
        // Room for the highest rate plus one frame (plus a length header).
        const uint32_t frame = a.format.channels * a.format.subslotBytes;
        const uint32_t needed = (FramesPerInterval(MaxRate(*dev, a), 1, m.speed) + 1) * frame +
                                (dev->Definition().playbackLengthHeader && !e->IsIn() ? 4 : 0);
        EXPECT_GE(e->MaxPacketBytes(), needed);
        EXPECT_LE(e->MaxPacketBytes(), m.speed == Speed::High ? 1024u : 1023u);
        (e->IsIn() ? in : out) = std::max<uint32_t>(e->IsIn() ? in : out, a.format.channels);
      }
    }
    EXPECT_EQ(in, m.channelsIn);
    EXPECT_EQ(out, m.channelsOut);
  }
}

TEST(Models, SynchronisationOfEachModel) {
  auto alt1 = [](const UsbAudioDevice& d, uint8_t itf) { return d.Function().FindInterface(itf)->Find(1); };
  auto ox = CreateModel("oxley-10x6");
  EXPECT_EQ(alt1(*ox, 1)->Data()->SyncType(), kSyncAsync);
  ASSERT_NE(alt1(*ox, 1)->Feedback(), nullptr);
  EXPECT_EQ(alt1(*ox, 1)->Feedback()->Usage(), kUsageFeedback);
  EXPECT_EQ(alt1(*ox, 1)->Feedback()->interval, 4);  // 1 ms at high speed
  EXPECT_EQ(ox->Function().FindInterface(1)->alternates.size(), 3u);
  auto imp = CreateModel("uac2-implicit");
  EXPECT_EQ(alt1(*imp, 1)->Feedback(), nullptr);
  EXPECT_EQ(alt1(*imp, 1)->Data()->SyncType(), kSyncSync);
  EXPECT_EQ(alt1(*imp, 2)->Data()->Usage(), kUsageImplicitFeedback);
  auto fb = CreateModel("uac1-feedback");
  EXPECT_EQ(alt1(*fb, 1)->Data()->synchAddress, 0x81);
  EXPECT_EQ(alt1(*fb, 1)->Feedback()->refresh, 2);
  auto ad = CreateModel("uac1-adaptive");
  EXPECT_EQ(alt1(*ad, 1)->Data()->SyncType(), kSyncAdaptive);
  EXPECT_EQ(alt1(*ad, 1)->Feedback(), nullptr);
  auto vc = CreateModel("vendor-00c7");
  EXPECT_EQ(vc->Function().FindInterface(0)->alternates[0].interfaceClass, kClassVendor);
  EXPECT_EQ(alt1(*vc, 1)->interfaceClass, kClassVendor);
  EXPECT_TRUE(vc->Function().IsAudio20());
}

TEST(Models, LoadedDumpBehavesLikeTheModel) {
  auto model = ModelDefinition("oxley-10x6");
  std::vector<uint8_t> dump = model->deviceDescriptor;
  dump.insert(dump.end(), model->configurationDescriptor.begin(), model->configurationDescriptor.end());
  LoadResult r = LoadDescriptorBytes(dump);
  ASSERT_TRUE(r.ok);
  UsbAudioDevice dev(r.definition);
  DeviceHost host(dev);
  ASSERT_EQ(host.SetConfiguration(1), XferResult::Ok);
  // Without clock rates in the dump the device offers the standard rates its
  // endpoints can carry: up to 96 kHz here (176.4 kHz needs 24 frames).
  auto count = host.Ac2Get(0x02, 0x01, 0, 10, 2);
  auto range = host.Ac2Get(0x02, 0x01, 0, 10, static_cast<uint16_t>(2 + 12 * Le16(count.data.data())));
  const uint16_t n = Le16(range.data.data());
  ASSERT_GE(n, 4);
  EXPECT_EQ(Le32(&range.data[2 + 12 * (n - 1) + 4]), 96000u);
  ASSERT_EQ(host.SetRate2(10, 44100), XferResult::Ok);
  ASSERT_EQ(host.SetInterface(2, 1), XferResult::Ok);
  uint64_t frames = 0;
  for (int i = 0; i < 8000; ++i) {
    host.Tick();
    frames += host.In(0x82, 1024).size() / 30;
  }
  EXPECT_EQ(frames, 44100u);
  // A loaded 0x00C7 dump expects the length header like the model.
  auto vc = ModelDefinition("vendor-00c7");
  std::vector<uint8_t> vdump = vc->deviceDescriptor;
  vdump.insert(vdump.end(), vc->configurationDescriptor.begin(), vc->configurationDescriptor.end());
  EXPECT_TRUE(LoadDescriptorBytes(vdump).definition.playbackLengthHeader);
}

}  // namespace
}  // namespace sim::usb
