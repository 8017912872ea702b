// File objects: opening a path (IRP_MJ_CREATE), handles (IRP_MJ_CLEANUP when
// the last one closes) and references (IRP_MJ_CLOSE when the last one goes).
#pragma once
#include <string_view>

#include <wdm.h>

namespace sim::io {

// Opens path with IRP_MJ_CREATE sent to the top of the device's stack. On
// success *file is a new file object with one handle and one reference (the
// handle's), else nothing is left behind and no IRP_MJ_CLOSE is sent.
NTSTATUS OpenFileObject(std::u16string_view path, ACCESS_MASK access, ULONG shareAccess, KPROCESSOR_MODE mode,
                        PFILE_OBJECT* file);
// Another handle (and its reference) to an open file object.
void DuplicateFileHandle(PFILE_OBJECT file);
// Closes one handle: IRP_MJ_CLEANUP when it was the last, then drops the
// handle's reference (IRP_MJ_CLOSE follows once no reference is left).
void CloseFileHandle(PFILE_OBJECT file, KPROCESSOR_MODE mode);
// Number of handles still open on the file object.
int FileHandleCount(PFILE_OBJECT file);

}  // namespace sim::io
