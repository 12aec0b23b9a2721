// One clock for everything time-based: timers, animations, sleeps, dates and timer sources.
//
// The real clock is installed by default. Tests install a manual clock (ManualClock below), under which
// time stands still until `advance` moves it; everything that falls due is fired in time order, on the
// thread or queue it belongs to.
#pragma once

#include <functional>

#include "platform/foundation/Value.h"

class Clock {
  public:
    // Seconds on a monotonic scale with an arbitrary origin (the manual clock starts it at 0).
    static double monotonic();
    // Wall time, "now" for dates.
    static Date now();
    // Blocks the calling thread for `seconds` of clock time (NSThread sleepForTimeInterval:). Under the
    // manual clock the sleeper wakes once another thread's `advance` has moved time past its deadline.
    static void sleepFor(double seconds);
    static bool isManual();

    // A token for a deadline that the clock itself watches: under the manual clock `advance` calls the
    // callback (on the advancing thread) when time reaches `deadline`; under the real clock a shared timer
    // thread calls it. Used by run loops, timer sources and `DispatchQueue::after`. Returns an id for
    // `cancelDeadline`. Callbacks must be quick (they just queue work) and are called with no clock lock
    // held. Under the manual clock a deadline that is already due fires at the next `advance` (even
    // `advance(0)`); callers that want it at once check `monotonic()` themselves.
    using DeadlineId = uint64_t;
    static DeadlineId scheduleDeadline(double monotonicDeadline, std::function<void()> callback);
    static void cancelDeadline(DeadlineId id);
};

// Installs a manual clock for its lifetime (tests only; one at a time).
class ManualClock {
  public:
    explicit ManualClock(Date start = Date{0});
    ~ManualClock();
    ManualClock(const ManualClock&) = delete;
    ManualClock& operator=(const ManualClock&) = delete;

    // Moves time forward by `seconds`, stopping at each deadline that falls due on the way (in time order)
    // to fire it. Called on the main thread it also runs the main run loop's due timers and main-queue work
    // at each stop, so that a chain of timers fires as it would in real time.
    void advance(double seconds);
};
