// The object namespace of the I/O manager: named device objects
// ("\Device\..."), symbolic links ("\??\..." / "\DosDevices\...") and the
// resolution of a path to a device plus the remaining file name.
#pragma once
#include <string>
#include <string_view>

#include <wdm.h>

namespace sim::io {

NTSTATUS InsertDeviceName(std::u16string_view name, PDEVICE_OBJECT dev);
void RemoveDeviceName(PDEVICE_OBJECT dev);
// Referenced device with exactly that name, or null.
PDEVICE_OBJECT ReferenceDeviceByName(std::u16string_view name);

// "\DosDevices\X", "\\.\X", "\\?\X" and "\GLOBAL??\X" are spelled "\??\X".
std::u16string NormalizeLinkName(std::u16string_view path);

// Resolves a path to a referenced device object and the rest of the path
// (the file name sent with IRP_MJ_CREATE). Device interface links, symbolic
// links and "\Device\..." names are understood.
NTSTATUS ResolvePath(std::u16string_view path, PDEVICE_OBJECT* device, std::u16string* remainder);

}  // namespace sim::io
