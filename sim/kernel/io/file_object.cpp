#include "sim/kernel/io/file_object.h"

#include <atomic>
#include <cstdlib>
#include <string>

#include "sim/kernel/core/handles.h"
#include "sim/kernel/core/irql_checks.h"
#include "sim/kernel/core/work_queue.h"
#include "sim/kernel/io/io_internal.h"
#include "sim/kernel/io/io_names.h"
#include "sim/kernel/io/pnp.h"

namespace sim::io {
namespace {

struct FileState {
  PDEVICE_OBJECT target = nullptr;  // referenced
  PDEVICE_OBJECT base = nullptr;    // bottom of the stack, referenced
  std::atomic<int> handles{0};
  bool opened = false;
  std::u16string name;
};

FileState* State(PFILE_OBJECT file) { return static_cast<FileState*>(file->FileObjectExtension); }

void FreeFile(PFILE_OBJECT file) {
  FileState* s = State(file);
  ObDereferenceObject(s->target);
  ObDereferenceObject(s->base);
  delete s;
  file->Type = 0;
  std::free(file);
}

void SendClose(PFILE_OBJECT file) {
  FileState* s = State(file);
  SendSynchronousIrp(s->target, KernelMode, STATUS_SUCCESS, [file](PIRP irp, PIO_STACK_LOCATION sp) {
    sp->MajorFunction = IRP_MJ_CLOSE;
    sp->FileObject = file;
    irp->Flags |= IRP_CLOSE_OPERATION;
    irp->Tail.Overlay.OriginalFileObject = file;
  });
  InterlockedDecrement(&s->target->ReferenceCount);
  PDEVICE_OBJECT base = s->base;
  ObReferenceObject(base);
  FreeFile(file);
  if (--Ext(base)->OpenFiles == 0) OnStackFilesClosed(base);
  ObDereferenceObject(base);
}

// Last reference gone.
void DestroyFile(void* object) {
  auto file = static_cast<PFILE_OBJECT>(object);
  if (!State(file)->opened) {
    FreeFile(file);
    return;
  }
  if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
    SendClose(file);
  } else {
    sim::kernel::QueueSystemWork(DelayedWorkQueue, [file] { SendClose(file); });
  }
}

}  // namespace

NTSTATUS OpenFileObject(std::u16string_view path, ACCESS_MASK access, ULONG shareAccess, KPROCESSOR_MODE mode,
                        PFILE_OBJECT* out) {
  *out = nullptr;
  if (!sim::kernel::CheckIrqlAtMost("IRP_MJ_CREATE", PASSIVE_LEVEL)) return STATUS_UNSUCCESSFUL;
  PDEVICE_OBJECT target = nullptr;
  std::u16string remainder;
  NTSTATUS status = ResolvePath(path, &target, &remainder);
  if (!NT_SUCCESS(status)) return status;
  PDEVICE_OBJECT base = StackBase(target);
  ObReferenceObject(base);
  if (Ext(target)->DeletePending || sim::pnp::IsRemoved(base) || (target->Flags & DO_DEVICE_INITIALIZING)) {
    status = STATUS_NO_SUCH_DEVICE;
  } else if ((target->Flags & DO_EXCLUSIVE) && target->ReferenceCount > 0) {
    status = STATUS_ACCESS_DENIED;
  }
  if (!NT_SUCCESS(status)) {
    ObDereferenceObject(target);
    ObDereferenceObject(base);
    return status;
  }
  auto file = static_cast<PFILE_OBJECT>(std::calloc(1, sizeof(FILE_OBJECT)));
  auto* state = new FileState;
  state->target = target;
  state->base = base;
  state->name = remainder;
  state->name.push_back(u'\0');
  file->Type = IO_TYPE_FILE;
  file->Size = sizeof(FILE_OBJECT);
  file->DeviceObject = target;
  file->FileName.Buffer = reinterpret_cast<PWCH>(state->name.data());
  file->FileName.Length = static_cast<USHORT>(remainder.size() * sizeof(WCHAR));
  file->FileName.MaximumLength = static_cast<USHORT>(file->FileName.Length + sizeof(WCHAR));
  file->ReadAccess = (access & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA)) != 0;
  file->WriteAccess = (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA)) != 0;
  file->SharedRead = (shareAccess & FILE_SHARE_READ) != 0;
  file->SharedWrite = (shareAccess & FILE_SHARE_WRITE) != 0;
  KeInitializeEvent(&file->Lock, SynchronizationEvent, FALSE);
  KeInitializeEvent(&file->Event, NotificationEvent, FALSE);
  InitializeListHead(&file->IrpList);
  file->FileObjectExtension = state;
  sim::kernel::RegisterObject(file, FileType(), DestroyFile);

  IO_SECURITY_CONTEXT security{};
  security.DesiredAccess = access;
  security.FullCreateOptions = FILE_NON_DIRECTORY_FILE;
  status = SendSynchronousIrp(target, mode, STATUS_SUCCESS, [&](PIRP irp, PIO_STACK_LOCATION sp) {
    sp->MajorFunction = IRP_MJ_CREATE;
    sp->FileObject = file;
    sp->Parameters.Create.SecurityContext = &security;
    sp->Parameters.Create.Options = (FILE_OPEN << 24) | FILE_NON_DIRECTORY_FILE;
    sp->Parameters.Create.ShareAccess = static_cast<USHORT>(shareAccess);
    irp->Flags |= IRP_CREATE_OPERATION | IRP_DEFER_IO_COMPLETION;
    irp->Tail.Overlay.OriginalFileObject = file;
  });
  if (!NT_SUCCESS(status)) {
    ObDereferenceObject(file);
    return status;
  }
  state->opened = true;
  state->handles = 1;
  file->Flags |= FO_HANDLE_CREATED;
  InterlockedIncrement(&target->ReferenceCount);
  ++Ext(base)->OpenFiles;
  *out = file;
  return STATUS_SUCCESS;
}

void DuplicateFileHandle(PFILE_OBJECT file) {
  ObReferenceObject(file);
  ++State(file)->handles;
}

int FileHandleCount(PFILE_OBJECT file) { return State(file)->handles.load(); }

void CloseFileHandle(PFILE_OBJECT file, KPROCESSOR_MODE mode) {
  if (--State(file)->handles == 0) {
    SendSynchronousIrp(State(file)->target, mode, STATUS_SUCCESS, [file](PIRP irp, PIO_STACK_LOCATION sp) {
      sp->MajorFunction = IRP_MJ_CLEANUP;
      sp->FileObject = file;
      irp->Tail.Overlay.OriginalFileObject = file;
    });
    file->Flags |= FO_CLEANUP_COMPLETE;
  }
  ObDereferenceObject(file);
}

}  // namespace sim::io

extern "C" NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess,
                                             PFILE_OBJECT* FileObject, PDEVICE_OBJECT* DeviceObject) {
  PFILE_OBJECT file = nullptr;
  NTSTATUS status =
      sim::io::OpenFileObject(sim::io::FromUnicodeString(ObjectName), DesiredAccess, 0, KernelMode, &file);
  if (!NT_SUCCESS(status)) return status;
  // As on Windows: the handle opened here is closed again (IRP_MJ_CLEANUP);
  // the caller's file object reference keeps the device open until
  // ObDereferenceObject sends IRP_MJ_CLOSE.
  ObReferenceObject(file);
  sim::io::CloseFileHandle(file, KernelMode);
  *FileObject = file;
  *DeviceObject = IoGetRelatedDeviceObject(file);
  return STATUS_SUCCESS;
}
