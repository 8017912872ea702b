#include "sim/kernel/core/verifier.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace sim::verifier {
namespace {

struct Global {
  std::mutex lock;
  Handler handler;
  std::atomic<size_t> count{0};
};

Global& G() {
  static Global* g = new Global;  // outlives every thread that may still report
  return *g;
}

}  // namespace

void Fail(const char* call, const char* fmt, ...) {
  char detail[1024];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(detail, sizeof detail, fmt, ap);
  va_end(ap);
  G().count++;
  Handler h;
  {
    std::lock_guard<std::mutex> l(G().lock);
    h = G().handler;
  }
  if (h) {
    h(call, detail);
    return;
  }
  fprintf(stderr, "DRIVER VERIFIER: %s: %s\n", call, detail);
  fflush(stderr);
  abort();
}

Handler SetHandler(Handler h) {
  std::lock_guard<std::mutex> l(G().lock);
  Handler old = std::move(G().handler);
  G().handler = std::move(h);
  return old;
}

size_t ViolationCount() { return G().count; }

struct Recorder::State {
  mutable std::mutex lock;
  std::vector<Violation> violations;
};

Recorder::Recorder() : state_(std::make_shared<State>()) {
  std::shared_ptr<State> s = state_;
  previous_ = SetHandler([s](const std::string& call, const std::string& detail) {
    std::lock_guard<std::mutex> l(s->lock);
    s->violations.push_back({call, detail});
  });
}

Recorder::~Recorder() {
  SetHandler(std::move(previous_));
}

std::vector<Violation> Recorder::Violations() const {
  std::lock_guard<std::mutex> l(state_->lock);
  return state_->violations;
}

size_t Recorder::Count() const {
  std::lock_guard<std::mutex> l(state_->lock);
  return state_->violations.size();
}

bool Recorder::Has(const std::string& call, const std::string& detailPart) const {
  std::lock_guard<std::mutex> l(state_->lock);
  for (const auto& v : state_->violations) {
    if (v.call == call && (detailPart.empty() || v.detail.find(detailPart) != std::string::npos)) return true;
  }
  return false;
}

void Recorder::Clear() {
  std::lock_guard<std::mutex> l(state_->lock);
  state_->violations.clear();
}

}  // namespace sim::verifier
