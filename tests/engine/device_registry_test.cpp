// What the device core reads from and writes to the registry at start:
// every shape of "SampleRate", the transfer tuning overrides, and a device
// key that cannot be opened.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "core_fixture.h"
#include "registry/driver_registry.h"
#include "sim/kernel/io/pnp.h"
#include "sim/kernel/registry/device_keys.h"
#include "sim/kernel/registry/registry_store.h"
#include "sim/usb/device/device_models.h"

namespace trox::test {
namespace {

namespace reg = sim::registry;

constexpr char16_t kTuningKey[] = u"\\Registry\\Machine\\SOFTWARE\\TRELLAN\\Oxley ASIO Performance";

class DeviceRegistry : public CoreTest {
 protected:
  // Plugs the default model, lets `setup` write the device key, starts it.
  NTSTATUS StartWith(const std::function<void(const std::u16string& deviceKey)>& setup, PDEVICE_OBJECT* pdo) {
    *pdo = Bed().PlugModel(sim::usb::kDefaultModel);
    if (*pdo == nullptr) return STATUS_NO_SUCH_DEVICE;
    deviceKey_ = reg::DeviceParametersKeyPath(sim::pnp::InstancePath(*pdo));
    if (setup) setup(deviceKey_);
    return Bed().Start(*pdo);
  }
  std::u16string deviceKey_;
};

TEST_F(DeviceRegistry, EveryShapeOfTheSampleRate) {
  struct Case {
    const char* what;
    std::function<void(const std::u16string&)> setup;
    NTSTATUS start;
    ULONG rate;        // the device sample rate after a good start
    bool writtenBack;  // "SampleRate" (re)written with that rate
  };
  const uint16_t twoBytes = 48000 & 0xFFFF;
  const Case cases[] = {
      {"absent: 44100, created", nullptr, STATUS_SUCCESS, 44100, true},
      {"a supported rate", [](auto& k) { reg::SetDword(k, u"SampleRate", 48000); }, STATUS_SUCCESS, 48000, false},
      {"an unsupported rate: the lowest supported, written back",
       [](auto& k) { reg::SetDword(k, u"SampleRate", 50000); }, STATUS_SUCCESS, 44100, true},
      {"REG_SZ", [](auto& k) { reg::SetString(k, u"SampleRate", u"48000"); }, STATUS_NO_MATCH, 0, false},
      {"a REG_DWORD of 2 bytes",
       [&](auto& k) { reg::SetValue(k, u"SampleRate", reg::kTypeDword, &twoBytes, sizeof(twoBytes)); },
       STATUS_NO_MATCH, 0, false},
      {"REG_BINARY of 4 bytes",
       [](auto& k) {
         const uint32_t rate = 48000;
         reg::SetValue(k, u"SampleRate", reg::kTypeBinary, &rate, sizeof(rate));
       },
       STATUS_NO_MATCH, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    reg::ScopedRegistry restore;
    PDEVICE_OBJECT pdo = nullptr;
    const NTSTATUS status = StartWith(c.setup, &pdo);
    EXPECT_EQ(status, c.start);
    if (NT_SUCCESS(status)) {
      CAdapterCommon* adapter = Adapter(pdo);
      EXPECT_EQ(adapter->GetDeviceSampleRate(), c.rate);
      EXPECT_EQ(reg::GetDword(deviceKey_, u"SampleRate"), std::optional<uint32_t>(c.rate));
      EXPECT_EQ(adapter->Decisions().SampleRateWritten != FALSE, c.writtenBack);
    }
    EXPECT_TRUE(Bed().Unplug(pdo));
  }
}

TEST_F(DeviceRegistry, TransferTuningOverrides) {
  struct Case {
    const char* what;
    std::function<void()> setup;
    EngineTunables expected;
    ULONG renderFlags;
    ULONG captureFlags;
  };
  const auto set = [](const char16_t* name, uint32_t value) { reg::SetDword(kTuningKey, name, value); };
  const Case cases[] = {
      {"no key: the defaults", nullptr, {8, 8, 1, 16}, kTuningKeyUnreadable, kTuningKeyUnreadable},
      {"values taken as they are", [&] { set(u"param1", 4), set(u"param2", 3), set(u"param3", 1), set(u"param4", 9); },
       {4, 3, 1, 9}, 0, 0},
      {"above the range: the limit", [&] { set(u"param1", 12), set(u"param2", 9), set(u"param3", 4), set(u"param4", 17); },
       {8, 8, 1, 16}, kTuningFirstLimited | kTuningSecondLimited, kTuningFirstLimited | kTuningSecondLimited},
      {"0: the default", [&] { set(u"param1", 0), set(u"param2", 0), set(u"param3", 0), set(u"param4", 0); },
       {8, 8, 1, 16}, kTuningFirstDefaulted | kTuningSecondDefaulted, kTuningFirstDefaulted | kTuningSecondDefaulted},
      {"the wrong type: the defaults",
       [] {
         reg::SetString(kTuningKey, u"param1", u"2");
         reg::SetString(kTuningKey, u"param4", u"2");
       },
       {8, 8, 1, 16}, kTuningKeyUnreadable, kTuningKeyUnreadable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    reg::ScopedRegistry restore;
    if (c.setup) c.setup();
    PDEVICE_OBJECT pdo = nullptr;
    ASSERT_EQ(StartWith(nullptr, &pdo), STATUS_SUCCESS);
    CAdapterCommon* adapter = Adapter(pdo);
    const EngineTunables& t = adapter->Engine().Tunables();
    EXPECT_EQ(t.RenderMsPerTransfer, c.expected.RenderMsPerTransfer);
    EXPECT_EQ(t.RenderTransfersInFlight, c.expected.RenderTransfersInFlight);
    EXPECT_EQ(t.CaptureMsPerTransfer, c.expected.CaptureMsPerTransfer);
    EXPECT_EQ(t.CaptureTransfersInFlight, c.expected.CaptureTransfersInFlight);
    EXPECT_EQ(adapter->Decisions().TuningFlags[0], c.renderFlags);
    EXPECT_EQ(adapter->Decisions().TuningFlags[1], c.captureFlags);
    EXPECT_TRUE(Bed().Unplug(pdo));
  }
}

TEST_F(DeviceRegistry, TuningArgumentsOutsideTheRules) {
  ULONG first = 0;
  ULONG second = 0;
  EXPECT_EQ(ReadTransferTuning(kDirectionRender, nullptr, &second, 8, 8), kTuningNullOutput);
  EXPECT_EQ(ReadTransferTuning(kDirectionCapture, &first, nullptr, 1, 16), kTuningNullOutput);
  EXPECT_EQ(ReadTransferTuning(kDirectionRender, &first, &second, 9, 8), kTuningBadDefault);
  EXPECT_EQ(ReadTransferTuning(kDirectionCapture, &first, &second, 1, 17), kTuningBadDefault);
  EXPECT_EQ(ReadTransferTuning(kDirectionCapture, &first, &second, 0, 16), kTuningBadDefault);
}

TEST_F(DeviceRegistry, ADeviceKeyThatCannotBeOpenedFailsTheStart) {
  PDEVICE_OBJECT pdo = nullptr;
  const NTSTATUS status = StartWith([&](const std::u16string&) { reg::ClearDeviceInstancePath(pdo); }, &pdo);
  EXPECT_EQ(status, STATUS_INVALID_DEVICE_REQUEST);
  reg::SetDeviceInstancePath(pdo, sim::pnp::InstancePath(pdo));
  EXPECT_TRUE(Bed().Unplug(pdo));
}

}  // namespace
}  // namespace trox::test
