// Synchronous requests: class and vendor requests, alternate settings, pipe
// requests and the host controller query.
#include <gtest/gtest.h>

#include "sim/usb/device/descriptor_builder.h"
#include "usb_harness.h"

using namespace usbtest;

namespace {

constexpr USHORT kAnyControlFunction[] = {URB_FUNCTION_CLASS_DEVICE,   URB_FUNCTION_CLASS_INTERFACE,
                                          URB_FUNCTION_CLASS_ENDPOINT, URB_FUNCTION_CLASS_OTHER,
                                          URB_FUNCTION_VENDOR_DEVICE,  URB_FUNCTION_VENDOR_INTERFACE,
                                          URB_FUNCTION_VENDOR_ENDPOINT, URB_FUNCTION_VENDOR_OTHER};

size_t ControlRequestsSeen(Spy& spy) {
  size_t n = 0;
  for (USHORT f : kAnyControlFunction) n += spy.Count(f);
  return n;
}

// The clock source of an Audio Class 2.0 function.
const sim::usb::EntityInfo* FirstClockSource(const sim::usb::AudioFunctionInfo& info) {
  for (const auto& [id, entity] : info.entities) {
    if (entity.subtype == 0x0A) return &entity;
  }
  return nullptr;
}

}  // namespace

TEST(UsbClassRequest, InvalidRequestsAreRejectedUnsent) {
  Harness h(Model("oxley-10x6"), Configured());
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  UCHAR data[4] = {};
  const uint64_t before = h.Device().GetDeviceCounters().controlRequests;
  EXPECT_EQ(h.Usb().ClassRequest(0x80, 6, 0x0100, 0, 4, data), STATUS_INVALID_PARAMETER);  // standard
  EXPECT_EQ(h.Usb().ClassRequest(0xE1, 1, 0x0100, 0, 4, data), STATUS_INVALID_PARAMETER);  // reserved type
  EXPECT_EQ(h.Usb().ClassRequest(0x24, 1, 0, 0, 0, nullptr), STATUS_INVALID_PARAMETER);    // recipient 4
  EXPECT_EQ(h.Usb().ClassRequest(0xA1, 1, 0x0100, 0, 4, nullptr), STATUS_INVALID_PARAMETER);  // no buffer
  EXPECT_EQ(ControlRequestsSeen(h.SpyFilter()), 0u);
  EXPECT_EQ(h.Device().GetDeviceCounters().controlRequests, before);

  // Vendor, interface, out, no data: sent as it is (the device may refuse it).
  h.Usb().ClassRequest(0x41, 0x33, 0, 0, 0, nullptr);
  ASSERT_EQ(h.SpyFilter().Count(URB_FUNCTION_VENDOR_INTERFACE), 1u);
  const SeenUrb sent = h.SpyFilter().Seen().back();
  EXPECT_EQ(sent.transferFlags, 0u);
  EXPECT_EQ(sent.transferLength, 0u);
  EXPECT_EQ(h.Device().GetDeviceCounters().controlRequests, before + 1);
}

TEST(UsbClassRequest, ReadsTheClockRateOfAnAudio20Function) {
  Harness h(Model("oxley-10x6"), Configured());
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  const auto& info = h.Device().Function();
  const sim::usb::EntityInfo* clock = FirstClockSource(info);
  ASSERT_NE(clock, nullptr);
  ULONG rate = 0;
  const USHORT index = static_cast<USHORT>(clock->id << 8 | info.acInterfaceNumber);
  ASSERT_EQ(h.Usb().ClassRequest(0xA1, 0x01, 0x0100, index, 4, &rate), STATUS_SUCCESS);
  EXPECT_EQ(rate, h.Device().ClockRate(clock->id));
  const SeenUrb sent = h.SpyFilter().Seen().back();
  EXPECT_EQ(sent.function, URB_FUNCTION_CLASS_INTERFACE);
  EXPECT_EQ(sent.transferFlags, static_cast<ULONG>(USBD_TRANSFER_DIRECTION_IN));  // never short-OK
}

