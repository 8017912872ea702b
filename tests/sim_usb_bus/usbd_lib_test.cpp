// The usbd.sys helpers over a real configuration descriptor.
#include <gtest/gtest.h>
#include <usbdlib.h>
#include <wdm.h>

#include <vector>

#include "sim/kernel/core/pool.h"

namespace {

// Configuration: interface 0 (audio control, 0 endpoints, one class-specific
// descriptor), interface 1 alt 0 (no endpoints) and alt 1 (two endpoints).
std::vector<uint8_t> SampleConfiguration() {
  std::vector<uint8_t> c = {9,    2, 0, 0, 2, 1, 0,    0x80, 50,   9,    4, 0, 0, 0,    1,    1,    0,    0, 6,
                            0x24, 1, 0, 2, 0, 9, 4,    1,    0,    0,    1, 2, 0, 0,    9,    4,    1,    1, 2,
                            1,    2, 0, 0, 7, 5, 0x01, 0x05, 0x00, 0x01, 1, 7, 5, 0x81, 0x11, 0x04, 0x00, 4};
  c[2] = static_cast<uint8_t>(c.size());
  return c;
}

TEST(UsbdLib, ParsesInterfacesByNumberAlternateAndClass) {
  auto c = SampleConfiguration();
  auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(c.data());
  auto* alt1 = USBD_ParseConfigurationDescriptorEx(cd, cd, 1, 1, -1, -1, -1);
  ASSERT_NE(alt1, nullptr);
  EXPECT_EQ(alt1->bNumEndpoints, 2);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, cd, -1, -1, 1, 1, -1)->bInterfaceNumber, 0);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, cd, 2, 0, -1, -1, -1), nullptr);
  // Searching on from a position finds the later match only.
  auto* first = USBD_ParseConfigurationDescriptorEx(cd, cd, 1, -1, -1, -1, -1);
  auto* next =
      USBD_ParseConfigurationDescriptorEx(cd, reinterpret_cast<PUCHAR>(first) + first->bLength, 1, -1, -1, -1, -1);
  EXPECT_EQ(first->bAlternateSetting, 0);
  EXPECT_EQ(next, alt1);
  EXPECT_EQ(USBD_GetInterfaceLength(alt1, c.data() + c.size()), 9u + 7u + 7u);
  auto* ep = USBD_ParseDescriptors(cd, cd->wTotalLength, alt1, USB_ENDPOINT_DESCRIPTOR_TYPE);
  ASSERT_NE(ep, nullptr);
  EXPECT_EQ(reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(ep)->bEndpointAddress, 0x01);
}

TEST(UsbdLib, MalformedDescriptorsEndTheWalk) {
  auto c = SampleConfiguration();
  c[9] = 0;  // interface 0 with bLength 0
  auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(c.data());
  EXPECT_EQ(USBD_ParseDescriptors(cd, cd->wTotalLength, c.data() + 9, USB_ENDPOINT_DESCRIPTOR_TYPE), nullptr);
  auto t = SampleConfiguration();
  auto* td = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(t.data());
  // The last endpoint runs past the stated total length.
  EXPECT_EQ(USBD_ParseDescriptors(td, td->wTotalLength - 3, t.data() + t.size() - 7, USB_ENDPOINT_DESCRIPTOR_TYPE),
            nullptr);
}

TEST(UsbdLib, ConfigurationRequestHasRoomForEveryPipeAndIsPoolMemory) {
  auto c = SampleConfiguration();
  auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(c.data());
  USBD_INTERFACE_LIST_ENTRY list[3] = {{USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 0, -1, -1, -1), nullptr},
                                       {USBD_ParseConfigurationDescriptorEx(cd, cd, 1, 1, -1, -1, -1), nullptr},
                                       {nullptr, nullptr}};
  size_t before = sim::pool::OutstandingCount();
  PURB urb = USBD_CreateConfigurationRequestEx(cd, list);
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(sim::pool::OutstandingCount(), before + 1);
  EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(urb->UrbHeader.Length, 40u + 24u + (24u + 2 * 24u));
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, cd);
  ASSERT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
  EXPECT_EQ(list[0].Interface->Length, 24);
  EXPECT_EQ(list[1].Interface->Length, 72);
  EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
  EXPECT_EQ(list[1].Interface->AlternateSetting, 1);
  EXPECT_EQ(list[1].Interface->NumberOfPipes, 2u);
  EXPECT_EQ(reinterpret_cast<PUCHAR>(list[1].Interface), reinterpret_cast<PUCHAR>(list[0].Interface) + 24);
  ExFreePool(urb);
  EXPECT_EQ(sim::pool::OutstandingCount(), before);
}

TEST(UsbdLib, SizeMacrosMatchTheWindowsLayouts) {
  EXPECT_EQ(GET_ISO_URB_SIZE(8), 152u + 12u * 8u);
  EXPECT_EQ(GET_SELECT_INTERFACE_REQUEST_SIZE(3), 56u + 24u * 3u);
  EXPECT_EQ(GET_USBD_INTERFACE_SIZE(3), 24u + 24u * 3u);
  EXPECT_EQ(sizeof(URB), 152u);
}

}  // namespace
