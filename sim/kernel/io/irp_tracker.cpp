#include "sim/kernel/io/irp_tracker.h"

#include <deque>
#include <unordered_map>
#include <unordered_set>

namespace sim::io {
namespace {

struct Table {
  std::mutex lock;
  std::unordered_map<PIRP, std::shared_ptr<IrpUse>> live;
  std::unordered_set<PIRP> quarantined;
  std::deque<std::pair<PIRP, void (*)(void*)>> quarantine;
};

Table& T() {
  static Table* t = new Table;  // used by threads that may outlive static destruction
  return *t;
}

constexpr size_t kQuarantine = 256;

}  // namespace

std::shared_ptr<IrpUse> TrackIrp(PIRP irp, IrpKind kind, PDRIVER_OBJECT owner) {
  auto use = std::make_shared<IrpUse>();
  use->kind = kind;
  use->owner = owner;
  size_t levels = static_cast<size_t>(irp->StackCount) + 2;
  use->passed.assign(levels, false);
  use->pendingAtPass.assign(levels, false);
  use->returnedPending.assign(levels, -1);
  use->dispatcher.assign(levels, nullptr);
  use->major.assign(levels, 0);
  std::lock_guard<std::mutex> l(T().lock);
  T().live[irp] = use;
  T().quarantined.erase(irp);
  return use;
}

std::shared_ptr<IrpUse> LookupIrp(PIRP irp, bool* wasFreed) {
  std::lock_guard<std::mutex> l(T().lock);
  if (wasFreed) *wasFreed = T().quarantined.count(irp) != 0;
  auto it = T().live.find(irp);
  return it == T().live.end() ? nullptr : it->second;
}

std::shared_ptr<IrpUse> RenewIrp(PIRP irp) {
  std::lock_guard<std::mutex> l(T().lock);
  auto it = T().live.find(irp);
  if (it == T().live.end()) return nullptr;
  auto old = it->second;
  auto use = std::make_shared<IrpUse>();
  {
    std::lock_guard<std::mutex> ol(old->lock);
    old->retired = true;
    use->kind = old->kind;
    use->owner = old->owner;
    use->final = old->final;
  }
  size_t levels = static_cast<size_t>(irp->StackCount) + 2;
  use->passed.assign(levels, false);
  use->pendingAtPass.assign(levels, false);
  use->returnedPending.assign(levels, -1);
  use->dispatcher.assign(levels, nullptr);
  use->major.assign(levels, 0);
  it->second = use;
  return use;
}

void UntrackIrp(PIRP irp, void (*release)(void*)) {
  std::pair<PIRP, void (*)(void*)> evicted{nullptr, nullptr};
  {
    std::lock_guard<std::mutex> l(T().lock);
    auto it = T().live.find(irp);
    if (it != T().live.end()) {
      std::lock_guard<std::mutex> ul(it->second->lock);
      it->second->freed = true;
      T().live.erase(it);
    }
    T().quarantined.insert(irp);
    T().quarantine.emplace_back(irp, release);
    if (T().quarantine.size() > kQuarantine) {
      evicted = T().quarantine.front();
      T().quarantine.pop_front();
      T().quarantined.erase(evicted.first);
    }
  }
  if (evicted.first && evicted.second) evicted.second(evicted.first);
}

size_t LiveIrpCount() {
  std::lock_guard<std::mutex> l(T().lock);
  size_t n = 0;
  for (auto& [irp, use] : T().live) n += use->kind != IrpKind::Initialized ? 1 : 0;
  return n;
}

size_t OutstandingIrps(PDRIVER_OBJECT driver) {
  std::lock_guard<std::mutex> l(T().lock);
  size_t n = 0;
  for (auto& [irp, use] : T().live) {
    if (use->owner == driver && use->kind != IrpKind::Initialized && use->kind != IrpKind::System) n++;
  }
  return n;
}

}  // namespace sim::io
