// Trace events of the USB request layer (block 2000). Values listed after
// each event are the ones it carries, in order.
#pragma once
#include "base/trace_events.h"

#define TROX_USB_EVENT(n) static_cast<TraceEvent>(TraceUsbFirst + (n))

// Attach and descriptors.
constexpr TraceEvent TraceUsbAttach = TROX_USB_EVENT(1);                  // lower device, pool size
constexpr TraceEvent TraceUsbAttachDone = TROX_USB_EVENT(2);              // status
constexpr TraceEvent TraceUsbIrpAllocFailed = TROX_USB_EVENT(3);          // index, stack size
constexpr TraceEvent TraceUsbDescriptorReadFailed = TROX_USB_EVENT(4);    // type, index, status, URB status
constexpr TraceEvent TraceUsbDescriptorShort = TROX_USB_EVENT(5);         // type, index, asked, returned
constexpr TraceEvent TraceUsbConfigTotalLengthBad = TROX_USB_EVENT(6);    // wTotalLength, first wTotalLength
constexpr TraceEvent TraceUsbConfigMalformed = TROX_USB_EVENT(7);         // offset, bLength, type, wTotalLength
constexpr TraceEvent TraceUsbConfigEndpointCountBad = TROX_USB_EVENT(8);  // interface, alternate, bNumEndpoints, found
constexpr TraceEvent TraceUsbLanguageListBad = TROX_USB_EVENT(9);         // bLength
constexpr TraceEvent TraceUsbAllocFailed = TROX_USB_EVENT(10);            // size
constexpr TraceEvent TraceUsbDeviceDescriptor = TROX_USB_EVENT(11);       // idVendor, idProduct, bcdUSB, high speed

// Bus interface.
constexpr TraceEvent TraceUsbBusInterfaceFailed = TROX_USB_EVENT(20);      // status
constexpr TraceEvent TraceUsbBusInterfaceIncomplete = TROX_USB_EVENT(21);  // size, version

// Synchronous requests.
constexpr TraceEvent TraceUsbSubmitUrbFailed = TROX_USB_EVENT(30);       // function, status, URB status
constexpr TraceEvent TraceUsbIrpBuildFailed = TROX_USB_EVENT(31);        // control code
constexpr TraceEvent TraceUsbClassRequestRejected = TROX_USB_EVENT(32);  // bmRequestType, bRequest, wLength
constexpr TraceEvent TraceUsbClassRequestFailed = TROX_USB_EVENT(33);    // bmRequestType, bRequest, status
constexpr TraceEvent TraceUsbPipeRequestRejected = TROX_USB_EVENT(34);   // function, IRQL
constexpr TraceEvent TraceUsbPipeRequestFailed = TROX_USB_EVENT(35);     // function, endpoint, status

// Configuration and interfaces.
constexpr TraceEvent TraceUsbInterfaceListEmpty = TROX_USB_EVENT(40);       // bNumInterfaces
constexpr TraceEvent TraceUsbConfigureFailed = TROX_USB_EVENT(41);          // status, entry count
constexpr TraceEvent TraceUsbInterfaceInfoBad = TROX_USB_EVENT(42);         // position, Length, NumberOfPipes
constexpr TraceEvent TraceUsbSelectAlternateRejected = TROX_USB_EVENT(43);  // interface, alternate, status
constexpr TraceEvent TraceUsbSelectAlternateFailed = TROX_USB_EVENT(44);    // interface, alternate, status
constexpr TraceEvent TraceUsbInterfaceMissing = TROX_USB_EVENT(45);         // position, entry count

// Strings.
constexpr TraceEvent TraceUsbStringRejected = TROX_USB_EVENT(50);  // index, language
constexpr TraceEvent TraceUsbStringFailed = TROX_USB_EVENT(51);    // index, language, status
constexpr TraceEvent TraceUsbStringEmpty = TROX_USB_EVENT(52);     // index, bLength

// Transfers.
constexpr TraceEvent TraceUsbTransferRejected = TROX_USB_EVENT(60);      // endpoint, length, packets
constexpr TraceEvent TraceUsbTransferNoResources = TROX_USB_EVENT(61);   // endpoint, what (1 context, 2 URB, 3 IRP)
constexpr TraceEvent TraceUsbIsoZeroLength = TROX_USB_EVENT(62);         // endpoint
constexpr TraceEvent TraceUsbIsoIntervalUnrounded = TROX_USB_EVENT(63);  // endpoint, interval, high speed
constexpr TraceEvent TraceUsbTransferFailed = TROX_USB_EVENT(64);  // endpoint, IRP status, reported status, URB status
constexpr TraceEvent TraceUsbIsoUrb = TROX_USB_EVENT(65);          // start frame, packets, error count, URB status
constexpr TraceEvent TraceUsbIsoPacket = TROX_USB_EVENT(66);       // index, offset, length, status
constexpr TraceEvent TraceUsbIsoBadStartFrame = TROX_USB_EVENT(67);          // start frame, current frame, status
constexpr TraceEvent TraceUsbIsoPacketOutside = TROX_USB_EVENT(68);          // index, offset, length, buffer length
constexpr TraceEvent TraceUsbCompletionWithoutContext = TROX_USB_EVENT(69);  // IRP
constexpr TraceEvent TraceUsbFramesNotIsochronous = TROX_USB_EVENT(70);      // pipe type
constexpr TraceEvent TraceUsbWaitForTransfers = TROX_USB_EVENT(71);          // IRPs in use

// Host controller information.
constexpr TraceEvent TraceUsbControllerNameFailed = TROX_USB_EVENT(80);  // step, status, actual length
constexpr TraceEvent TraceUsbControllerOpenFailed = TROX_USB_EVENT(81);  // status
constexpr TraceEvent TraceUsbControllerInfoFailed = TROX_USB_EVENT(82);  // status, user status code
constexpr TraceEvent TraceUsbControllerInfo = TROX_USB_EVENT(83);        // vendor, device, flavor

// Exit of a synchronous operation (verbose level).
constexpr TraceEvent TraceUsbOperationDone = TROX_USB_EVENT(90);  // operation, status, argument, argument

#undef TROX_USB_EVENT

// Operation numbers carried by TraceUsbOperationDone.
enum UsbTraceOperation : unsigned {
  UsbOpConfigurationRequest = 1,
  UsbOpSelectAlternate = 2,
  UsbOpClassRequest = 3,
  UsbOpGetStringDescriptor = 4,
  UsbOpPipeRequest = 5,
  UsbOpQueryControllerInfo = 6,
};
