#include "tools/asiohost/private_session.h"

#include <cstdio>

#include "common/asio_requests.h"

namespace asiohost {

std::string RequestName(ULONG code) {
  static const std::map<ULONG, const char*> names = {
      {IOCTL_ASIO_GET_RATE_RANGE, "GET_RATE_RANGE"},
      {IOCTL_ASIO_GET_FORMAT, "GET_FORMAT"},
      {IOCTL_ASIO_GET_SAMPLE_RATE, "GET_SAMPLE_RATE"},
      {IOCTL_ASIO_SET_SAMPLE_RATE, "SET_SAMPLE_RATE"},
      {IOCTL_ASIO_GET_DSD_SUPPORT, "GET_DSD_SUPPORT"},
      {IOCTL_ASIO_GET_SERIAL_NUMBER, "GET_SERIAL_NUMBER"},
      {IOCTL_ASIO_GET_BUS_SPEED, "GET_BUS_SPEED"},
      {IOCTL_ASIO_CLAIM, "CLAIM"},
      {IOCTL_ASIO_PREPARE, "PREPARE"},
      {IOCTL_ASIO_START, "START"},
      {IOCTL_ASIO_STOP, "STOP"},
      {IOCTL_ASIO_UNPREPARE, "UNPREPARE"},
      {IOCTL_ASIO_RELEASE, "RELEASE"},
      {IOCTL_ASIO_GET_CAPTURE_MS, "GET_CAPTURE_MS"},
      {IOCTL_ASIO_PING, "PING"},
      {IOCTL_ASIO_GET_RESET_NEEDED, "GET_RESET_NEEDED"},
      {IOCTL_ASIO_GO, "GO"},
      {IOCTL_ASIO_GET_POSITION, "GET_POSITION"},
      {IOCTL_ASIO_SYNC_POSITION, "SYNC_POSITION"},
      {IOCTL_ASIO_FAIL_NEXT_CAPTURE, "FAIL_NEXT_CAPTURE"},
      {IOCTL_ASIO_FAIL_NEXT_RENDER, "FAIL_NEXT_RENDER"},
      {IOCTL_ASIO_SET_RENDER_LEAD, "SET_RENDER_LEAD"},
      {IOCTL_ASIO_SET_RENDER_PREFILL, "SET_RENDER_PREFILL"},
  };
  const auto found = names.find(code);
  if (found != names.end()) return found->second;
  char text[16];
  std::snprintf(text, sizeof(text), "0x%06X", static_cast<unsigned>(code));
  return text;
}

NTSTATUS PrivateSession::Open(const std::u16string& path) {
  Close();
  process_ = std::make_unique<sim::io::UserProcess>();
  const NTSTATUS status = process_->Open(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         &handle_);
  Count("open", status);
  if (!NT_SUCCESS(status)) process_.reset();
  return status;
}

void PrivateSession::Close() {
  if (handle_ != nullptr) handle_->Close();
  handle_ = nullptr;
  process_.reset();
}

void PrivateSession::EndProcess() {
  if (process_) process_->End();
  handle_ = nullptr;
  process_.reset();
}

Reply PrivateSession::Control(ULONG code, const void* input, ULONG inputLength, void* output, ULONG outputLength) {
  Reply reply;
  if (handle_ == nullptr) {
    reply.status = STATUS_INVALID_HANDLE;
  } else {
    auto request = handle_->DeviceIoControl(code, input, inputLength, output, outputLength);
    if (request->WaitFor(kRequestTimeout)) {
      const sim::io::IoResult result = request->Result();
      reply = {result.status, result.information};
    } else {
      request->Cancel();
      request->Wait();
      reply.status = STATUS_IO_TIMEOUT;
    }
  }
  Count(RequestName(code), reply.status);
  return reply;
}

std::shared_ptr<sim::io::UserRequest> PrivateSession::Read(void* buffer, ULONG length) {
  return handle_->Read(buffer, length);
}

std::shared_ptr<sim::io::UserRequest> PrivateSession::Write(const void* buffer, ULONG length) {
  return handle_->Write(buffer, length);
}

void PrivateSession::Count(const std::string& name, NTSTATUS status) { ++tally_[name][status]; }

}  // namespace asiohost