TEST(UsbSelectAlternate, RefusesWhatIsNotConfigured) {
  Harness h(Model("oxley-2x2"));
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  CUSBCL& usb = h.Usb();
  EXPECT_EQ(usb.SelectAlternate(1, 1), STATUS_UNSUCCESSFUL);  // nothing configured yet

  // Configure with a list of our own that leaves out every interface but the first.
  LONG count = 0;
  PUSBD_INTERFACE_LIST_ENTRY list = usb.CreateInterfaceList(&count);
  ASSERT_NE(list, nullptr);
  ASSERT_GE(count, 2);
  const UCHAR leftOut = list[1].InterfaceDescriptor->bInterfaceNumber;
  list[1].InterfaceDescriptor = nullptr;
  ASSERT_EQ(usb.ConfigurationRequest(list, 1), STATUS_SUCCESS);
  CUSBCL::FreeInterfaceList(list);
  EXPECT_EQ(usb.SelectAlternate(leftOut, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(usb.SelectAlternate(0x7F, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(usb.SelectAlternate(0, 9), STATUS_INVALID_PARAMETER);  // no such alternate setting
  EXPECT_EQ(h.SpyFilter().Count(URB_FUNCTION_SELECT_INTERFACE), 0u);
  EXPECT_EQ(usb.SelectAlternate(0, 0), STATUS_SUCCESS);
}

TEST(UsbPipeRequests, RefusedAbovePassiveAndWithoutPipe) {
  sim::usb::ConfigurationBuilder c;
  c.Interface(0, 0, 0xFF, 0, 0).Interface(0, 1, 0xFF, 0, 0).Endpoint(0x81, 0x05, 192, 1);
  sim::usb::DeviceDescriptorFields f;
  f.bDeviceClass = 0xFF;
  Harness h(FromDescriptors(sim::usb::BuildDeviceDescriptor(f), c.Build()), Configured());
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  ASSERT_EQ(h.Usb().SelectAlternate(0, 1), STATUS_SUCCESS);
  PUSBD_PIPE_INFORMATION pipe = h.Usb().FindPipe(0x81);
  ASSERT_NE(pipe, nullptr);
  EXPECT_EQ(h.Usb().FindPipe(0x82), nullptr);

  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  const NTSTATUS atDispatch = h.Usb().AbortPipe(pipe);
  const NTSTATUS resetAtDispatch = h.Usb().ResetPipe(pipe);
  KeLowerIrql(old);
  EXPECT_EQ(atDispatch, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(resetAtDispatch, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(h.SpyFilter().Count(URB_FUNCTION_ABORT_PIPE), 0u);
  EXPECT_EQ(h.SpyFilter().Count(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL), 0u);

  EXPECT_EQ(h.Usb().AbortPipe(nullptr), STATUS_INVALID_PARAMETER);
  USBD_PIPE_INFORMATION closed = *pipe;
  closed.PipeHandle = nullptr;
  EXPECT_EQ(h.Usb().ResetPipe(&closed), STATUS_INVALID_PARAMETER);

  EXPECT_EQ(h.Usb().AbortPipe(pipe), STATUS_SUCCESS);
  EXPECT_EQ(h.Usb().ResetPipe(pipe), STATUS_SUCCESS);
  EXPECT_EQ(h.SpyFilter().Count(URB_FUNCTION_ABORT_PIPE), 1u);
  EXPECT_EQ(h.SpyFilter().Count(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL), 1u);
}

TEST(UsbControllerInfo, ReportsTheHostControllerAsConfigured) {
  sim::usb::ControllerInfo controller;
  controller.pciVendorId = 0x1022;
  controller.pciDeviceId = 0x7814;
  controller.pciRevision = 0x11;
  controller.numberOfRootPorts = 6;
  controller.flavor = OHCI_Generic;
  Harness h(Model("oxley-2x2"), WithController(controller));
  ASSERT_EQ(h.AttachStatus(), STATUS_SUCCESS);
  USB_CONTROLLER_INFO_0 info;
  memset(&info, 0xCC, sizeof(info));
  ASSERT_EQ(h.Usb().QueryControllerInfo(&info), STATUS_SUCCESS);
  EXPECT_EQ(info.PciVendorId, 0x1022u);
  EXPECT_EQ(info.PciDeviceId, 0x7814u);
  EXPECT_EQ(info.PciRevision, 0x11u);
  EXPECT_EQ(info.NumberOfRootPorts, 6u);
  EXPECT_EQ(info.ControllerFlavor, OHCI_Generic);

  controller.pciVendorId = 0x8086;
  controller.flavor = EHCI_Intel_Medfield;
  h.Bus().Controller().SetInfo(controller);
  ASSERT_EQ(h.Usb().QueryControllerInfo(&info), STATUS_SUCCESS);
  EXPECT_EQ(info.PciVendorId, 0x8086u);
  EXPECT_EQ(info.ControllerFlavor, EHCI_Intel_Medfield);

  EXPECT_EQ(h.Usb().QueryControllerInfo(nullptr), STATUS_INVALID_PARAMETER);
}
