// The bus under a started function driver: PnP start through the PDO, URBs
// through the stack, and unplug with a transfer pending.
#include "bus_fixture.h"
#include "sim/kernel/core/clock.h"
#include "sim/kernel/core/pool.h"
#include "sim/kernel/io/driver_loader.h"
#include "sim/kernel/io/pnp.h"

namespace sim::usb::test {
namespace {

struct FilterExtension {
  PDEVICE_OBJECT lower;
};

NTSTATUS Forward(PDEVICE_OBJECT device, PIRP irp) {
  auto* ext = static_cast<FilterExtension*>(device->DeviceExtension);
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(ext->lower, irp);
}

NTSTATUS Pnp(PDEVICE_OBJECT device, PIRP irp) {
  auto* ext = static_cast<FilterExtension*>(device->DeviceExtension);
  if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE) {
    PDEVICE_OBJECT lower = ext->lower;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    IoDetachDevice(lower);
    IoDeleteDevice(device);
    return status;
  }
  return Forward(device, irp);
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(FilterExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  static_cast<FilterExtension*>(fdo->DeviceExtension)->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = Forward;
  driver->MajorFunction[IRP_MJ_PNP] = Pnp;
  driver->DriverExtension->AddDevice = AddDevice;
  return STATUS_SUCCESS;
}

TEST_F(UsbBusTest, UnplugUnderAStartedDriverCompletesPendingTransfers) {
  EXPECT_EQ(sim::pnp::InstancePath(pdo_).rfind(u"USB\\VID_", 0), 0u);
  PDRIVER_OBJECT driver = nullptr;
  ASSERT_EQ(sim::io::LoadDriver(Entry, u"usbtestfn", &driver), STATUS_SUCCESS);
  ASSERT_EQ(sim::pnp::StartDevice(pdo_, driver), STATUS_SUCCESS);
  EXPECT_TRUE(sim::pnp::Capabilities(pdo_).SurpriseRemovalOK);
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo_);
  ASSERT_NE(top, pdo_);
  {
    UsbTestClient fn(top);
    ASSERT_EQ(fn.ReadConfiguration(&config_), STATUS_SUCCESS);
    layout_ = FindStreams(config_);
    ASSERT_EQ(fn.SelectConfiguration(), STATUS_SUCCESS);
    ASSERT_EQ(fn.SelectAlternate(layout_.playbackInterface, layout_.playbackAlt), STATUS_SUCCESS);
    const auto* pipe = fn.FindPipe(layout_.playbackEndpoint);
    bus_->Controller().DropNextTransfers(Slot(), layout_.playbackEndpoint, 1);
    uint32_t perFrame =
        IsoPacketsPerFrame({device_->GetSpeed() == Speed::High, false, pipe->MaximumPacketSize, pipe->Interval});
    IsoUrb u(perFrame, perFrame * 8);
    u.Iso().PipeHandle = pipe->PipeHandle;
    u.Iso().TransferFlags = USBD_START_ISO_TRANSFER_ASAP;
    for (uint32_t i = 0; i < perFrame; ++i) u.Iso().IsoPacket[i].Offset = i * 8;
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    fn.SubmitAsync(u.Get(), [&](NTSTATUS s, PURB) { status = s; });
    ObDereferenceObject(top);
    EXPECT_EQ(status.load(), STATUS_PENDING);
    DeviceSlot* slot = Slot();
    EXPECT_TRUE(Bed().Unplug(pdo_));
    EXPECT_EQ(bus_->Controller().PendingTransfers(slot), 0u);
    // Queued when the device went: cancelled, as the hub aborts its pipes.
    EXPECT_EQ(status.load(), STATUS_CANCELLED);
    EXPECT_EQ(u.Get()->UrbHeader.Status, USBD_STATUS_CANCELED);
  }
  sim::io::UnloadDriver(driver);
}

}  // namespace
}  // namespace sim::usb::test
