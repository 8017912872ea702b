#include "sim/usb/bus/bus_interface.h"

#include <usbbusif.h>
#include <usbdlib.h>

#include "sim/usb/bus/host_controller.h"
#include "sim/usb/bus/pdo_extension.h"

namespace sim::usb {

namespace {

PdoExtension* Context(PVOID busContext) {
  auto* ext = static_cast<PdoExtension*>(busContext);
  return (ext != nullptr && ext->signature == kPdoSignature) ? ext : nullptr;
}

void Reference(PVOID context) {
  if (auto* ext = Context(context)) ext->slot->busInterfaceReferences++;
}

void Dereference(PVOID context) {
  if (auto* ext = Context(context)) ext->slot->busInterfaceReferences--;
}

VOID GetUsbdiVersion(PVOID, PUSBD_VERSION_INFORMATION version, PULONG hcdCapabilities) {
  USBD_GetUSBDIVersion(version);
  if (hcdCapabilities != nullptr) *hcdCapabilities = 0;
}

NTSTATUS QueryBusTime(PVOID busContext, PULONG currentFrame) {
  auto* ext = Context(busContext);
  if (ext == nullptr) return STATUS_INVALID_PARAMETER;
  if (currentFrame != nullptr) *currentFrame = static_cast<ULONG>(ext->controller->CurrentFrame());
  return STATUS_SUCCESS;
}

NTSTATUS SubmitIsoOutUrb(PVOID, PURB) {
  // Documented as not implemented by the USB stack.
  return STATUS_NOT_SUPPORTED;
}

NTSTATUS QueryBusInformation(PVOID busContext, ULONG level, PVOID buffer, PULONG bufferLength,
                             PULONG actualLength) {
  auto* ext = Context(busContext);
  if (ext == nullptr || bufferLength == nullptr) return STATUS_INVALID_PARAMETER;
  if (level != 0 && level != 1) return STATUS_NOT_SUPPORTED;
  ULONG needed = static_cast<ULONG>(sizeof(USB_BUS_INFORMATION_LEVEL_0));
  if (actualLength) *actualLength = needed;
  if (*bufferLength < needed || buffer == nullptr) return STATUS_BUFFER_TOO_SMALL;
  auto* info = static_cast<PUSB_BUS_INFORMATION_LEVEL_0>(buffer);
  info->TotalBandwidth = ext->slot->HighSpeed() ? 480000 : 12000;  // kbit/s
  info->ConsumedBandwidth = 0;
  *bufferLength = needed;
  return STATUS_SUCCESS;
}

BOOLEAN IsDeviceHighSpeed(PVOID busContext) {
  auto* ext = Context(busContext);
  return (ext != nullptr && ext->slot->HighSpeed()) ? TRUE : FALSE;
}

}  // namespace

NTSTATUS QueryUsbdiBusInterface(PdoExtension* ext, PIO_STACK_LOCATION sp) {
  auto& q = sp->Parameters.QueryInterface;
  USHORT version = q.Version;
  if (q.Interface == nullptr) return STATUS_INVALID_PARAMETER;
  if (version == USB_BUSIF_USBDI_VERSION_0) {
    if (q.Size < sizeof(USB_BUS_INTERFACE_USBDI_V0)) return STATUS_INVALID_PARAMETER;
  } else if (version == USB_BUSIF_USBDI_VERSION_1) {
    if (q.Size < sizeof(USB_BUS_INTERFACE_USBDI_V1)) return STATUS_INVALID_PARAMETER;
  } else {
    return STATUS_NOT_SUPPORTED;
  }
  auto* bi = reinterpret_cast<PUSB_BUS_INTERFACE_USBDI_V1>(q.Interface);
  bi->Size = version == USB_BUSIF_USBDI_VERSION_0 ? sizeof(USB_BUS_INTERFACE_USBDI_V0) : sizeof(USB_BUS_INTERFACE_USBDI_V1);
  bi->Version = version;
  bi->BusContext = ext;
  bi->InterfaceReference = Reference;
  bi->InterfaceDereference = Dereference;
  bi->GetUSBDIVersion = GetUsbdiVersion;
  bi->QueryBusTime = QueryBusTime;
  bi->SubmitIsoOutUrb = SubmitIsoOutUrb;
  bi->QueryBusInformation = QueryBusInformation;
  if (version == USB_BUSIF_USBDI_VERSION_1) bi->IsDeviceHighSpeed = IsDeviceHighSpeed;
  Reference(ext);
  return STATUS_SUCCESS;
}

}  // namespace sim::usb
