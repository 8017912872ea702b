// The port class stand-in under a minimal adapter driver of the test's own:
// argument checks of PcAddAdapterDevice, the start and its failure, and the
// checks that catch misuse of port class.
#include <portcls.h>

#include <gtest/gtest.h>

#include "sim/kernel/core/verifier.h"
#include "sim/kernel/io/driver_loader.h"
#include "sim/kernel/io/pnp.h"
#include "sim/portcls/adapter_device.h"
#include "sim/usb/bus/usb_bus.h"
#include "sim/usb/device/device_models.h"
#include "testbed_test.h"

namespace trox::test {
namespace {

struct TestAdapter {
  ULONG extensionSize = PORT_CLASS_DEVICE_EXTENSION_SIZE + 16;
  NTSTATUS startStatus = STATUS_SUCCESS;
  int startCalls = 0;
  ULONG resourceEntries = ~0u;
  NTSTATUS resourceQuery = STATUS_UNSUCCESSFUL;
};
TestAdapter g_adapter;

NTSTATUS TestStartDevice(PDEVICE_OBJECT, PIRP, PRESOURCELIST resources) {
  ++g_adapter.startCalls;
  g_adapter.resourceEntries = resources->NumberOfEntries();
  PVOID same = nullptr;
  g_adapter.resourceQuery = resources->QueryInterface(IID_IResourceList, &same);
  if (same != nullptr) static_cast<PRESOURCELIST>(same)->Release();
  return g_adapter.startStatus;
}

NTSTATUS TestAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  return PcAddAdapterDevice(driver, pdo, TestStartDevice, 1, g_adapter.extensionSize);
}

NTSTATUS TestAdapterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  return PcInitializeAdapterDriver(driver, registryPath, TestAddDevice);
}

NTSTATUS PlainDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

class PortClassTest : public TestbedTest {
 protected:
  void SetUp() override {
    TestbedTest::SetUp();
    g_adapter = TestAdapter{};
    ASSERT_EQ(sim::io::LoadDriver(TestAdapterEntry, u"testadapter", &driver_), STATUS_SUCCESS);
    pdo_ = Bed().PlugModel(sim::usb::kDefaultModel);
    ASSERT_NE(pdo_, nullptr);
  }

  // The device goes before the driver that may still drive it.
  void TearDown() override {
    if (sim::pnp::State(pdo_) == sim::pnp::DeviceState::Started) {
      EXPECT_EQ(sim::pnp::Remove(pdo_), STATUS_SUCCESS);
    }
    EXPECT_TRUE(Bed().Unplug(pdo_));
    sim::io::UnloadDriver(driver_);
    TestbedTest::TearDown();
  }

  // Sends a device-control request to the top of the device stack and waits.
  NTSTATUS SendDeviceControl(PDEVICE_OBJECT target) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK io{};
    PIRP irp = IoBuildDeviceIoControlRequest(0x222000, target, nullptr, 0, nullptr, 0, FALSE, &done, &io);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = IoCallDriver(target, irp);
    if (status == STATUS_PENDING) {
      LARGE_INTEGER timeout;
      timeout.QuadPart = -10LL * 10000000;  // 10 s, relative
      EXPECT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
      status = io.Status;
    }
    return status;
  }

  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
};

TEST_F(PortClassTest, ExtensionSmallerThanPortClassAreaIsRejected) {
  g_adapter.extensionSize = PORT_CLASS_DEVICE_EXTENSION_SIZE - 1;
  EXPECT_EQ(sim::pnp::StartDevice(pdo_, driver_), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(pdo_->AttachedDevice, nullptr);
  EXPECT_EQ(driver_->DeviceObject, nullptr);
  EXPECT_EQ(g_adapter.startCalls, 0);
}

TEST_F(PortClassTest, ExtensionOfExactlyPortClassAreaIsAccepted) {
  g_adapter.extensionSize = PORT_CLASS_DEVICE_EXTENSION_SIZE;
  ASSERT_EQ(sim::pnp::StartDevice(pdo_, driver_), STATUS_SUCCESS);
  EXPECT_EQ(g_adapter.startCalls, 1);
  ASSERT_EQ(sim::pnp::Remove(pdo_), STATUS_SUCCESS);
}

TEST_F(PortClassTest, StartDeviceGetsTheResourceListOfTheStart) {
  ASSERT_EQ(sim::pnp::StartDevice(pdo_, driver_), STATUS_SUCCESS);
  EXPECT_EQ(g_adapter.startCalls, 1);
  // A USB function has no hardware resources of its own.
  EXPECT_EQ(g_adapter.resourceEntries, 0u);
  EXPECT_EQ(g_adapter.resourceQuery, STATUS_SUCCESS);
  PDEVICE_OBJECT fdo = pdo_->AttachedDevice;
  ASSERT_NE(fdo, nullptr);
  EXPECT_EQ(fdo->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_KS));
  EXPECT_NE(fdo->Flags & DO_DIRECT_IO, 0u);
  ASSERT_EQ(sim::pnp::Remove(pdo_), STATUS_SUCCESS);
}

