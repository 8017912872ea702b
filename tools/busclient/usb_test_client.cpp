#include "tools/busclient/usb_test_client.h"

#include <usbdlib.h>
#include <usbioctl.h>

#include <algorithm>
#include <cstring>

namespace trox::busclient {

UsbTestClient::UsbTestClient(PDEVICE_OBJECT target) : target_(target) {}

UsbTestClient::~UsbTestClient() = default;

NTSTATUS UsbTestClient::InternalIoctl(ULONG code, PVOID argument1, PVOID argument2) {
  KEVENT event;
  IO_STATUS_BLOCK iosb{};
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(code, target_, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->Parameters.Others.Argument1 = argument1;
  next->Parameters.Others.Argument2 = argument2;
  NTSTATUS status = IoCallDriver(target_, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  }
  return status;
}

NTSTATUS UsbTestClient::SubmitUrb(PURB urb) { return InternalIoctl(IOCTL_INTERNAL_USB_SUBMIT_URB, urb, nullptr); }

NTSTATUS UsbTestClient::GetDescriptor(UCHAR type, UCHAR index, USHORT languageId, void* buffer, ULONG* length,
                                      USBD_STATUS* urbStatus) {
  URB urb{};
  UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, index, languageId, buffer,
                               nullptr, *length, nullptr);
  NTSTATUS status = SubmitUrb(&urb);
  *length = urb.UrbControlDescriptorRequest.TransferBufferLength;
  if (urbStatus) *urbStatus = urb.UrbHeader.Status;
  return status;
}

NTSTATUS UsbTestClient::ReadConfiguration(std::vector<uint8_t>* configuration) {
  USB_CONFIGURATION_DESCRIPTOR head{};
  ULONG length = sizeof head;
  NTSTATUS status = GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, &head, &length);
  if (!NT_SUCCESS(status)) return status;
  if (length != sizeof head) return STATUS_NOT_SUPPORTED;
  configuration->assign(head.wTotalLength, 0);
  length = head.wTotalLength;
  status = GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, configuration->data(), &length);
  if (NT_SUCCESS(status) && length != head.wTotalLength) return STATUS_NOT_SUPPORTED;
  return status;
}

NTSTATUS UsbTestClient::SelectConfiguration(const std::vector<uint8_t>& interfaces, USBD_STATUS* urbStatus) {
  if (config_.empty()) {
    NTSTATUS s = ReadConfiguration(&config_);
    if (!NT_SUCCESS(s)) return s;
  }
  auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config_.data());
  std::vector<USBD_INTERFACE_LIST_ENTRY> list;
  for (UCHAR i = 0; i < cd->bNumInterfaces; ++i) {
    if (!interfaces.empty() && std::find(interfaces.begin(), interfaces.end(), i) == interfaces.end()) continue;
    auto* d = USBD_ParseConfigurationDescriptorEx(cd, cd, i, 0, -1, -1, -1);
    if (d != nullptr) list.push_back({d, nullptr});
  }
  list.push_back({nullptr, nullptr});
  PURB urb = USBD_CreateConfigurationRequestEx(cd, list.data());
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = SubmitUrb(urb);
  if (urbStatus) *urbStatus = urb->UrbHeader.Status;
  if (NT_SUCCESS(status)) {
    configHandle_ = urb->UrbSelectConfiguration.ConfigurationHandle;
    interfaces_.clear();
    for (auto& e : list) {
      if (e.Interface == nullptr) continue;
      auto* p = reinterpret_cast<const uint8_t*>(e.Interface);
      interfaces_[e.Interface->InterfaceNumber].assign(p, p + e.Interface->Length);
    }
  }
  ExFreePool(urb);
  return status;
}

NTSTATUS UsbTestClient::SelectAlternate(UCHAR interfaceNumber, UCHAR alternate, USBD_STATUS* urbStatus) {
  auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config_.data());
  auto* d =
      config_.empty() ? nullptr : USBD_ParseConfigurationDescriptorEx(cd, cd, interfaceNumber, alternate, -1, -1, -1);
  ULONG pipes = d ? d->bNumEndpoints : 0;
  ULONG size = static_cast<ULONG>(GET_SELECT_INTERFACE_REQUEST_SIZE(pipes ? pipes : 1));
  if (pipes == 0) size = sizeof(struct _URB_SELECT_INTERFACE) - sizeof(USBD_PIPE_INFORMATION);
  std::vector<uint8_t> buffer(size + sizeof(USBD_PIPE_INFORMATION), 0);
  auto* urb = reinterpret_cast<PURB>(buffer.data());
  UsbBuildSelectInterfaceRequest(urb, static_cast<USHORT>(size), configHandle_, interfaceNumber, alternate);
  urb->UrbSelectInterface.Interface.Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(pipes));
  NTSTATUS status = SubmitUrb(urb);
  if (urbStatus) *urbStatus = urb->UrbHeader.Status;
  if (NT_SUCCESS(status)) {
    auto* p = reinterpret_cast<const uint8_t*>(&urb->UrbSelectInterface.Interface);
    interfaces_[interfaceNumber].assign(p, p + urb->UrbSelectInterface.Interface.Length);
  }
  return status;
}

