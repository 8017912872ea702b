#include "sim/usb/bus/host_controller.h"

#include <algorithm>

#include "sim/kernel/core/clock.h"
#include "sim/usb/bus/pdo_extension.h"
#include "sim/usb/bus/usbd_status.h"

namespace sim::usb {

namespace {
constexpr int64_t kFrameTicks = 10000;  // 1 ms in 100 ns units

// Every control URB keeps its byte count at the same place.
static_assert(offsetof(struct _URB_CONTROL_TRANSFER, TransferBufferLength) ==
              offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength));
static_assert(offsetof(struct _URB_CONTROL_TRANSFER, TransferBufferLength) ==
              offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferLength));
}  // namespace

void TransferCancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  if (PdoExtension* ext = PdoExt(device)) ext->controller->CancelIrp(irp);
}

uint8_t* UrbBuffer(PVOID buffer, PMDL mdl) {
  if (buffer != nullptr) return static_cast<uint8_t*>(buffer);
  if (mdl != nullptr) return static_cast<uint8_t*>(MmGetMdlVirtualAddress(mdl));
  return nullptr;
}

HostController::HostController(const ControllerInfo& info) : info_(info) {
  for (int i = 0; i < kCompletionProcessors; ++i) {
    completions_[i].owner = this;
    KeInitializeDpc(&completions_[i].dpc, CompletionDpc, &completions_[i]);
    KeSetTargetProcessorDpc(&completions_[i].dpc, static_cast<CCHAR>(i));
  }
}

HostController::~HostController() { Stop(); }

void HostController::Start() {
  Lock lock(mutex_);
  if (running_) return;
  running_ = true;
  startTime_ = sim::clock::Now();
  processedFrames_ = 0;
  thread_ = sim::clock::Thread("host controller", [this] { FrameThread(); });
}

void HostController::Stop() {
  {
    Lock lock(mutex_);
    if (!running_) return;
    running_ = false;
  }
  wake_.NotifyAll();
  thread_.Join();
  // Held completions go out now, and every completion DPC has run before
  // the controller can go.
  std::vector<Transfer*> ready;
  {
    Lock lock(mutex_);
    Deliver(held_);
    if (!sim::clock::IsSimulated()) ready.swap(completions_[0].ready);
  }
  CompleteAll(ready);
  KeFlushQueuedDpcs();
}

void HostController::StallFrames(int64_t duration) {
  Lock lock(mutex_);
  stallUntil_ = std::max(stallUntil_, sim::clock::Now() + duration);
  wake_.NotifyAll();
}

void HostController::HoldCompletions(int64_t duration) {
  Lock lock(mutex_);
  holdUntil_ = std::max(holdUntil_, sim::clock::Now() + duration);
  wake_.NotifyAll();
}

bool HostController::HasWork() const {
  if (!delayed_.empty() || !held_.empty()) return true;
  for (const auto& slot : slots_) {
    if (slot->gone) continue;
    if (!slot->controlQueue.empty() || slot->device()->WantsBusIntervals()) return true;
    for (const auto& [handle, pipe] : slot->pipes()) {
      if (!pipe->queue.empty()) return true;
    }
  }
  return false;
}

void HostController::Deliver(std::vector<Transfer*>& done) {
  if (done.empty()) return;
  if (!sim::clock::IsSimulated()) {
    // Real time: one hop less (a DPC thread's wake-up costs milliseconds on
    // a loaded host); the frame thread is the controller's DPC then.
    for (Transfer* t : done) completions_[0].ready.push_back(t);
    done.clear();
    return;
  }
  bool queued[kCompletionProcessors] = {};
  for (Transfer* t : done) {
    int p;
    if (t->pipe && t->pipe->queuedCompletions > 0) {
      p = t->pipe->completionProcessor;
    } else {
      p = static_cast<int>(processorChoice_.Below(kCompletionProcessors));
    }
    if (t->pipe) {
      t->pipe->completionProcessor = p;
      t->pipe->queuedCompletions++;
    }
    completions_[p].ready.push_back(t);
    queued[p] = true;
  }
  done.clear();
  for (int p = 0; p < kCompletionProcessors; ++p) {
    if (queued[p]) KeInsertQueueDpc(&completions_[p].dpc, nullptr, nullptr);
  }
}