TEST_F(PortClassTest, FailedAdapterStartFailsTheDeviceAndRemovesIt) {
  g_adapter.startStatus = STATUS_DEVICE_POWER_FAILURE;
  EXPECT_EQ(sim::pnp::StartDevice(pdo_, driver_), STATUS_DEVICE_POWER_FAILURE);
  EXPECT_EQ(sim::pnp::State(pdo_), sim::pnp::DeviceState::StartFailed);
  EXPECT_EQ(driver_->DeviceObject, nullptr);
  EXPECT_EQ(sim::portcls::AdapterDeviceCount(), 0u);
}

TEST_F(PortClassTest, RequestsWithoutAPortClassObjectGoToTheBusDriver) {
  ASSERT_EQ(sim::pnp::StartDevice(pdo_, driver_), STATUS_SUCCESS);
  // The USB bus driver does not know this control code.
  NTSTATUS status = SendDeviceControl(pdo_->AttachedDevice);
  EXPECT_FALSE(NT_SUCCESS(status));
  EXPECT_NE(status, STATUS_INVALID_DEVICE_STATE);
  ASSERT_EQ(sim::pnp::Remove(pdo_), STATUS_SUCCESS);
}

struct PowerCompletion {
  KEVENT done;
  NTSTATUS status = STATUS_PENDING;
};

void OnPowerComplete(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK ioStatus) {
  auto* completion = static_cast<PowerCompletion*>(context);
  completion->status = ioStatus->Status;
  KeSetEvent(&completion->done, IO_NO_INCREMENT, FALSE);
}

TEST_F(PortClassTest, DevicePowerRequestsCompleteThroughTheStack) {
  ASSERT_EQ(sim::pnp::StartDevice(pdo_, driver_), STATUS_SUCCESS);
  for (UCHAR minor : {IRP_MN_QUERY_POWER, IRP_MN_SET_POWER}) {
    for (DEVICE_POWER_STATE state : {PowerDeviceD3, PowerDeviceD0}) {
      PowerCompletion completion;
      KeInitializeEvent(&completion.done, NotificationEvent, FALSE);
      POWER_STATE power;
      power.DeviceState = state;
      ASSERT_EQ(PoRequestPowerIrp(pdo_, minor, power, OnPowerComplete, &completion, nullptr), STATUS_PENDING);
      LARGE_INTEGER timeout;
      timeout.QuadPart = -10LL * 10000000;  // 10 s, relative
      ASSERT_EQ(KeWaitForSingleObject(&completion.done, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
      EXPECT_EQ(completion.status, STATUS_SUCCESS) << "minor " << int(minor) << " D" << int(state) - 1;
    }
  }
  ASSERT_EQ(sim::pnp::Remove(pdo_), STATUS_SUCCESS);
}

TEST_F(PortClassTest, OverwritingPortClassPartOfTheExtensionIsReported) {
  ASSERT_EQ(sim::pnp::StartDevice(pdo_, driver_), STATUS_SUCCESS);
  PDEVICE_OBJECT fdo = pdo_->AttachedDevice;
  auto* portClassArea = static_cast<ULONG64*>(fdo->DeviceExtension);
  ULONG64 saved = portClassArea[0];
  portClassArea[0] = 0;
  {
    sim::verifier::Recorder recorder;
    EXPECT_EQ(SendDeviceControl(fdo), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(recorder.Has("PcDispatchIrp", "belong to port class"));
  }
  portClassArea[0] = saved;
  ASSERT_EQ(sim::pnp::Remove(pdo_), STATUS_SUCCESS);
}

TEST(PortClassMisuse, AddAdapterDeviceWithoutInitializeIsReported) {
  PDRIVER_OBJECT plain = nullptr;
  ASSERT_EQ(sim::io::LoadDriver(PlainDriverEntry, u"plaindriver", &plain), STATUS_SUCCESS);
  auto device = sim::usb::CreateModel(sim::usb::kDefaultModel);
  {
    sim::usb::UsbBus bus;
    PDEVICE_OBJECT pdo = bus.Plug(device.get());
    sim::verifier::Recorder recorder;
    EXPECT_FALSE(NT_SUCCESS(PcAddAdapterDevice(plain, pdo, TestStartDevice, 1, PORT_CLASS_DEVICE_EXTENSION_SIZE)));
    EXPECT_TRUE(recorder.Has("PcAddAdapterDevice", "PcInitializeAdapterDriver"));
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
  }
  sim::io::UnloadDriver(plain);
}

}  // namespace
}  // namespace trox::test
