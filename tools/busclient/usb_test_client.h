// A small USB client for tests and troxsim: it talks to a device's PDO the
// way a class driver does, with URBs in internal device-control IRPs.
#pragma once

#include <usb.h>
#include <usbbusif.h>
#include <wdm.h>

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

namespace trox::busclient {

class UsbTestClient {
 public:
  explicit UsbTestClient(PDEVICE_OBJECT target);
  ~UsbTestClient();
  UsbTestClient(const UsbTestClient&) = delete;
  UsbTestClient& operator=(const UsbTestClient&) = delete;

  PDEVICE_OBJECT Target() const { return target_; }

  // Synchronous requests (PASSIVE_LEVEL): IoBuildDeviceIoControlRequest,
  // IoCallDriver, wait. The URB status stays in the URB.
  NTSTATUS SubmitUrb(PURB urb);
  NTSTATUS InternalIoctl(ULONG code, PVOID argument1, PVOID argument2);

  NTSTATUS GetDescriptor(UCHAR type, UCHAR index, USHORT languageId, void* buffer, ULONG* length,
                         USBD_STATUS* urbStatus = nullptr);
  NTSTATUS ReadConfiguration(std::vector<uint8_t>* configuration);
  // Configures every interface at alternate setting 0 (or only those listed).
  NTSTATUS SelectConfiguration(const std::vector<uint8_t>& interfaces = {}, USBD_STATUS* urbStatus = nullptr);
  NTSTATUS SelectAlternate(UCHAR interfaceNumber, UCHAR alternate, USBD_STATUS* urbStatus = nullptr);
  USBD_CONFIGURATION_HANDLE ConfigurationHandle() const { return configHandle_; }
  // The pipe of that endpoint in the current settings, or null.
  const USBD_PIPE_INFORMATION* FindPipe(UCHAR endpointAddress) const;
  const USBD_INTERFACE_INFORMATION* Interface(UCHAR interfaceNumber) const;

  // Class or vendor request; bmRequestType picks the URB function.
  NTSTATUS ClassRequest(UCHAR bmRequestType, UCHAR request, USHORT value, USHORT index, USHORT length, void* buffer,
                        USBD_STATUS* urbStatus = nullptr, ULONG* transferred = nullptr);
  NTSTATUS PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe, USBD_STATUS* urbStatus = nullptr);
  NTSTATUS CurrentFrame(ULONG* frame);

  NTSTATUS QueryBusInterface(USHORT version, USHORT size, USB_BUS_INTERFACE_USBDI_V1* out);

  // Asynchronous request: the IRP comes from IoAllocateIrp and is freed after
  // the callback, which runs in the bus driver's completion context.
  using Completion = std::function<void(NTSTATUS status, PURB urb)>;
  PIRP SubmitAsync(PURB urb, Completion done);

 private:
  static NTSTATUS OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context);
  PDEVICE_OBJECT target_;
  std::vector<uint8_t> config_;
  USBD_CONFIGURATION_HANDLE configHandle_ = nullptr;
  std::map<UCHAR, std::vector<uint8_t>> interfaces_;  // copies of the interface information
};

}  // namespace trox::busclient
