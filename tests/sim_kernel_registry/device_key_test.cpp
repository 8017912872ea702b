// IoOpenDeviceRegistryKey over the device instance paths the PnP manager
// registers.
#include "registry_fixture.h"
#include "sim/kernel/registry/device_keys.h"

using namespace regtest;
namespace reg = sim::registry;

namespace {

constexpr char16_t kInstance[] = u"USB\\VID_1234&PID_5678\\0001";

class DeviceKeyTest : public RegistryTest {
 protected:
  void SetUp() override { reg::SetDeviceInstancePath(pdo(), kInstance); }
  void TearDown() override {
    reg::ClearDeviceInstancePath(pdo());
    RegistryTest::TearDown();
  }
  // Only the address matters to the registry.
  struct _DEVICE_OBJECT* pdo() { return reinterpret_cast<struct _DEVICE_OBJECT*>(&pdoStorage_); }
  struct _DEVICE_OBJECT* other() { return reinterpret_cast<struct _DEVICE_OBJECT*>(&otherStorage_); }

  alignas(16) char pdoStorage_[16] = {};
  alignas(16) char otherStorage_[16] = {};
};

TEST_F(DeviceKeyTest, DeviceKeyIsDeviceParametersCreatedOnDemand) {
  std::u16string params = reg::DeviceParametersKeyPath(kInstance);
  EXPECT_EQ(params, u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_5678\\0001\\Device "
                    u"Parameters");
  EXPECT_FALSE(reg::KeyExists(params));
  HANDLE h;
  ASSERT_EQ(IoOpenDeviceRegistryKey(pdo(), PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &h), STATUS_SUCCESS);
  EXPECT_TRUE(reg::KeyExists(params));
  ASSERT_EQ(SetDwordValue(h, u"SampleRate", 48000), STATUS_SUCCESS);
  ZwClose(h);
  EXPECT_EQ(reg::GetDword(params, u"SampleRate"), 48000u);

  // Values set up in advance are seen by the driver.
  ASSERT_TRUE(reg::SetDword(params, u"PresetByInstaller", 1));
  ASSERT_EQ(IoOpenDeviceRegistryKey(pdo(), PLUGPLAY_REGKEY_DEVICE, KEY_READ, &h), STATUS_SUCCESS);
  UNICODE_STRING n = Us(u"presetbyinstaller");
  alignas(8) UCHAR buf[32];
  ULONG size;
  EXPECT_EQ(ZwQueryValueKey(h, &n, KeyValuePartialInformation, buf, sizeof buf, &size), STATUS_SUCCESS);
  EXPECT_EQ(SetDwordValue(h, u"x", 1), STATUS_ACCESS_DENIED);
  ZwClose(h);
}

TEST_F(DeviceKeyTest, DriverKeyIsNumberedOnceAndRecordedInTheHardwareKey) {
  const std::u16string classKey =
      u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e96c-e325-11ce-bfc1-08002be10318}";
  ASSERT_TRUE(reg::CreateKeyPath(classKey + u"\\0000"));  // another device's
  HANDLE h;
  ASSERT_EQ(IoOpenDeviceRegistryKey(pdo(), PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &h), STATUS_SUCCESS);
  ASSERT_EQ(SetDwordValue(h, u"v", 5), STATUS_SUCCESS);
  ZwClose(h);
  EXPECT_EQ(reg::GetString(reg::HardwareKeyPath(kInstance), u"Driver"),
            u"{4d36e96c-e325-11ce-bfc1-08002be10318}\\0001");
  EXPECT_EQ(reg::GetDword(classKey + u"\\0001", u"v"), 5u);

  ASSERT_EQ(IoOpenDeviceRegistryKey(pdo(), PLUGPLAY_REGKEY_DRIVER, KEY_READ, &h), STATUS_SUCCESS);
  ZwClose(h);
  EXPECT_EQ(reg::DriverKeyPath(kInstance), classKey + u"\\0001");
}

TEST_F(DeviceKeyTest, UnknownDeviceObjectsAndBadKeyTypes) {
  HANDLE h = nullptr;
  EXPECT_EQ(IoOpenDeviceRegistryKey(other(), PLUGPLAY_REGKEY_DEVICE, KEY_READ, &h), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(IoOpenDeviceRegistryKey(pdo(), PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER, KEY_READ, &h),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(IoOpenDeviceRegistryKey(pdo(), 0, KEY_READ, &h), STATUS_INVALID_PARAMETER);

  // After removal the device object is no longer a PDO.
  reg::ClearDeviceInstancePath(pdo());
  EXPECT_EQ(IoOpenDeviceRegistryKey(pdo(), PLUGPLAY_REGKEY_DEVICE, KEY_READ, &h), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(h, nullptr);
}

}  // namespace