const USBD_INTERFACE_INFORMATION* UsbTestClient::Interface(UCHAR interfaceNumber) const {
  auto it = interfaces_.find(interfaceNumber);
  return it == interfaces_.end() ? nullptr : reinterpret_cast<const USBD_INTERFACE_INFORMATION*>(it->second.data());
}

const USBD_PIPE_INFORMATION* UsbTestClient::FindPipe(UCHAR endpointAddress) const {
  for (auto& [n, bytes] : interfaces_) {
    auto* info = reinterpret_cast<const USBD_INTERFACE_INFORMATION*>(bytes.data());
    for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
      if (info->Pipes[i].EndpointAddress == endpointAddress) return &info->Pipes[i];
    }
  }
  return nullptr;
}

NTSTATUS UsbTestClient::ClassRequest(UCHAR bmRequestType, UCHAR request, USHORT value, USHORT index, USHORT length,
                                     void* buffer, USBD_STATUS* urbStatus, ULONG* transferred) {
  static const USHORT kClass[4] = {URB_FUNCTION_CLASS_DEVICE, URB_FUNCTION_CLASS_INTERFACE, URB_FUNCTION_CLASS_ENDPOINT,
                                   URB_FUNCTION_CLASS_OTHER};
  static const USHORT kVendor[4] = {URB_FUNCTION_VENDOR_DEVICE, URB_FUNCTION_VENDOR_INTERFACE,
                                    URB_FUNCTION_VENDOR_ENDPOINT, URB_FUNCTION_VENDOR_OTHER};
  UCHAR type = (bmRequestType >> 5) & 3;
  UCHAR recipient = bmRequestType & 0x1F;
  if ((type != 1 && type != 2) || recipient > 3) return STATUS_INVALID_PARAMETER;
  URB urb{};
  USHORT function = type == 1 ? kClass[recipient] : kVendor[recipient];
  ULONG flags = (bmRequestType & 0x80) ? USBD_TRANSFER_DIRECTION_IN : 0;
  UsbBuildVendorRequest(&urb, function, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), flags, 0, request, value,
                        index, buffer, nullptr, length, nullptr);
  NTSTATUS status = SubmitUrb(&urb);
  if (urbStatus) *urbStatus = urb.UrbHeader.Status;
  if (transferred) *transferred = urb.UrbControlVendorClassRequest.TransferBufferLength;
  return status;
}

NTSTATUS UsbTestClient::PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe, USBD_STATUS* urbStatus) {
  URB urb{};
  urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
  urb.UrbHeader.Function = function;
  urb.UrbPipeRequest.PipeHandle = pipe;
  NTSTATUS status = SubmitUrb(&urb);
  if (urbStatus) *urbStatus = urb.UrbHeader.Status;
  return status;
}

NTSTATUS UsbTestClient::CurrentFrame(ULONG* frame) {
  URB urb{};
  urb.UrbHeader.Length = sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
  urb.UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
  NTSTATUS status = SubmitUrb(&urb);
  *frame = urb.UrbGetCurrentFrameNumber.FrameNumber;
  return status;
}

namespace {
NTSTATUS QueryInterfaceDone(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}
}  // namespace

NTSTATUS UsbTestClient::QueryBusInterface(USHORT version, USHORT size, USB_BUS_INTERFACE_USBDI_V1* out) {
  PIRP irp = IoAllocateIrp(target_->StackSize, FALSE);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = IRP_MJ_PNP;
  sp->MinorFunction = IRP_MN_QUERY_INTERFACE;
  sp->Parameters.QueryInterface.InterfaceType = &USB_BUS_INTERFACE_USBDI_GUID;
  sp->Parameters.QueryInterface.Size = size;
  sp->Parameters.QueryInterface.Version = version;
  sp->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(out);
  sp->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
  IoSetCompletionRoutine(irp, QueryInterfaceDone, &event, TRUE, TRUE, TRUE);
  if (IoCallDriver(target_, irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  }
  NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return status;
}

struct AsyncContext {
  UsbTestClient::Completion done;
  PURB urb;
};

NTSTATUS UsbTestClient::OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* ctx = static_cast<AsyncContext*>(context);
  NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  ctx->done(status, ctx->urb);
  delete ctx;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

PIRP UsbTestClient::SubmitAsync(PURB urb, Completion done) {
  PIRP irp = IoAllocateIrp(target_->StackSize, FALSE);
  if (irp == nullptr) return nullptr;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  sp->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  sp->Parameters.Others.Argument1 = urb;
  auto* ctx = new AsyncContext{std::move(done), urb};
  IoSetCompletionRoutine(irp, OnComplete, ctx, TRUE, TRUE, TRUE);
  IoCallDriver(target_, irp);
  return irp;
}

}  // namespace trox::busclient
