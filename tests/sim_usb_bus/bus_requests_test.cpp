// Descriptor, configuration, interface and control requests through URBs,
// the controller name and information, and the USBDI bus interface.
#include <usbioctl.h>
#include <usbuser.h>

#include "bus_fixture.h"
#include "sim/kernel/core/clock.h"
#include "sim/kernel/core/verifier.h"

namespace sim::usb::test {
namespace {

TEST_F(UsbBusTest, DescriptorsComeThroughUrbsWithTheirLengths) {
  USB_DEVICE_DESCRIPTOR dd{};
  ULONG length = sizeof dd;
  ASSERT_EQ(client_->GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &dd, &length), STATUS_SUCCESS);
  EXPECT_EQ(length, 18u);
  EXPECT_EQ(0, memcmp(&dd, device_->DeviceDescriptor().data(), 18));

  std::vector<uint8_t> config;
  ASSERT_EQ(client_->ReadConfiguration(&config), STATUS_SUCCESS);
  EXPECT_EQ(config, device_->ConfigurationDescriptor());

  uint8_t langs[4] = {};
  length = sizeof langs;
  ASSERT_EQ(client_->GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, 0, 0, langs, &length), STATUS_SUCCESS);
  EXPECT_EQ(length, 4u);
  EXPECT_EQ(langs[1], USB_STRING_DESCRIPTOR_TYPE);

  // A longer buffer than the descriptor: the length says what came.
  uint8_t big[64] = {};
  length = sizeof big;
  ASSERT_EQ(client_->GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, big, &length), STATUS_SUCCESS);
  EXPECT_EQ(length, 18u);
}

TEST_F(UsbBusTest, SelectConfigurationFillsEveryListedInterface) {
  Configure();
  ASSERT_NE(client_->ConfigurationHandle(), nullptr);
  EXPECT_EQ(device_->CurrentConfiguration(), config_[5]);
  auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config_.data());
  for (UCHAR i = 0; i < cd->bNumInterfaces; ++i) {
    const auto* info = client_->Interface(i);
    ASSERT_NE(info, nullptr) << "interface " << int(i);
    auto* d = USBD_ParseConfigurationDescriptorEx(cd, cd, i, 0, -1, -1, -1);
    EXPECT_EQ(info->Class, d->bInterfaceClass);
    EXPECT_EQ(info->SubClass, d->bInterfaceSubClass);
    EXPECT_EQ(info->NumberOfPipes, d->bNumEndpoints);
    EXPECT_NE(info->InterfaceHandle, nullptr);
  }
  ASSERT_NE(layout_.playbackEndpoint, 0);
  ASSERT_EQ(client_->SelectAlternate(layout_.playbackInterface, layout_.playbackAlt), STATUS_SUCCESS);
  EXPECT_EQ(device_->CurrentAlternate(layout_.playbackInterface), layout_.playbackAlt);
  const auto* pipe = client_->FindPipe(layout_.playbackEndpoint);
  ASSERT_NE(pipe, nullptr);
  EXPECT_EQ(pipe->PipeType, UsbdPipeTypeIsochronous);
  EXPECT_NE(pipe->PipeHandle, nullptr);
  // The endpoint descriptor as the pipe should report it.
  auto* alt = USBD_ParseConfigurationDescriptorEx(cd, cd, layout_.playbackInterface, layout_.playbackAlt, -1, -1, -1);
  auto* ep = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(
      USBD_ParseDescriptors(cd, cd->wTotalLength, alt, USB_ENDPOINT_DESCRIPTOR_TYPE));
  ASSERT_EQ(ep->bEndpointAddress, layout_.playbackEndpoint);
  uint32_t mult = device_->GetSpeed() == Speed::High ? 1 + ((ep->wMaxPacketSize >> 11) & 3) : 1;
  EXPECT_EQ(pipe->MaximumPacketSize, (ep->wMaxPacketSize & 0x7FF) * mult);
  EXPECT_EQ(pipe->Interval, ep->bInterval);
}

