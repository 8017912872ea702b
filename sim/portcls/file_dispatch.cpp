// Creates, cleanups and closes on the adapter device: a create opens the
// subdevice registered under the file name; without one it fails.
#include "sim/portcls/handlers.h"
#include "sim/portcls/lower_device.h"

namespace sim::portcls {

NTSTATUS HandleCreate(AdapterDevice& device, PIRP irp) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  PUNKNOWN subdevice = device.subdevices.FindByFileName(file != nullptr ? &file->FileName : nullptr);
  if (subdevice == nullptr) return CompleteIrp(irp, STATUS_OBJECT_NAME_NOT_FOUND);
  // Filters, pins and their kernel-streaming objects are opened here once
  // subdevices can be registered.
  return CompleteIrp(irp, STATUS_NOT_SUPPORTED);
}

NTSTATUS HandleCloseOrCleanup(AdapterDevice& device, PIRP irp) {
  UNREFERENCED_PARAMETER(device);
  return CompleteIrp(irp, STATUS_SUCCESS);
}

}  // namespace sim::portcls
