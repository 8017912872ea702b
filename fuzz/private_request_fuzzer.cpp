// Sequences of requests on the private file of a running device, as user
// mode can send them: device controls with any code and any lengths, reads
// and writes of any length left pending, cancels, handles closed or their
// processes ended with requests pending, time passing, and the device pulled
// out in the middle of it all.
//
// Each input gets a testbed of its own on simulated time (the same input
// runs the same way): byte 0 picks the built-in model, byte 1 the schedule's
// seed, and every operation after that is one byte, kind and handle, and its
// arguments. Replies are checked as they come back: a dispatch routine's
// status is the request's final one, the byte count fits the buffer and is 0
// on failure (bar STATUS_BUFFER_OVERFLOW), nothing succeeds once the device
// is gone, and a cancelled request completes at once. At the end every
// handle is closed, every request must complete within a bound, and the
// testbed's teardown census stops the run on anything the driver left
// behind.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "common/asio_requests.h"
#include "sim/kernel/core/work_queue.h"
#include "sim/kernel/io/pnp.h"
#include "sim/kernel/io/user_io.h"
#include "sim/testbed/testbed.h"
#include "sim/usb/device/device_models.h"
#include "tools/asiohost/private_files.h"

namespace {

using sim::clock::kTicksPerMillisecond;

constexpr size_t kHandles = 3;
constexpr size_t kMaxOperations = 128;
constexpr size_t kMaxOutstanding = 32;
// Simulated time the operations of one input may wait, all together.
constexpr int64_t kTimeBudget = 200 * kTicksPerMillisecond;
// A cancelled request, or one whose handle is gone, completes within this.
constexpr int64_t kCompletionBound = 20 * kTicksPerMillisecond;
// Input bytes an input buffer takes; the rest of it is zero (no record is longer).
constexpr size_t kContentBytes = 24;

[[noreturn]] void Stop(const char* what) {
  fprintf(stderr, "private_request_fuzzer: %s\n", what);
  abort();
}

// The input, front to back; zeros once it runs out.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Empty() const { return at_ >= size_; }
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint32_t Word() {
    uint32_t value = 0;
    for (int shift = 0; shift < 32; shift += 8) value |= uint32_t{Byte()} << shift;
    return value;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// Every code the driver knows, with the lengths its records have.
struct KnownRequest {
  ULONG code;
  ULONG input;
  ULONG output;
};

constexpr KnownRequest kKnown[] = {
    {IOCTL_ASIO_GET_RATE_RANGE, 0, 8},
    {IOCTL_ASIO_GET_FORMAT, sizeof(ASIO_FORMAT_RECORD), sizeof(ASIO_FORMAT_RECORD)},
    {IOCTL_ASIO_GET_SAMPLE_RATE, 0, 4},
    {IOCTL_ASIO_SET_SAMPLE_RATE, 4, 0},
    {IOCTL_ASIO_GET_DSD_SUPPORT, 0, 4},
    {IOCTL_ASIO_GET_SERIAL_NUMBER, 0, 64},
    {IOCTL_ASIO_GET_BUS_SPEED, 0, 4},
    {IOCTL_ASIO_CLAIM, 0, 0},
    {IOCTL_ASIO_PREPARE, sizeof(ASIO_PREPARE_RECORD), 0},
    {IOCTL_ASIO_START, 0, 0},
    {IOCTL_ASIO_STOP, 0, 0},
    {IOCTL_ASIO_UNPREPARE, 0, 0},
    {IOCTL_ASIO_RELEASE, 0, 0},
    {IOCTL_ASIO_GET_CAPTURE_MS, 0, 4},
    {IOCTL_ASIO_PING, 0, 0},
    {IOCTL_ASIO_GET_RESET_NEEDED, 0, 4},
    {IOCTL_ASIO_GO, 0, 0},
    {IOCTL_ASIO_GET_POSITION, 0, 4},
    {IOCTL_ASIO_SYNC_POSITION, 4, 0},
    {IOCTL_ASIO_FAIL_NEXT_CAPTURE, 0, 0},
    {IOCTL_ASIO_FAIL_NEXT_RENDER, 0, 0},
    {IOCTL_ASIO_SET_RENDER_LEAD, 4, 0},
    {IOCTL_ASIO_SET_RENDER_PREFILL, 4, 0},
};
constexpr size_t kKnownCount = sizeof(kKnown) / sizeof(kKnown[0]);

// Frame sizes of the models' ASIO formats and their neighbours.
constexpr ULONG kFrameBytes[] = {4, 6, 8, 12, 16, 18, 20, 24, 30, 32, 36, 40, 48, 60, 64, 80};

// A selector byte: a known code, or one the driver must refuse.
KnownRequest ChooseRequest(Input& in, uint8_t selector) {
  if (selector < kKnownCount) return kKnown[selector];
  switch (selector % 4) {
    case 0: return {AsioRequest::Code(0x81C), 0, 4};  // the gap among the codes
    case 1: return {AsioRequest::Code(0x800 + in.Byte()), 4, 4};
    case 2: return {kKnown[in.Byte() % kKnownCount].code | (1 + in.Byte() % 3), 4, 4};  // another transfer method
    default: return {in.Word(), 4, 4};
  }
}

// One side's length around the record's own (which an exhausted input gets).
ULONG ChooseLength(Input& in, ULONG natural) {
  switch (in.Byte() % 6) {
    case 1: return 0;
    case 2: return natural > 0 ? natural - 1 : 1;
    case 3: return natural + 1 + in.Byte() % 16;
    case 4: return in.Byte();
    case 5: return in.Word() % 513;
    default: return natural;
  }
}

// A read's or write's length: whole frames of some size, none, odd, or anything.
ULONG ChooseTransferLength(Input& in) {
  switch (in.Byte() % 4) {
    case 1: return 0;
    case 2: return in.Byte() | 1;
    case 3: return in.Word() % 65537;
    default: {
      const ULONG frameBytes = kFrameBytes[in.Byte() % 16];
      return frameBytes * (1 + in.Byte());
    }
  }
}

enum Operation : uint8_t {
  kOpen,
  kKnownControl,
  kAnyControl,
  kRead,
  kWrite,
  kTransferElsewhere,
  kWait,
  kCancel,
  kCancelAll,
  kCancelOwn,
  kClose,
  kEndProcess,
  kDuplicate,
  kElapse,
  kUnplug,
  kOperationCount
};

struct Handle {
  std::unique_ptr<sim::io::UserProcess> process;   // the process that opened the file
  std::unique_ptr<sim::io::UserHandle> duplicate;  // or a duplicate of another slot's handle
  sim::io::UserHandle* handle = nullptr;
};

struct Outstanding {
  std::shared_ptr<sim::io::UserRequest> request;
  std::vector<uint8_t> buffer;  // stays until the request completes
  PFILE_OBJECT file;
  ULONG limit;        // output length (controls) or transfer length
  bool elsewhere;     // sent by another thread
  bool afterRemoval;  // sent once the device was gone: it must fail
};

class Session {
 public:
  Session(sim::testbed::Testbed& bed, PDEVICE_OBJECT pdo, std::u16string path)
      : bed_(bed), pdo_(pdo), path_(std::move(path)), end_(sim::clock::Now() + kTimeBudget) {}

  void Run(Input& in) {
    for (size_t n = 0; n < kMaxOperations && !in.Empty(); ++n) {
      const uint8_t op = in.Byte();
      Step(in, static_cast<Operation>(op % kOperationCount), handles_[op / kOperationCount % kHandles]);
      Sweep();
    }
  }

  // Every handle closed, every request must complete and the device be gone
  // (when it was pulled out).
  void Finish() {
    for (Handle& h : handles_) Close(h, false);
    const int64_t deadline = sim::clock::Now() + kCompletionBound;
    for (Outstanding& o : outstanding_) {
      if (!o.request->Wait(deadline)) Stop("a request stayed pending after every handle was closed");
      Judge(o);
    }
    outstanding_.clear();
    // The files' last references go on work items: then they are closed.
    sim::kernel::DrainSystemWork();
    if (unplug_.Joinable()) {
      unplug_.Join();
      if (!removed_) Stop("the removal of the pulled-out device never completed");
    }
  }

 private:
  bool Gone() const { return sim::pnp::State(pdo_) != sim::pnp::DeviceState::Started; }

  int64_t Until(int64_t duration) const {
    const int64_t deadline = sim::clock::Now() + duration;
    return deadline < end_ ? deadline : end_;
  }

  void Step(Input& in, Operation op, Handle& h) {
    switch (op) {
      case kOpen: return Open(h);
      case kKnownControl: return Control(in, h, kKnown[in.Byte() % kKnownCount]);
      case kAnyControl: return Control(in, h, ChooseRequest(in, in.Byte()));
      case kRead:
      case kWrite:
      case kTransferElsewhere: return Transfer(in, h, op);
      case kWait: return Wait(in);
      case kCancel: return Cancel(in);
      case kCancelAll: return CancelRequests(h, true);
      case kCancelOwn: return CancelRequests(h, false);
      case kClose: return Close(h, false);
      case kEndProcess: return Close(h, true);
      case kDuplicate: return Duplicate(in, h);
      case kElapse: return sim::clock::SleepUntil(Until((1 + in.Byte() % 5) * kTicksPerMillisecond));
      case kUnplug: return Unplug();
      default: return;
    }
  }

  void Open(Handle& h) {
    if (h.handle != nullptr) return;
    auto process = std::make_unique<sim::io::UserProcess>();
    const bool gone = Gone();
    const NTSTATUS status =
        process->Open(path_, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &h.handle);
    if (!NT_SUCCESS(status)) return;
    if (gone) Stop("the private file opened after the device was gone");
    h.process = std::move(process);
  }

  void Duplicate(Input& in, Handle& h) {
    Handle& source = handles_[(&h - handles_ + 1 + in.Byte() % (kHandles - 1)) % kHandles];
    if (h.handle != nullptr || source.handle == nullptr) return;
    h.duplicate = source.handle->Duplicate();
    h.handle = h.duplicate.get();
  }

  // CloseHandle, or the end of the process that holds the handle (its
  // requests are cancelled first). Cleanup comes with the file's last handle.
  void Close(Handle& h, bool endProcess) {
    if (h.handle == nullptr) return;
    const PFILE_OBJECT file = h.handle->FileObject();
    if (endProcess && h.process) {
      h.process->End();
    } else {
      if (endProcess) h.handle->CancelAll();
      h.handle->Close();
    }
    h = Handle{};
    for (const Handle& other : handles_) {
      if (other.handle != nullptr && other.handle->FileObject() == file) return;
    }
    ExpectDone(file, true, "a request stayed pending after its file was cleaned up");
  }

  void Control(Input& in, Handle& h, const KnownRequest& request) {
    const ULONG input = ChooseLength(in, request.input);
    const ULONG output = ChooseLength(in, request.output);
    std::vector<uint8_t> buffer(input + output);
    for (size_t i = 0; i < input && i < kContentBytes; ++i) buffer[i] = in.Byte();
    if (h.handle == nullptr) return;
    Outstanding o = Prepare(h, std::move(buffer), output, false);
    o.request = h.handle->DeviceIoControl(request.code, o.buffer.data(), input, o.buffer.data() + input, output);
    Submitted(std::move(o));
  }

  void Transfer(Input& in, Handle& h, Operation op) {
    const ULONG length = ChooseTransferLength(in);
    const uint8_t how = in.Byte();
    if (h.handle == nullptr || outstanding_.size() >= kMaxOutstanding) return;
    const bool write = op == kWrite || (op == kTransferElsewhere && (how & 1) != 0);
    Outstanding o = Prepare(h, std::vector<uint8_t>(length, how), length, op == kTransferElsewhere);
    sim::io::UserHandle* handle = h.handle;
    auto send = [&] {
      o.request = write ? handle->Write(o.buffer.data(), length) : handle->Read(o.buffer.data(), length);
    };
    if (!o.elsewhere) {
      send();
    } else {
      // A thread of its own that sends it and then ends, or lives on.
      sim::clock::Thread thread("fuzz user thread", [&] {
        send();
        if ((how & 2) != 0) sim::io::EndUserThread();
      });
      thread.Join();
    }
    Submitted(std::move(o));
  }

  Outstanding Prepare(const Handle& h, std::vector<uint8_t> buffer, ULONG limit, bool elsewhere) {
    return Outstanding{nullptr, std::move(buffer), h.handle->FileObject(), limit, elsewhere, Gone()};
  }

  void Submitted(Outstanding o) {
    const NTSTATUS submitted = o.request->SubmitStatus();
    if (submitted != STATUS_PENDING && (!o.request->IsComplete() || o.request->Result().status != submitted)) {
      Stop("a dispatch routine returned a status other than its request's");
    }
    outstanding_.push_back(std::move(o));
  }

  Outstanding* Pick(Input& in) {
    const uint8_t index = in.Byte();
    return outstanding_.empty() ? nullptr : &outstanding_[index % outstanding_.size()];
  }

  void Wait(Input& in) {
    Outstanding* o = Pick(in);
    const int64_t deadline = Until((1 + in.Byte() % 5) * kTicksPerMillisecond);
    if (o != nullptr) o->request->Wait(deadline);
  }

  void Cancel(Input& in) {
    Outstanding* o = Pick(in);
    if (o == nullptr) return;
    o->request->Cancel();
    if (!o->request->WaitFor(kCompletionBound)) Stop("a cancelled request stayed pending");
  }

  // CancelIoEx (everyone's requests on the file) or CancelIo (this thread's).
  void CancelRequests(Handle& h, bool everyone) {
    if (h.handle == nullptr) return;
    if (everyone) {
      h.handle->CancelAll();
    } else {
      h.handle->CancelOwn();
    }
    ExpectDone(h.handle->FileObject(), everyone, "a cancelled request stayed pending");
  }

  // The requests on the file (and of this thread only, unless everyone's)
  // must complete.
  void ExpectDone(PFILE_OBJECT file, bool everyone, const char* what) {
    const int64_t deadline = sim::clock::Now() + kCompletionBound;
    for (const Outstanding& o : outstanding_) {
      if (o.file == file && (everyone || !o.elsewhere) && !o.request->Wait(deadline)) Stop(what);
    }
  }

  void Unplug() {
    if (unplug_.Joinable()) return;
    // On a thread of its own: the removal completes once every handle is closed.
    unplug_ = sim::clock::Thread("fuzz unplug", [this] { removed_ = bed_.Unplug(pdo_); });
  }

  // Completed requests leave the list once their replies are checked.
  void Sweep() {
    std::erase_if(outstanding_, [](const Outstanding& o) {
      if (!o.request->IsComplete()) return false;
      Judge(o);
      return true;
    });
  }

  static void Judge(const Outstanding& o) {
    const sim::io::IoResult result = o.request->Result();
    if (result.information > o.limit) Stop("a reply counts more bytes than its buffer holds");
    if (!NT_SUCCESS(result.status) && result.status != STATUS_BUFFER_OVERFLOW && result.information != 0) {
      Stop("a failed request reports bytes transferred");
    }
    if (o.afterRemoval && NT_SUCCESS(result.status)) Stop("a request succeeded after the device was gone");
  }

  sim::testbed::Testbed& bed_;
  PDEVICE_OBJECT pdo_;
  std::u16string path_;
  int64_t end_;
  Handle handles_[kHandles];
  std::vector<Outstanding> outstanding_;
  sim::clock::Thread unplug_;
  bool removed_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  const std::vector<sim::usb::ModelInfo>& models = sim::usb::ListModels();
  const std::string& model = models[in.Byte() % models.size()].name;
  sim::testbed::Options options;
  options.seed = 1 + in.Byte();
  options.fail = [](const std::string& problem) { Stop(problem.c_str()); };
  sim::testbed::Testbed bed(options);
  PDEVICE_OBJECT pdo = bed.PlugModel(model);
  if (pdo == nullptr || !NT_SUCCESS(bed.Start(pdo))) Stop("the device did not start");
  const std::u16string path = asiohost::PrivateFileOf(pdo);
  if (path.empty()) Stop("the started device has no private file");
  {
    Session session(bed, pdo, path);
    session.Run(in);
    session.Finish();
  }
  bed.Close();
  return 0;
}