TEST_F(UsbBusTest, OldPipeHandlesAreRejectedAfterSelectInterface) {
  Configure();
  ASSERT_EQ(client_->SelectAlternate(layout_.playbackInterface, layout_.playbackAlt), STATUS_SUCCESS);
  USBD_PIPE_HANDLE old = client_->FindPipe(layout_.playbackEndpoint)->PipeHandle;
  ASSERT_EQ(client_->SelectAlternate(layout_.playbackInterface, 0), STATUS_SUCCESS);
  EXPECT_EQ(client_->FindPipe(layout_.playbackEndpoint), nullptr);
  ASSERT_EQ(client_->SelectAlternate(layout_.playbackInterface, layout_.playbackAlt), STATUS_SUCCESS);
  EXPECT_NE(client_->FindPipe(layout_.playbackEndpoint)->PipeHandle, old);

  USBD_STATUS us = 0;
  EXPECT_EQ(client_->PipeRequest(URB_FUNCTION_ABORT_PIPE, old, &us), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(us, USBD_STATUS_INVALID_PIPE_HANDLE);
  IsoUrb u(8, 8 * 8);
  u.Iso().PipeHandle = old;
  u.Iso().TransferFlags = USBD_START_ISO_TRANSFER_ASAP;
  for (uint32_t i = 0; i < 8; ++i) u.Iso().IsoPacket[i].Offset = i * 8;
  EXPECT_EQ(client_->SubmitUrb(u.Get()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(u.Get()->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_F(UsbBusTest, InterfacesLeftOutOfTheConfigurationCannotBeSelected) {
  ASSERT_EQ(client_->ReadConfiguration(&config_), STATUS_SUCCESS);
  layout_ = FindStreams(config_);
  ASSERT_EQ(client_->SelectConfiguration({0}), STATUS_SUCCESS);
  USBD_STATUS us = 0;
  EXPECT_EQ(client_->SelectAlternate(layout_.playbackInterface, layout_.playbackAlt, &us), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(us, USBD_STATUS_INTERFACE_NOT_FOUND);
}

TEST_F(UsbBusTest, SelectInterfaceRefusedForBandwidthChangesNothing) {
  Configure();
  ASSERT_EQ(client_->SelectAlternate(layout_.playbackInterface, layout_.playbackAlt), STATUS_SUCCESS);
  const USBD_PIPE_INFORMATION* before = client_->FindPipe(layout_.playbackEndpoint);
  ASSERT_NE(before, nullptr);
  const USBD_PIPE_HANDLE handle = before->PipeHandle;
  bus_->Controller().RefuseNextSelectInterfaces(Slot(), 1);
  USBD_STATUS us = 0;
  EXPECT_FALSE(NT_SUCCESS(client_->SelectAlternate(layout_.playbackInterface, 0, &us)));
  EXPECT_EQ(us, USBD_STATUS_NO_BANDWIDTH);
  // The streaming alternate and its pipe are still in place.
  EXPECT_NE(Slot()->FindPipe(handle), nullptr);
  EXPECT_EQ(client_->SelectAlternate(layout_.playbackInterface, 0), STATUS_SUCCESS);
}

TEST_F(UsbBusTest, SelectInterfaceChecksTheInterfaceLength) {
  Configure();
  std::vector<uint8_t> buffer(GET_SELECT_INTERFACE_REQUEST_SIZE(4), 0);
  auto* urb = reinterpret_cast<PURB>(buffer.data());
  UsbBuildSelectInterfaceRequest(urb, static_cast<USHORT>(buffer.size()), client_->ConfigurationHandle(),
                                 layout_.playbackInterface, layout_.playbackAlt);
  urb->UrbSelectInterface.Interface.Length = 24;  // no room for the pipes
  EXPECT_EQ(client_->SubmitUrb(urb), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_BUFFER_TOO_SMALL);
  // A configuration handle that is not the current one.
  urb->UrbSelectInterface.Interface.Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(4));
  urb->UrbSelectInterface.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(0x1234);
  EXPECT_EQ(client_->SubmitUrb(urb), STATUS_INVALID_PARAMETER);
}

TEST_F(UsbBusTest, ClassRequestsBuildTheirRequestTypeAndMapStalls) {
  Configure();
  // The device stalls exactly class/interface/IN GET_CUR: the bus must have
  // built 0xA1 from the function and the direction flag.
  ControlFilter only;
  only.bmRequestType = 0xA1;
  only.bRequest = 0x01;
  only.once = false;
  device_->StallControl(only);
  uint8_t data[4] = {};
  USBD_STATUS us = 0;
  EXPECT_EQ(client_->ClassRequest(0xA1, 0x01, 0x0100, 0x0000, 4, data, &us), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(us, USBD_STATUS_STALL_PID);
  device_->ClearControlStalls();

  // A bus-level stall of the next control request, then normal service.
  bus_->Controller().StallNextControlRequests(Slot(), 1);
  EXPECT_EQ(client_->ClassRequest(0x41, 0x00, 0, layout_.playbackInterface, 0, nullptr, &us), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(us, USBD_STATUS_STALL_PID);
  EXPECT_EQ(client_->ClassRequest(0x41, 0x00, 0, layout_.playbackInterface, 0, nullptr, &us), STATUS_SUCCESS);
  EXPECT_EQ(us, USBD_STATUS_SUCCESS);
  EXPECT_EQ(device_->StreamMode(layout_.playbackInterface), 0);
}

TEST_F(UsbBusTest, ControllerNameAndInformation) {
  ControllerInfo info;
  info.pciVendorId = 0x1033;
  info.pciDeviceId = 0x00E0;
  info.flavor = EHCI_NEC;
  bus_->Controller().SetInfo(info);

  uint8_t small[6] = {};
  EXPECT_EQ(client_->InternalIoctl(IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME, small, reinterpret_cast<PVOID>(6)),
            STATUS_SUCCESS);
  ULONG actual = small[0] | small[1] << 8;
  EXPECT_EQ(actual, bus_->ControllerName().size() * 2);
  EXPECT_EQ(small[4], 0);  // the name does not fit: length only

  std::vector<uint8_t> full(actual + 4, 0);
  ASSERT_EQ(client_->InternalIoctl(IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME, full.data(),
                                   reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(full.size()))),
            STATUS_SUCCESS);
  UNICODE_STRING name;
  name.Buffer = reinterpret_cast<PWCH>(full.data() + 4);
  name.Length = name.MaximumLength = static_cast<USHORT>(actual);
  EXPECT_EQ(0, memcmp(name.Buffer, u"\\Device\\USBFDO-0", actual));

  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT hc = nullptr;
  ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &hc), STATUS_SUCCESS);
  EXPECT_EQ(hc, bus_->Fdo());
  USBUSER_CONTROLLER_INFO_0 request{};
  request.Header.UsbUserRequest = USBUSER_GET_CONTROLLER_INFO_0;
  request.Header.RequestBufferLength = sizeof request;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_USB_USER_REQUEST, hc, &request, sizeof request, &request,
                                           sizeof request, FALSE, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  NTSTATUS status = IoCallDriver(hc, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  }
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(request.Header.UsbUserStatusCode, UsbUserSuccess);
  EXPECT_EQ(request.Info0.PciVendorId, 0x1033u);
  EXPECT_EQ(request.Info0.PciDeviceId, 0x00E0u);
  EXPECT_EQ(request.Info0.ControllerFlavor, EHCI_NEC);
  ObDereferenceObject(file);
}

TEST_F(UsbBusTest, BusInterfaceVersionsAndReferences) {
  USB_BUS_INTERFACE_USBDI_V1 bi{};
  ASSERT_EQ(client_->QueryBusInterface(USB_BUSIF_USBDI_VERSION_1, sizeof bi, &bi), STATUS_SUCCESS);
  EXPECT_EQ(bi.Size, 72);
  EXPECT_EQ(bi.Version, USB_BUSIF_USBDI_VERSION_1);
  EXPECT_EQ(bi.IsDeviceHighSpeed(bi.BusContext), device_->GetSpeed() == Speed::High ? TRUE : FALSE);
  EXPECT_EQ(Slot()->busInterfaceReferences.load(), 1);
  bi.InterfaceReference(bi.BusContext);
  EXPECT_EQ(Slot()->busInterfaceReferences.load(), 2);
  bi.InterfaceDereference(bi.BusContext);
  bi.InterfaceDereference(bi.BusContext);
  EXPECT_EQ(Slot()->busInterfaceReferences.load(), 0);

  ULONG urbFrame = 0, busFrame = 0;
  ASSERT_EQ(client_->CurrentFrame(&urbFrame), STATUS_SUCCESS);
  ASSERT_EQ(bi.QueryBusTime(bi.BusContext, &busFrame), STATUS_SUCCESS);
  EXPECT_LE(busFrame - urbFrame, 50u);
  sim::clock::SleepUntil(sim::clock::Now() + 30 * 10000);
  ULONG later = 0;
  bi.QueryBusTime(bi.BusContext, &later);
  EXPECT_GE(later - busFrame, 25u);  // 1 ms frames
  EXPECT_LE(later - busFrame, 1000u);

  USB_BUS_INTERFACE_USBDI_V1 v0{};
  ASSERT_EQ(client_->QueryBusInterface(USB_BUSIF_USBDI_VERSION_0, sizeof(USB_BUS_INTERFACE_USBDI_V0), &v0),
            STATUS_SUCCESS);
  EXPECT_EQ(v0.Size, 64);
  EXPECT_EQ(v0.IsDeviceHighSpeed, nullptr);  // not part of version 0
  v0.InterfaceDereference(v0.BusContext);
  EXPECT_EQ(client_->QueryBusInterface(USB_BUSIF_USBDI_VERSION_1, 64, &bi), STATUS_INVALID_PARAMETER);
}

TEST_F(UsbBusTest, BusInterfaceStillReferencedWhenThePdoGoesIsAVerifierFailure) {
  USB_BUS_INTERFACE_USBDI_V1 bi{};
  ASSERT_EQ(client_->QueryBusInterface(USB_BUSIF_USBDI_VERSION_1, sizeof bi, &bi), STATUS_SUCCESS);
  client_.reset();
  sim::verifier::Recorder recorder;
  EXPECT_TRUE(Bed().Unplug(pdo_));
  EXPECT_TRUE(recorder.Has("IoDeleteDevice", "1 USB bus interface reference(s) still held"));
}

}  // namespace
}  // namespace sim::usb::test

namespace sim::usb::test {
namespace {

TEST_F(UsbBusTest, SelectRequestsAbovePassiveLevelAreVerifierFailures) {
  Configure();
  std::vector<std::string> calls;
  auto previous =
      sim::verifier::SetHandler([&](const std::string& call, const std::string&) { calls.push_back(call); });
  std::vector<uint8_t> buffer(GET_SELECT_INTERFACE_REQUEST_SIZE(4), 0);
  auto* urb = reinterpret_cast<PURB>(buffer.data());
  UsbBuildSelectInterfaceRequest(urb, static_cast<USHORT>(buffer.size()), client_->ConfigurationHandle(),
                                 layout_.playbackInterface, layout_.playbackAlt);
  NTSTATUS status = STATUS_PENDING;
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  client_->SubmitAsync(urb, [&](NTSTATUS s, PURB) { status = s; });
  KeLowerIrql(old);
  sim::verifier::SetHandler(previous);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0], "IoCallDriver");
  EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(device_->CurrentAlternate(layout_.playbackInterface), 0);
}

}  // namespace
}  // namespace sim::usb::test
