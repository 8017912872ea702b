// The system worker threads, which run work items (IoQueueWorkItem) at
// PASSIVE_LEVEL.
#pragma once
#include <functional>

#include <wdm.h>

namespace sim::kernel {

// Runs work on a system worker thread at PASSIVE_LEVEL. The queue type is
// accepted for fidelity; all queues share the same threads. A routine that
// returns at a raised IRQL, holding a spin lock or inside a critical region
// is a verifier failure.
void QueueSystemWork(WORK_QUEUE_TYPE type, std::function<void()> work);

// Blocks until no work is queued or running (work queued by running work
// included). Must not be called from a worker thread.
void DrainSystemWork();

}  // namespace sim::kernel
