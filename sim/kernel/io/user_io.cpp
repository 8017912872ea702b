#include "sim/kernel/io/user_io.h"

#include <map>
#include <vector>

#include "sim/kernel/core/thread.h"
#include "sim/kernel/core/work_queue.h"
#include "sim/kernel/io/file_object.h"
#include "sim/kernel/io/io_internal.h"

namespace sim::io {
namespace {

// Requests still pending per file object, for CancelAll.
struct PendingTable {
  std::mutex lock;
  std::multimap<PFILE_OBJECT, std::weak_ptr<UserRequest>> pending;
};

PendingTable& P() {
  static PendingTable* p = new PendingTable;
  return *p;
}

void Forget(PFILE_OBJECT file, const UserRequest* req) {
  std::lock_guard<std::mutex> l(P().lock);
  auto range = P().pending.equal_range(file);
  for (auto it = range.first; it != range.second; ++it) {
    auto sp = it->second.lock();
    if (!sp || sp.get() == req) {
      P().pending.erase(it);
      return;
    }
  }
}

std::shared_ptr<UserRequest> Failed(NTSTATUS status, const CompletionCallback& callback);

}  // namespace

struct RequestAccess {
  static void Complete(const std::shared_ptr<UserRequest>& req, PIRP irp, ULONG outputLength, PFILE_OBJECT file) {
    ReleaseIrpBuffers(irp, outputLength);
    IoResult r{irp->IoStatus.Status, irp->IoStatus.Information};
    CompletionCallback cb;
    bool freeNow;
    {
      std::lock_guard<std::mutex> l(req->lock_);
      req->result_ = r;
      req->complete_ = true;
      req->irp_ = nullptr;
      freeNow = req->cancelling_ == 0;
      req->freeDeferred_ = !freeNow;
      cb = req->callback_;
    }
    if (freeNow) FreeSystemIrp(irp);
    if (file) Forget(file, req.get());
    if (cb) cb(r);
    {
      std::lock_guard<std::mutex> l(req->lock_);
      req->done_.NotifyAll();
    }
    // The IRP's reference on the file object; dropping it may send
    // IRP_MJ_CLOSE, which must not run inside the driver's completion.
    if (file) sim::kernel::QueueSystemWork(DelayedWorkQueue, [file] { ObDereferenceObject(file); });
  }

  static std::thread::id Issuer(const UserRequest& req) {
    std::lock_guard<std::mutex> l(req.lock_);
    return req.issuer_;
  }

