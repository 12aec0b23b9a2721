// Hooks between the runtime's own files (clock, run loop, queues), and what its tests and benchmarks read of
// the worker pool. Not for use elsewhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace runtime_internal {

// Runs the main run loop's due timers and queued main-queue work until nothing is left, in the mode the loop
// runs in (default mode when it is not running). Main thread only; `ManualClock::advance` calls it at each
// stop.
void runMainLoopDueWork();

// Runs a block, catching whatever it throws: a thrown exception is reported on stderr and dropped, so that it
// never unwinds into a worker thread or a run loop.
void runGuarded(const std::function<void()>& block, const char* where);

struct WorkerPoolStatistics {
    uint64_t threadStarts;  // threads the pool has started since the process began
    size_t live;            // its threads now, parked ones included
    size_t idle;            // parked threads
    uint64_t spinHits;      // idle spins that a job ended (the worker needed no wake-up)
    uint64_t spinMisses;    // idle spins that ended in parking
};
WorkerPoolStatistics workerPoolStatistics();

// Fork: the clock's part of the runtime's handlers (the queues' code calls them, in lock order). Before
// the fork the clock's lock is taken; the parent lets it go; the child, whose timer thread is gone, makes
// its lock and wake-ups anew and starts a timer thread again with its next deadline.
void clockBeforeFork();
void clockAfterForkInParent();
void clockAfterForkInChild();

}  // namespace runtime_internal