void HostController::CompletionDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* queue = static_cast<CompletionQueue*>(context);
  HostController* self = queue->owner;
  std::vector<Transfer*> ready;
  {
    Lock lock(self->mutex_);
    ready.swap(queue->ready);
    for (Transfer* t : ready) {
      if (t->pipe) t->pipe->queuedCompletions--;
    }
  }
  self->CompleteAll(ready);
}

ControllerInfo HostController::Info() const {
  Lock lock(mutex_);
  return info_;
}

void HostController::SetInfo(const ControllerInfo& info) {
  Lock lock(mutex_);
  info_ = info;
}

uint64_t HostController::CurrentFrame() const {
  Lock lock(mutex_);
  if (!running_) return frameBase_ + processedFrames_;
  return frameBase_ + static_cast<uint64_t>((sim::clock::Now() - startTime_) / kFrameTicks);
}

uint64_t HostController::NextUnprocessedFrame() const {
  Lock lock(mutex_);
  return frameBase_ + processedFrames_;
}

DeviceSlot* HostController::Attach(UsbDevice* device) {
  Lock lock(mutex_);
  wake_.NotifyAll();
  slots_.push_back(std::make_unique<DeviceSlot>(device, static_cast<uint32_t>(slots_.size() + 1)));
  return slots_.back().get();
}

void HostController::TakeAllOfPipe(Pipe& pipe, std::vector<Transfer*>& out) {
  for (Transfer* t : pipe.queue) out.push_back(t);
  for (Transfer* t : pipe.withheld) out.push_back(t);
  pipe.queue.clear();
  pipe.withheld.clear();
  for (auto it = delayed_.begin(); it != delayed_.end();) {
    if ((*it)->pipe.get() == &pipe) {
      out.push_back(*it);
      it = delayed_.erase(it);
    } else {
      ++it;
    }
  }
}

void HostController::Detach(DeviceSlot* slot) {
  std::vector<Transfer*> gone;
  {
    Lock lock(mutex_);
    if (slot->gone) return;
    slot->gone = true;
    for (auto& [handle, pipe] : slot->pipes()) TakeAllOfPipe(*pipe, gone);
    for (Transfer* t : slot->controlQueue) gone.push_back(t);
    slot->controlQueue.clear();
    for (auto it = delayed_.begin(); it != delayed_.end();) {
      if ((*it)->slot == slot) {
        gone.push_back(*it);
        it = delayed_.erase(it);
      } else {
        ++it;
      }
    }
    // What was queued comes back cancelled, as the hub aborts the device's
    // pipes; requests sent from now on fail as device-gone.
    for (Transfer* t : gone) {
      t->status = USBD_STATUS_CANCELED;
      if (t->pipe) t->pipe->completing++;
    }
    // Finished but held back: counted as completing already.
    for (auto it = held_.begin(); it != held_.end();) {
      if ((*it)->slot == slot) {
        (*it)->status = USBD_STATUS_CANCELED;
        gone.push_back(*it);
        it = held_.erase(it);
      } else {
        ++it;
      }
    }
    wake_.NotifyAll();
  }
  CompleteAll(gone);
}

size_t HostController::PendingTransfers(DeviceSlot* slot) const {
  Lock lock(mutex_);
  size_t n = slot->controlQueue.size();
  for (auto& [handle, pipe] : slot->pipes()) n += pipe->queue.size() + pipe->withheld.size();
  for (Transfer* t : delayed_) n += (t->slot == slot);
  return n;
}

