// Threading: all clock state sits behind one mutex and changes only with it held. Whether the manual clock
// is installed is also read without it: reading the real clock, which every run loop pass and parking worker
// does, then takes no lock that all threads share. Deadline callbacks are always called without the mutex
// held, so they may schedule or cancel deadlines themselves. Under the real clock one shared timer thread
// (started with the first deadline, never stopped) fires them; under the manual clock the thread calling
// `advance` does.
#include "platform/foundation/Clock.h"

#include <time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <new>
#include <thread>
#include <unordered_map>
#include <utility>

#include "platform/foundation/RunLoop.h"
#include "platform/foundation/RuntimeInternal.h"

namespace {

// How long a sleeper waits in real time for someone to advance the manual clock before giving up loudly.
constexpr double kManualSleepSafetySeconds = 30;

double readClock(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

using DeadlineKey = std::pair<double, Clock::DeadlineId>;  // ties fire in order of registration
using DeadlineMap = std::map<DeadlineKey, std::function<void()>>;

struct ClockState {
    std::mutex mutex;
    std::condition_variable timerWake;    // the real-clock timer thread
    std::condition_variable manualMoved;  // sleepers under the manual clock
    std::atomic<bool> manual{false};
    double manualNow = 0;
    Date manualStart;
    DeadlineMap realDeadlines;
    DeadlineMap manualDeadlines;
    std::unordered_map<Clock::DeadlineId, std::pair<DeadlineMap*, double>> index;
    Clock::DeadlineId nextId = 1;
    bool timerThreadStarted = false;
};

ClockState& state() {
    static auto* s = new ClockState;  // lives until exit: the timer thread may still use it
    return *s;
}

void timerThreadMain() {
    ClockState& s = state();
    std::unique_lock lock(s.mutex);
    for (;;) {
        if (s.realDeadlines.empty()) {
            s.timerWake.wait(lock);
            continue;
        }
        auto first = s.realDeadlines.begin();
        const double wait = first->first.first - readClock(CLOCK_MONOTONIC);
        if (wait > 0) {
            s.timerWake.wait_for(lock, std::chrono::duration<double>(wait));
            continue;
        }
        auto callback = std::move(first->second);
        s.index.erase(first->first.second);
        s.realDeadlines.erase(first);
        lock.unlock();
        callback();
        callback = nullptr;  // captures die outside the lock
        lock.lock();
    }
}

}  // namespace

double Clock::monotonic() {
    ClockState& s = state();
    if (s.manual.load(std::memory_order_acquire)) {
        std::lock_guard lock(s.mutex);
        if (s.manual) return s.manualNow;
    }
    return readClock(CLOCK_MONOTONIC);
}

Date Clock::now() {
    ClockState& s = state();
    if (s.manual.load(std::memory_order_acquire)) {
        std::lock_guard lock(s.mutex);
        if (s.manual) return s.manualStart.addingTimeInterval(s.manualNow);
    }
    return Date::fromUnixTime(readClock(CLOCK_REALTIME));
}

bool Clock::isManual() {
    return state().manual.load(std::memory_order_acquire);
}

void Clock::sleepFor(double seconds) {
    if (!(seconds > 0)) return;
    ClockState& s = state();
    std::unique_lock lock(s.mutex);
    if (!s.manual) {
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        return;
    }
    const double deadline = s.manualNow + seconds;
    const bool woke = s.manualMoved.wait_for(lock, std::chrono::duration<double>(kManualSleepSafetySeconds),
                                             [&] { return !s.manual || s.manualNow >= deadline; });
    if (!woke) {
        std::fprintf(stderr,
                     "Clock::sleepFor: nobody advanced the manual clock to %.3f within %.0f s of real time; "
                     "giving up the sleep\n",
                     deadline, kManualSleepSafetySeconds);
    }
}

Clock::DeadlineId Clock::scheduleDeadline(double monotonicDeadline, std::function<void()> callback) {
    ClockState& s = state();
    std::lock_guard lock(s.mutex);
    const DeadlineId id = s.nextId++;
    DeadlineMap& map = s.manual ? s.manualDeadlines : s.realDeadlines;
    auto [it, inserted] = map.emplace(DeadlineKey{monotonicDeadline, id}, std::move(callback));
    (void)inserted;
    s.index.emplace(id, std::make_pair(&map, monotonicDeadline));
    if (!s.manual) {
        if (!s.timerThreadStarted) {
            s.timerThreadStarted = true;
            std::thread(timerThreadMain).detach();
        } else if (it == map.begin()) {
            s.timerWake.notify_one();
        }
    }
    return id;
}

void Clock::cancelDeadline(DeadlineId id) {
    ClockState& s = state();
    std::function<void()> dropped;
    std::lock_guard lock(s.mutex);
    auto found = s.index.find(id);
    if (found == s.index.end()) return;
    auto [map, when] = found->second;
    auto it = map->find(DeadlineKey{when, id});
    if (it != map->end()) {
        dropped = std::move(it->second);
        map->erase(it);
    }
    s.index.erase(found);
    // `dropped` is destroyed after the lock is released (declared before the guard).
}

void runtime_internal::clockBeforeFork() {
    state().mutex.lock();
}

void runtime_internal::clockAfterForkInParent() {
    state().mutex.unlock();
}

void runtime_internal::clockAfterForkInChild() {
    ClockState& s = state();
    // The parent's threads may be counted as waiters: these are made anew rather than destroyed.
    new (&s.mutex) std::mutex;
    new (&s.timerWake) std::condition_variable;
    new (&s.manualMoved) std::condition_variable;
    s.timerThreadStarted = false;  // started with the next deadline: no thread starts inside fork
}

ManualClock::ManualClock(Date start) {
    ClockState& s = state();
    std::lock_guard lock(s.mutex);
    if (s.manual) {
        std::fprintf(stderr, "ManualClock: a manual clock is already installed\n");
        std::abort();
    }
    s.manual = true;
    s.manualNow = 0;
    s.manualStart = start;
}

ManualClock::~ManualClock() {
    ClockState& s = state();
    DeadlineMap dropped;
    {
        std::lock_guard lock(s.mutex);
        s.manual = false;
        dropped.swap(s.manualDeadlines);
        for (const auto& [key, callback] : dropped) s.index.erase(key.second);
    }
    s.manualMoved.notify_all();
}

void ManualClock::advance(double seconds) {
    ClockState& s = state();
    const bool onMain = NSRunLoop::isMainThread();
    double target;
    {
        std::lock_guard lock(s.mutex);
        target = s.manualNow + (seconds > 0 ? seconds : 0);
    }
    for (;;) {
        std::unique_lock lock(s.mutex);
        if (!s.manual) return;
        auto first = s.manualDeadlines.begin();
        if (first == s.manualDeadlines.end() || first->first.first > target) {
            if (s.manualNow < target) s.manualNow = target;
            lock.unlock();
            s.manualMoved.notify_all();
            if (onMain) runtime_internal::runMainLoopDueWork();
            return;
        }
        if (s.manualNow < first->first.first) s.manualNow = first->first.first;
        auto callback = std::move(first->second);
        s.index.erase(first->first.second);
        s.manualDeadlines.erase(first);
        lock.unlock();
        s.manualMoved.notify_all();
        callback();
        callback = nullptr;
        if (onMain) runtime_internal::runMainLoopDueWork();
    }
}
