// Internal to the stand-ins: tests, tools and the fuzzer use the public headers instead.
// The dispatcher: one lock over the state of every dispatcher object and
// every waiting thread, like the Windows dispatcher database. A waiting thread
// links one KWAIT_BLOCK per object into the object's WaitListHead and sleeps
// on its own condition variable; whoever signals an object satisfies the
// waiters it can, in wait-list order, and wakes them.
#pragma once
#include <cstddef>
#include <mutex>

#include <wdm.h>

namespace sim::kernel::dispatcher {

std::mutex& Lock();

void InitializeHeader(DISPATCHER_HEADER* header, UCHAR type, UCHAR sizeInLongs, LONG signalState);

// With the lock held: after an object became signalled, satisfy waiters.
void WaitTest(DISPATCHER_HEADER* object);

// True for the dispatcher object types the stand-in knows.
bool IsDispatcherObject(const DISPATCHER_HEADER* object);

// True if a thread waits on an object that lies in [begin, begin + bytes).
bool IsWaitedOnWithin(const void* begin, size_t bytes);

}  // namespace sim::kernel::dispatcher
