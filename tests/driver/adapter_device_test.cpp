// The adapter device on a simulated USB device: added and started through
// PnP and port class, reached by creates, removed and unloaded without leaks.
#include <portcls.h>

#include "adapter/adapter_device.h"
#include "adapter/adapter_extension.h"
#include "driver_fixture.h"
#include "sim/kernel/io/device_interface.h"
#include "sim/kernel/io/pnp.h"
#include "sim/kernel/io/user_io.h"
#include "sim/portcls/adapter_device.h"
#include "sim/usb/bus/usb_bus.h"
#include "sim/usb/device/device_models.h"

namespace trox::test {
namespace {

// {0C1A55E2-7B41-4F26-9D3E-5A8B0C2D4E61}: an interface class of the test only.
DEFINE_GUID(kTestInterfaceClass, 0x0C1A55E2, 0x7B41, 0x4F26, 0x9D, 0x3E, 0x5A, 0x8B, 0x0C, 0x2D, 0x4E, 0x61);

class AdapterDeviceTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    Load();
    pdo_ = Bed().PlugModel(sim::usb::kDefaultModel);
    ASSERT_NE(pdo_, nullptr);
  }

  // The adapter device port class created on the PDO, or null.
  PDEVICE_OBJECT Fdo() const {
    PDEVICE_OBJECT fdo = pdo_->AttachedDevice;
    return (fdo != nullptr && fdo->DriverObject == driver_) ? fdo : nullptr;
  }

  // Opens "<interface path>\<name>" on the device, as a client of a
  // subdevice registered under that name would.
  NTSTATUS OpenWithFileName(const char16_t* name) {
    UNICODE_STRING reference;
    RtlInitUnicodeString(&reference, reinterpret_cast<PCWSTR>(name));
    UNICODE_STRING link{};
    NTSTATUS status = IoRegisterDeviceInterface(pdo_, &kTestInterfaceClass, &reference, &link);
    if (!NT_SUCCESS(status)) return status;
    IoSetDeviceInterfaceState(&link, TRUE);
    RtlFreeUnicodeString(&link);
    auto interfaces = sim::io::EnumerateInterfaces(kTestInterfaceClass);
    EXPECT_EQ(interfaces.size(), 1u);
    if (interfaces.empty()) return STATUS_UNSUCCESSFUL;
    std::unique_ptr<sim::io::UserHandle> handle;
    status = sim::io::UserHandle::Open(interfaces[0].userPath, GENERIC_READ | GENERIC_WRITE, 0, &handle);
    if (handle) handle->Close();
    return status;
  }

  PDEVICE_OBJECT pdo_ = nullptr;
};

TEST_F(AdapterDeviceTest, StartsThroughPortClass) {
  ASSERT_EQ(sim::pnp::StartDevice(pdo_, driver_), STATUS_SUCCESS);
  EXPECT_EQ(sim::pnp::State(pdo_), sim::pnp::DeviceState::Started);
  EXPECT_EQ(LastPhysicalDeviceObject(), pdo_);

  PDEVICE_OBJECT fdo = Fdo();
  ASSERT_NE(fdo, nullptr);
  EXPECT_EQ(fdo->Flags & DO_DEVICE_INITIALIZING, 0u);
  AdapterExtension* extension = GetAdapterExtension(fdo);
  EXPECT_NE(extension->Adapter, nullptr);
  EXPECT_EQ(extension->RemovePending, 0u);
  EXPECT_EQ(extension->DeviceFailed, 0u);
  // The extension mutex is ready for use.
  EXPECT_EQ(KeReadStateMutex(&extension->ExtensionMutex), 1);
  EXPECT_NE(sim::portcls::FindAdapterDevice(fdo, nullptr), nullptr);
}

TEST_F(AdapterDeviceTest, CreateForAnUnregisteredSubdeviceReachesPortClass) {
  ASSERT_EQ(sim::pnp::StartDevice(pdo_, driver_), STATUS_SUCCESS);
  EXPECT_EQ(OpenWithFileName(u"Wave"), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(AdapterDeviceTest, OrderlyRemovalDeletesTheAdapterDevice) {
  ASSERT_EQ(sim::pnp::StartDevice(pdo_, driver_), STATUS_SUCCESS);
  PDEVICE_OBJECT fdo = Fdo();
  ASSERT_EQ(sim::pnp::Remove(pdo_), STATUS_SUCCESS);
  EXPECT_EQ(sim::pnp::State(pdo_), sim::pnp::DeviceState::Removed);
  EXPECT_EQ(pdo_->AttachedDevice, nullptr);
  EXPECT_EQ(driver_->DeviceObject, nullptr);
  EXPECT_EQ(sim::portcls::FindAdapterDevice(fdo, nullptr), nullptr);
}

TEST_F(AdapterDeviceTest, SurpriseRemovalDeletesTheAdapterDevice) {
  ASSERT_EQ(sim::pnp::StartDevice(pdo_, driver_), STATUS_SUCCESS);
  ASSERT_TRUE(Bed().Unplug(pdo_));
  pdo_ = nullptr;
  EXPECT_EQ(driver_->DeviceObject, nullptr);
  EXPECT_EQ(sim::portcls::AdapterDeviceCount(), 0u);
}

}  // namespace
}  // namespace trox::test
