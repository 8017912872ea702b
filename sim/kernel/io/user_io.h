// User-mode I/O entry into the kernel stand-in (what NtCreateFile, ReadFile,
// WriteFile, DeviceIoControl, CancelIoEx and CloseHandle do), used by the
// Win32 stand-in and by tests. Requests are asynchronous: they complete
// through a callback and can be waited for.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include <wdm.h>

#include "sim/kernel/core/clock.h"

namespace sim::io {

struct IoResult {
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
};

// Runs in the context that completed the IRP (possibly DISPATCH_LEVEL, on a
// driver's thread): it must not block.
using CompletionCallback = std::function<void(const IoResult&)>;

class UserRequest {
 public:
  // Status the driver's dispatch routine returned (STATUS_PENDING when the
  // request was left pending).
  NTSTATUS SubmitStatus() const { return submitStatus_; }
  bool IsComplete() const;
  // Waits until completion or the deadline (sim::clock time); true if complete.
  bool Wait(int64_t deadline = sim::clock::kInfinite) const;
  bool WaitFor(int64_t timeout100ns) const { return Wait(sim::clock::Now() + timeout100ns); }
  IoResult Result() const;  // status and bytes; output already copied back
  // IoCancelIrp on the request if it is still pending; true if a cancel
  // routine was called.
  bool Cancel();

 private:
  friend class UserHandle;
  friend struct RequestAccess;
  mutable std::mutex lock_;
  mutable sim::clock::Condition done_{"user-mode request"};
  PIRP irp_ = nullptr;  // valid while pending
  bool complete_ = false;
  int cancelling_ = 0;
  bool freeDeferred_ = false;
  std::thread::id issuer_;  // the user-mode thread that sent it
  IoResult result_;
  NTSTATUS submitStatus_ = STATUS_PENDING;
  CompletionCallback callback_;
};

// One user-mode handle to a file object.
class UserHandle {
 public:
  // Opens "\\?\usb#vid_...#{guid}\asio" (interface path, the part after the
  // GUID becomes FileObject->FileName), "\\.\Name" / "\??\Name" symbolic
  // links or "\Device\Name". RequestorMode of the create is UserMode.
  static NTSTATUS Open(std::u16string_view path, ACCESS_MASK access, ULONG shareAccess,
                       std::unique_ptr<UserHandle>* handle);
  ~UserHandle();
  UserHandle(const UserHandle&) = delete;
  UserHandle& operator=(const UserHandle&) = delete;

  // Buffered or direct I/O by the device's DO_BUFFERED_IO / DO_DIRECT_IO.
  std::shared_ptr<UserRequest> Read(void* buffer, ULONG length, CompletionCallback callback = {},
                                    LONGLONG byteOffset = 0);
  std::shared_ptr<UserRequest> Write(const void* buffer, ULONG length, CompletionCallback callback = {},
                                     LONGLONG byteOffset = 0);
  // By the code's transfer method (METHOD_BUFFERED, IN/OUT_DIRECT, NEITHER).
  std::shared_ptr<UserRequest> DeviceIoControl(ULONG code, const void* input, ULONG inputLength, void* output,
                                               ULONG outputLength, CompletionCallback callback = {});
  // Cancels every request of this file object still pending (CancelIoEx).
  void CancelAll();
  // Cancels the calling thread's requests on this file object (CancelIo).
  void CancelOwn();
  // Another handle to the same file object (DuplicateHandle).
  std::unique_ptr<UserHandle> Duplicate();
  // CloseHandle: IRP_MJ_CLEANUP if this was the file object's last handle;
  // IRP_MJ_CLOSE follows when the pending requests are finished.
  void Close();

  PFILE_OBJECT FileObject() const { return file_; }

 private:
  explicit UserHandle(PFILE_OBJECT file) : file_(file) {}
  std::shared_ptr<UserRequest> Submit(PIRP irp, PDEVICE_OBJECT top, CompletionCallback callback,
                                      ULONG outputLength);
  PFILE_OBJECT file_;
};

// The calling thread ends: every request it sent that is still pending is
// cancelled, on any file object, as Windows does at thread exit.
void EndUserThread();

// A user-mode process: the handles it opened. End() is what process
// termination does: its threads' requests are cancelled, then every handle
// is closed (cleanup, and close once nothing is pending).
class UserProcess {
 public:
  UserProcess() = default;
  ~UserProcess() { End(); }
  UserProcess(const UserProcess&) = delete;
  UserProcess& operator=(const UserProcess&) = delete;

  // As UserHandle::Open; the process keeps the handle (null on failure).
  NTSTATUS Open(std::u16string_view path, ACCESS_MASK access, ULONG shareAccess, UserHandle** handle);
  void End();

 private:
  std::mutex lock_;
  std::vector<std::unique_ptr<UserHandle>> handles_;
};

}  // namespace sim::io
