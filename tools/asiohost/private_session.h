// One user-mode connection to a private file, as an ASIO host's driver
// holds it: synchronous device-control requests, overlapped reads and
// writes, and a tally of every request and the statuses it came back with.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "sim/kernel/io/user_io.h"

namespace asiohost {

struct Reply {
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
};

// The request's name for reports ("GET_FORMAT", "read", ...; hex for others).
std::string RequestName(ULONG code);

class PrivateSession {
 public:
  // How long a synchronous request may take before it counts as hung.
  static constexpr int64_t kRequestTimeout = 10 * sim::clock::kTicksPerSecond;

  NTSTATUS Open(const std::u16string& path);
  bool IsOpen() const { return handle_ != nullptr; }
  // Closes the handle: cleanup unwinds whatever it held.
  void Close();
  // Ends the process that holds the handle without closing it first.
  void EndProcess();

  Reply Control(ULONG code, const void* input, ULONG inputLength, void* output, ULONG outputLength);
  Reply Send(ULONG code) { return Control(code, nullptr, 0, nullptr, 0); }
  Reply SendValue(ULONG code, ULONG value) { return Control(code, &value, sizeof(value), nullptr, 0); }
  Reply Query(ULONG code, ULONG* value) { return Control(code, nullptr, 0, value, sizeof(*value)); }

  // Overlapped; the buffer must stay until the request completes.
  std::shared_ptr<sim::io::UserRequest> Read(void* buffer, ULONG length);
  std::shared_ptr<sim::io::UserRequest> Write(const void* buffer, ULONG length);
  // A finished read or write joins the tally once its result is known.
  void Count(const std::string& name, NTSTATUS status);

  sim::io::UserHandle* Handle() { return handle_; }
  // name -> status -> count
  const std::map<std::string, std::map<NTSTATUS, uint64_t>>& Tally() const { return tally_; }

 private:
  std::unique_ptr<sim::io::UserProcess> process_;
  sim::io::UserHandle* handle_ = nullptr;
  std::map<std::string, std::map<NTSTATUS, uint64_t>> tally_;
};

}  // namespace asiohost