  static std::shared_ptr<UserRequest> Done(NTSTATUS status, const CompletionCallback& callback) {
    auto req = std::make_shared<UserRequest>();
    req->complete_ = true;
    req->result_ = IoResult{status, 0};
    req->submitStatus_ = status;
    if (callback) callback(req->result_);
    return req;
  }
};

namespace {
std::shared_ptr<UserRequest> Failed(NTSTATUS status, const CompletionCallback& callback) {
  return RequestAccess::Done(status, callback);
}
}  // namespace

bool UserRequest::IsComplete() const {
  std::lock_guard<std::mutex> l(lock_);
  return complete_;
}

bool UserRequest::Wait(int64_t deadline) const {
  std::unique_lock<std::mutex> l(lock_);
  return sim::clock::WaitUntil(done_, l, deadline, [this] { return complete_; });
}

IoResult UserRequest::Result() const {
  std::lock_guard<std::mutex> l(lock_);
  return result_;
}

bool UserRequest::Cancel() {
  PIRP irp;
  {
    std::lock_guard<std::mutex> l(lock_);
    if (complete_ || !irp_) return false;
    irp = irp_;
    cancelling_++;
  }
  BOOLEAN called = IoCancelIrp(irp);
  bool freeNow;
  {
    std::lock_guard<std::mutex> l(lock_);
    cancelling_--;
    freeNow = cancelling_ == 0 && freeDeferred_;
    if (freeNow) freeDeferred_ = false;
  }
  if (freeNow) FreeSystemIrp(irp);
  return called != FALSE;
}

NTSTATUS UserHandle::Open(std::u16string_view path, ACCESS_MASK access, ULONG shareAccess,
                          std::unique_ptr<UserHandle>* handle) {
  PFILE_OBJECT file = nullptr;
  NTSTATUS status = OpenFileObject(path, access, shareAccess, UserMode, &file);
  if (NT_SUCCESS(status)) handle->reset(new UserHandle(file));
  return status;
}

UserHandle::~UserHandle() { Close(); }

void UserHandle::Close() {
  if (!file_) return;
  PFILE_OBJECT file = file_;
  file_ = nullptr;
  CloseFileHandle(file, UserMode);
}

std::unique_ptr<UserHandle> UserHandle::Duplicate() {
  if (!file_) return nullptr;
  DuplicateFileHandle(file_);
  return std::unique_ptr<UserHandle>(new UserHandle(file_));
}

namespace {

// Pending requests of one file (every file when null) and, when given, of
// one issuing thread; cancelled outside the table's lock.
void CancelMatching(PFILE_OBJECT file, const std::thread::id* issuer) {
  std::vector<std::shared_ptr<UserRequest>> reqs;
  {
    std::lock_guard<std::mutex> l(P().lock);
    for (auto& [owner, weak] : P().pending) {
      if (file && owner != file) continue;
      if (auto sp = weak.lock()) {
        if (!issuer || RequestAccess::Issuer(*sp) == *issuer) reqs.push_back(sp);
      }
    }
  }
  for (auto& r : reqs) r->Cancel();
}

}  // namespace

void UserHandle::CancelAll() {
  if (file_) CancelMatching(file_, nullptr);
}

void UserHandle::CancelOwn() {
  const std::thread::id self = std::this_thread::get_id();
  if (file_) CancelMatching(file_, &self);
}

void EndUserThread() {
  const std::thread::id self = std::this_thread::get_id();
  CancelMatching(nullptr, &self);
}

NTSTATUS UserProcess::Open(std::u16string_view path, ACCESS_MASK access, ULONG shareAccess, UserHandle** handle) {
  *handle = nullptr;
  std::unique_ptr<UserHandle> opened;
  const NTSTATUS status = UserHandle::Open(path, access, shareAccess, &opened);
  if (NT_SUCCESS(status)) {
    std::lock_guard<std::mutex> l(lock_);
    *handle = opened.get();
    handles_.push_back(std::move(opened));
  }
  return status;
}

void UserProcess::End() {
  std::vector<std::unique_ptr<UserHandle>> handles;
  {
    std::lock_guard<std::mutex> l(lock_);
    handles.swap(handles_);
  }
  // Its threads are gone first: what they left pending is cancelled.
  for (auto& h : handles) h->CancelAll();
  for (auto& h : handles) h->Close();
}

std::shared_ptr<UserRequest> UserHandle::Submit(PIRP irp, PDEVICE_OBJECT top, CompletionCallback callback,
                                                ULONG outputLength) {
  auto req = std::make_shared<UserRequest>();
  req->callback_ = std::move(callback);
  req->irp_ = irp;
  req->issuer_ = std::this_thread::get_id();
  PFILE_OBJECT file = file_;
  ObReferenceObject(file);  // the IRP's reference
  SetFinalStage(irp, [req, outputLength, file](PIRP done) { RequestAccess::Complete(req, done, outputLength, file); });
  irp->RequestorMode = UserMode;
  irp->Tail.Overlay.OriginalFileObject = file;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  IoGetNextIrpStackLocation(irp)->FileObject = file;
  {
    std::lock_guard<std::mutex> l(P().lock);
    P().pending.emplace(file, req);
  }
  const UCHAR major = IoGetNextIrpStackLocation(irp)->MajorFunction;
  NTSTATUS status;
  {
    sim::kernel::UserRequestScope user;
    status = IoCallDriver(top, irp);
  }
  {
    std::lock_guard<std::mutex> l(req->lock_);
    req->submitStatus_ = status;
  }
  ObDereferenceObject(top);
  sim::kernel::CheckReturnToUserMode(major == IRP_MJ_READ    ? "NtReadFile"
                                     : major == IRP_MJ_WRITE ? "NtWriteFile"
                                                             : "NtDeviceIoControlFile");
  return req;
}

std::shared_ptr<UserRequest> UserHandle::Read(void* buffer, ULONG length, CompletionCallback callback,
                                              LONGLONG byteOffset) {
  if (!file_) return Failed(STATUS_INVALID_HANDLE, callback);
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(file_->DeviceObject);
  PIRP irp = AllocateSystemIrp(top->StackSize, nullptr);
  SetUpReadWrite(irp, top, IRP_MJ_READ, buffer, length, byteOffset, UserMode);
  return Submit(irp, top, std::move(callback), length);
}

std::shared_ptr<UserRequest> UserHandle::Write(const void* buffer, ULONG length, CompletionCallback callback,
                                               LONGLONG byteOffset) {
  if (!file_) return Failed(STATUS_INVALID_HANDLE, callback);
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(file_->DeviceObject);
  PIRP irp = AllocateSystemIrp(top->StackSize, nullptr);
  SetUpReadWrite(irp, top, IRP_MJ_WRITE, const_cast<void*>(buffer), length, byteOffset, UserMode);
  return Submit(irp, top, std::move(callback), 0);
}

std::shared_ptr<UserRequest> UserHandle::DeviceIoControl(ULONG code, const void* input, ULONG inputLength,
                                                         void* output, ULONG outputLength,
                                                         CompletionCallback callback) {
  if (!file_) return Failed(STATUS_INVALID_HANDLE, callback);
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(file_->DeviceObject);
  PIRP irp = AllocateSystemIrp(top->StackSize, nullptr);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  SetUpDeviceControlBuffers(irp, code, const_cast<void*>(input), inputLength, output, outputLength, UserMode);
  return Submit(irp, top, std::move(callback), outputLength);
}

}  // namespace sim::io
