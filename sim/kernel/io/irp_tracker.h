// Internal to the stand-ins: tests, tools and the fuzzer use the public headers instead.
// Side table of every IRP the stand-in knows: who owns it, where it is in its
// life (sent, completing, halted by a completion routine, done) and, per stack
// level, whether the level was marked pending when completion passed it. The
// checks of IoCallDriver / IoCompleteRequest / IoFreeIrp use it.
#pragma once
#include <memory>
#include <mutex>
#include <vector>

#include "sim/kernel/io/io_internal.h"

namespace sim::io {

enum class IrpKind {
  Allocated,    // IoAllocateIrp: its owner frees it
  Initialized,  // IoInitializeIrp on the caller's memory
  Thread,       // IoBuildDeviceIoControlRequest / IoBuildSynchronousFsdRequest
  AsyncFsd,     // IoBuildAsynchronousFsdRequest
  System,       // the I/O manager's own (user requests, PnP, create/close)
};

enum class IrpState { Idle, Sent, Completing, Halted, Done };

// One use of an IRP, from allocation or IoReuseIrp to the next reuse or free.
struct IrpUse {
  std::mutex lock;
  IrpKind kind = IrpKind::Allocated;
  IrpState state = IrpState::Idle;
  PDRIVER_OBJECT owner = nullptr;  // driver that allocated or built it
  int routinesRunning = 0;         // completion routines executing now
  bool freed = false;
  bool retired = false;            // replaced by IoReuseIrp
  ULONG outputLength = 0;          // bound for buffered copy-back
  std::vector<bool> passed;        // index = stack level (CurrentLocation)
  std::vector<bool> pendingAtPass;
  // What the dispatch routine of each level returned: -1 not yet, 0 another
  // status, 1 STATUS_PENDING. Checked against the level's SL_PENDING_RETURNED
  // once both are known (a completion routine may still mark it).
  std::vector<int> returnedPending;
  std::vector<PDRIVER_OBJECT> dispatcher;
  std::vector<UCHAR> major;
  FinalStage final;                // Thread / System IRPs
};

std::shared_ptr<IrpUse> TrackIrp(PIRP irp, IrpKind kind, PDRIVER_OBJECT owner);
// The current use, or null; *wasFreed tells a recently freed IRP apart.
std::shared_ptr<IrpUse> LookupIrp(PIRP irp, bool* wasFreed = nullptr);
// Starts a new use (IoReuseIrp), keeping kind, owner and final stage.
std::shared_ptr<IrpUse> RenewIrp(PIRP irp);
// Forgets the IRP; the memory is kept in quarantine for a while so that a
// late IoCompleteRequest on it is recognised rather than corrupting memory.
void UntrackIrp(PIRP irp, void (*release)(void*));

}  // namespace sim::io
