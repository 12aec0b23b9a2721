// Hooks between the runtime's own files (clock, run loop, queues). Not for use outside platform/foundation.
#pragma once

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

}  // namespace runtime_internal
