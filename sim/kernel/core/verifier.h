// Driver Verifier-style misuse checks. A failure names the offending call;
// by default it is printed as "DRIVER VERIFIER: <call>: <detail>" and the
// process aborts. Tests install a recording handler instead; after a recorded
// failure the offending call returns without doing the harmful thing.
#pragma once
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sim::verifier {

void Fail(const char* call, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

using Handler = std::function<void(const std::string& call, const std::string& detail)>;
// Installs h (an empty handler restores the aborting default); returns the previous one.
Handler SetHandler(Handler h);
size_t ViolationCount();

struct Violation {
  std::string call;
  std::string detail;
};

// Records violations while alive and restores the previous handler afterwards.
class Recorder {
 public:
  Recorder();
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;
  std::vector<Violation> Violations() const;
  size_t Count() const;
  // True if some recorded violation names call (and contains detailPart, if given).
  bool Has(const std::string& call, const std::string& detailPart = "") const;
  void Clear();

 private:
  struct State;
  std::shared_ptr<State> state_;
  Handler previous_;
};

}  // namespace sim::verifier
