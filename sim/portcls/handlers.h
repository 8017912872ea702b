// Port class's handling of the adapter device's requests, by kind. Each
// handler completes or passes on the IRP and returns the dispatch status.
#pragma once
#include "sim/portcls/adapter_device.h"

namespace sim::portcls {

NTSTATUS HandlePnp(AdapterDevice& device, PIRP irp);
NTSTATUS HandlePower(AdapterDevice& device, PIRP irp);
NTSTATUS HandleCreate(AdapterDevice& device, PIRP irp);
NTSTATUS HandleCloseOrCleanup(AdapterDevice& device, PIRP irp);

}  // namespace sim::portcls