void HostController::DelayNextTransfers(DeviceSlot* slot, uint8_t endpointAddress, uint32_t count, uint32_t ms) {
  Lock lock(mutex_);
  auto& f = slot->Faults(endpointAddress);
  f.lateCount = count;
  f.lateMs = ms;
}

void HostController::FailNextTransfers(DeviceSlot* slot, uint8_t endpointAddress, uint32_t count, USBD_STATUS status) {
  Lock lock(mutex_);
  auto& f = slot->Faults(endpointAddress);
  f.failCount = count;
  f.failStatus = status;
}

void HostController::DropNextTransfers(DeviceSlot* slot, uint8_t endpointAddress, uint32_t count) {
  Lock lock(mutex_);
  slot->Faults(endpointAddress).dropCount = count;
}

void HostController::StallNextControlRequests(DeviceSlot* slot, uint32_t count) {
  Lock lock(mutex_);
  slot->stallNextControls(count);
}

void HostController::RefuseNextSelectInterfaces(DeviceSlot* slot, uint32_t count) {
  Lock lock(mutex_);
  slot->refuseSelectInterfaces += count;
}

void HostController::SetDeviceGoneStatus(NTSTATUS status) { deviceGoneStatus_ = status; }

void HostController::SetAbortReturnsEarly(bool early) {
  Lock lock(mutex_);
  abortReturnsEarly_ = early;
}

void HostController::ApplyFaults(DeviceSlot* slot, uint8_t endpointAddress, Transfer* t, bool& drop) {
  auto& f = slot->Faults(endpointAddress);
  drop = false;
  if (f.failCount > 0) {
    --f.failCount;
    t->failInjected = true;
    t->injectedStatus = f.failStatus;
  }
  if (f.lateCount > 0) {
    --f.lateCount;
    t->delayMs = f.lateMs;
  }
  if (f.dropCount > 0) {
    --f.dropCount;
    drop = true;
  }
}

void HostController::CancelIrp(PIRP irp) {
  std::vector<Transfer*> cancelled;
  {
    Lock lock(mutex_);
    auto take = [&](auto& container) {
      for (auto it = container.begin(); it != container.end(); ++it) {
        if ((*it)->irp == irp) {
          cancelled.push_back(*it);
          container.erase(it);
          return true;
        }
      }
      return false;
    };
    bool found = take(delayed_);
    for (auto& slot : slots_) {
      if (found) break;
      found = take(slot->controlQueue);
      for (auto& [handle, pipe] : slot->pipes()) {
        if (found) break;
        found = take(pipe->queue) || take(pipe->withheld);
      }
    }
    for (Transfer* t : cancelled) {
      t->status = USBD_STATUS_CANCELED;
      if (t->pipe) t->pipe->completing++;
    }
  }
  CompleteAll(cancelled);
}

void HostController::Finish(Transfer* t, USBD_STATUS status, std::vector<Transfer*>& done) {
  t->status = status;
  t->finished = true;
  if (t->delayMs > 0) {
    t->dueTime = sim::clock::Now() + static_cast<int64_t>(t->delayMs) * kFrameTicks;
    delayed_.push_back(t);
    return;
  }
  if (t->pipe) t->pipe->completing++;
  done.push_back(t);
}

void HostController::CompleteOne(Transfer* t) {
  PURB urb = t->urb;
  USBD_STATUS status = t->status;
  if (t->kind == TransferKind::Isoch) {
    auto& iso = urb->UrbIsochronousTransfer;
    uint32_t errors = 0;
    uint32_t bytes = 0;
    for (uint32_t i = 0; i < iso.NumberOfPackets; ++i) {
      auto& p = iso.IsoPacket[i];
      if (i >= t->nextPacket && USBD_SUCCESS(p.Status)) {
        // Never reached the bus (cancelled, device gone, injected failure).
        p.Status = USBD_SUCCESS(status) ? USBD_STATUS_ISO_NOT_ACCESSED_BY_HW : status;
        if (t->in) p.Length = 0;
      }
      if (!USBD_SUCCESS(p.Status)) {
        ++errors;
      } else {
        bytes += t->in ? p.Length : IsoOutPacketLength(iso, i);
      }
    }
    iso.StartFrame = static_cast<ULONG>(t->startFrame);
    iso.ErrorCount = errors;
    if (USBD_SUCCESS(status) && errors == iso.NumberOfPackets) status = USBD_STATUS_ISOCH_REQUEST_FAILED;
    if (t->in) iso.TransferBufferLength = USBD_SUCCESS(status) ? bytes : 0;
  } else if (t->kind == TransferKind::BulkOrInterrupt) {
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = t->done;
  } else {
    // Control transfers: the byte count sits at the same place in every
    // control URB layout.
    urb->UrbControlTransfer.TransferBufferLength = USBD_SUCCESS(status) ? t->done : 0;
  }
  urb->UrbHeader.Status = status;
  PIRP irp = t->irp;
  irp->IoStatus.Status = IrpStatusOf(status);
  irp->IoStatus.Information = 0;
  IoSetCancelRoutine(irp, nullptr);
  std::shared_ptr<Pipe> pipe = t->pipe;
  delete t;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  if (pipe) {
    Lock lock(mutex_);
    pipe->completing--;
    pipeIdle_.NotifyAll();
  }
}

void HostController::CompleteAll(std::vector<Transfer*>& done) {
  if (done.empty()) return;
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  for (Transfer* t : done) CompleteOne(t);
  KeLowerIrql(old);
  done.clear();
}

bool HostController::CompleteInline(Lock& lock) {
  if (completions_[0].ready.empty() || sim::clock::IsSimulated()) return false;
  std::vector<Transfer*> ready;
  ready.swap(completions_[0].ready);
  lock.unlock();
  CompleteAll(ready);
  lock.lock();
  return true;
}

void HostController::FrameThread() {
  Lock lock(mutex_);
  while (running_) {
    int64_t now = sim::clock::Now();
    if (now < stallUntil_) {
      sim::clock::WaitUntil(wake_, lock, stallUntil_);
      continue;
    }
    uint64_t elapsed = static_cast<uint64_t>((now - startTime_) / kFrameTicks);
    if (idle_) {
      // Nothing happened in the frames the thread slept through.
      processedFrames_ = std::max(processedFrames_, elapsed);
      idle_ = false;
    }
    std::vector<Transfer*> done;
    while (running_ && processedFrames_ < elapsed) {
      ProcessFrame(frameBase_ + processedFrames_, done);
      ++processedFrames_;
      for (auto it = delayed_.begin(); it != delayed_.end();) {
        if ((*it)->dueTime <= now) {
          if ((*it)->pipe) (*it)->pipe->completing++;
          done.push_back(*it);
          it = delayed_.erase(it);
        } else {
          ++it;
        }
      }
      if (now < holdUntil_) {
        held_.insert(held_.end(), done.begin(), done.end());
        done.clear();
      } else {
        Deliver(done);
      }
      // Real time: completed after each frame, so that a transfer resubmitted
      // from its completion routine is still in time for the frames a late
      // thread is catching up on.
      CompleteInline(lock);
    }
    if (now >= holdUntil_) Deliver(held_);
    if (CompleteInline(lock)) continue;
    // Only simulated time skips idle frames: a real thread wakes late, and the
    // frames it would skip may already hold new transfers.
    if (sim::clock::IsSimulated() && !HasWork()) {
      idle_ = true;
      sim::clock::WaitUntil(wake_, lock, sim::clock::kInfinite);
      continue;
    }
    int64_t next = startTime_ + static_cast<int64_t>(processedFrames_ + 1) * kFrameTicks;
    if (!held_.empty()) next = std::min(next, holdUntil_);
    sim::clock::WaitUntil(wake_, lock, next);
  }
}

}  // namespace sim::usb
