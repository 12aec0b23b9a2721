// Threading: a run loop belongs to one thread and only that thread runs its passes. Other threads touch it
// through `perform`, `stop` and clock deadlines, which take the loop's mutex, queue or flag something and
// wake it. Timers carry their own mutex; no code holds a timer's mutex and a loop's mutex at once, and
// callbacks (timer blocks, performed blocks) always run with no lock held.
#include "platform/foundation/RunLoop.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>
#include <set>

#include "platform/foundation/Clock.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/RuntimeInternal.h"

namespace {

// Passes `runUntilIdle` makes before deciding that work which keeps re-queueing itself will never settle.
constexpr int kIdlePassLimit = 100000;
// Slice of real time `runUntil` waits between looks at its predicate.
constexpr double kPredicatePollSeconds = 0.01;
// The shortest interval of a repeating timer, so that a zero interval cannot spin a pass forever.
constexpr double kMinimumRepeatInterval = 0.0001;

}  // namespace

struct RunLoopCore {
    std::mutex mutex;
    std::condition_variable wakeup;
    bool woken = false;
    bool stopRequested = false;
    std::vector<std::function<void()>> performed;
    std::vector<std::shared_ptr<NSTimer>> timers;
    // Innermost last; nested runs push their mode, which lives as long as their run.
    std::vector<const std::string*> modes;
    std::shared_ptr<NSRunLoopEventSource> source;

    void wake() {
        wakeAfter([] {});
    }

    // Makes `change` and marks the loop woken in one hold of the mutex: a thread queueing work while the
    // loop's own thread runs a pass meets the mutex once.
    template <typename Change>
    void wakeAfter(Change&& change) {
        signalAfter([&] {
            change();
            woken = true;
        });
    }

    // Makes `change` under the mutex, then wakes the loop's thread, wherever it waits.
    template <typename Change>
    void signalAfter(Change&& change) {
        std::shared_ptr<NSRunLoopEventSource> waiting;
        {
            std::lock_guard lock(mutex);
            change();
            waiting = source;
        }
        wakeup.notify_all();
        if (waiting) waiting->wake();
    }
};

struct NSRunLoop::Impl {
    std::shared_ptr<RunLoopCore> core = std::make_shared<RunLoopCore>();

    bool pass(const std::string& mode);
    bool fireTimer(const std::shared_ptr<NSTimer>& timer);
};

struct NSTimer::State {
    std::mutex mutex;
    NSTimer::Block block;
    bool repeats = false;
    bool valid = true;
    bool firing = false;  // a nested pass must not fire a timer whose block is still running
    double fireDate = 0;
    std::weak_ptr<RunLoopCore> loop;
    std::set<std::string> modes;
    Clock::DeadlineId deadline = 0;
};

namespace {

void scheduleWake(NSTimer::State& st) {
    // Caller holds st.mutex.
    if (st.deadline) Clock::cancelDeadline(st.deadline);
    st.deadline = Clock::scheduleDeadline(st.fireDate, [loop = st.loop] {
        if (auto core = loop.lock()) core->wake();
    });
}

struct ModeScope {
    RunLoopCore& core;
    ModeScope(RunLoopCore& c, const std::string& mode) : core(c) {
        std::lock_guard lock(core.mutex);
        core.modes.push_back(&mode);
    }
    ~ModeScope() {
        std::lock_guard lock(core.mutex);
        core.modes.pop_back();
    }
};

}  // namespace

void runtime_internal::runGuarded(const std::function<void()>& block, const char* where) {
    DispatchQueue::workerGoesOn();
    try {
        block();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: a block threw and was stopped there: %s\n", where, e.what());
    } catch (...) {
        std::fprintf(stderr, "%s: a block threw and was stopped there\n", where);
    }
}

void runtime_internal::runMainLoopDueWork() {
    NSRunLoop& loop = NSRunLoop::main();
    std::string mode = loop.currentMode();
    loop.runUntilIdle(mode.empty() ? NSDefaultRunLoopMode : mode);
}

// ---- NSRunLoop

NSRunLoop::NSRunLoop() : impl_(std::make_unique<Impl>()) {}

NSRunLoop::~NSRunLoop() {
    std::vector<std::shared_ptr<NSTimer>> timers;
    {
        std::lock_guard lock(impl_->core->mutex);
        timers.swap(impl_->core->timers);
    }
    for (auto& timer : timers) timer->invalidate();
}

bool NSRunLoop::isMainThread() {
    // The main thread is the process's initial thread: the one whose thread id is the process id.
    thread_local const bool isMain = syscall(SYS_gettid) == getpid();
    return isMain;
}

NSRunLoop& NSRunLoop::main() {
    static NSRunLoop* loop = new NSRunLoop();  // never destroyed: other threads may still post to it
    return *loop;
}

NSRunLoop& NSRunLoop::current() {
    if (isMainThread()) return main();
    thread_local std::unique_ptr<NSRunLoop> loop(new NSRunLoop());
    return *loop;
}

void NSRunLoop::addTimer(const std::shared_ptr<NSTimer>& timer, const std::string& mode) {
    if (!timer) return;
    {
        NSTimer::State& st = *timer->state_;
        std::lock_guard lock(st.mutex);
        if (!st.valid) return;
        auto owner = st.loop.lock();
        if (owner && owner != impl_->core) return;  // a timer belongs to one loop
        st.loop = impl_->core;
        if (mode == NSRunLoopCommonModes) {
            st.modes.insert(NSDefaultRunLoopMode);
            st.modes.insert(UITrackingRunLoopMode);
        } else {
            st.modes.insert(mode);
        }
        if (!st.deadline) scheduleWake(st);
    }
    RunLoopCore& core = *impl_->core;
    core.wakeAfter([&] {
        if (std::find(core.timers.begin(), core.timers.end(), timer) == core.timers.end())
            core.timers.push_back(timer);
    });
}

std::string NSRunLoop::currentMode() const {
    std::lock_guard lock(impl_->core->mutex);
    return impl_->core->modes.empty() ? std::string() : *impl_->core->modes.back();
}

bool NSRunLoop::Impl::fireTimer(const std::shared_ptr<NSTimer>& timer) {
    NSTimer::State& st = *timer->state_;
    NSTimer::Block block;
    {
        std::lock_guard lock(st.mutex);
        if (!st.valid || st.firing) return false;
        st.firing = true;
        block = st.block;
    }
    runtime_internal::runGuarded([&] { block(timer); }, "NSTimer");
    bool oneShotDone = false;
    {
        std::lock_guard lock(st.mutex);
        st.firing = false;
        if (st.valid && st.repeats) {
            // Next fire date on the timer's own grid, skipping fires that were missed.
            const double interval = timer->interval_;
            const double now = Clock::monotonic();
            double next = st.fireDate + interval;
            if (next <= now) next = st.fireDate + interval * (std::floor((now - st.fireDate) / interval) + 1);
            st.fireDate = next;
            scheduleWake(st);
        } else {
            oneShotDone = st.valid;
        }
    }
    if (oneShotDone) timer->invalidate();
    return true;
}

bool NSRunLoop::Impl::pass(const std::string& mode) {
    std::vector<std::function<void()>> performed;
    std::vector<std::shared_ptr<NSTimer>> timers;
    {
        std::lock_guard lock(core->mutex);
        core->woken = false;
        performed.swap(core->performed);
        timers = core->timers;
    }
    const double now = Clock::monotonic();
    std::vector<std::pair<double, std::shared_ptr<NSTimer>>> due;
    for (auto& timer : timers) {
        std::lock_guard lock(timer->state_->mutex);
        const NSTimer::State& st = *timer->state_;
        if (st.valid && !st.firing && st.fireDate <= now && st.modes.count(mode)) {
            due.emplace_back(st.fireDate, timer);
        }
    }
    std::stable_sort(due.begin(), due.end(), [](auto& a, auto& b) { return a.first < b.first; });
    bool ran = false;
    for (auto& [when, timer] : due) ran = fireTimer(timer) || ran;
    for (auto& block : performed) {
        runtime_internal::runGuarded(block, "NSRunLoop");
        block = nullptr;
        ran = true;
    }
    if (ran && performed.capacity()) {
        // Hand the emptied buffer back, so that blocks performed later need no new one.
        performed.clear();
        std::lock_guard lock(core->mutex);
        if (core->performed.empty() && core->performed.capacity() < performed.capacity())
            core->performed.swap(performed);
    }
    return ran;
}

bool NSRunLoop::runOnce(const std::string& mode, double timeoutSeconds) {
    RunLoopCore& core = *impl_->core;
    ModeScope scope(core, mode);
    std::shared_ptr<NSRunLoopEventSource> source;
    {
        std::lock_guard lock(core.mutex);
        source = core.source;
    }
    bool ran = impl_->pass(mode);
    if (source) {
        source->dispatch();
        if (!ran && timeoutSeconds > 0) {
            bool idle;
            {
                std::lock_guard lock(core.mutex);
                idle = !core.woken && !core.stopRequested;
            }
            // A wake after this look reaches the source, whose wait then returns at once.
            if (idle) source->wait(timeoutSeconds);
            ran = impl_->pass(mode);
        }
        return ran;
    }
    if (!ran && timeoutSeconds > 0) {
        bool woken;
        {
            std::unique_lock lock(core.mutex);
            woken = core.wakeup.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                                         [&] { return core.woken || core.stopRequested; });
            woken = woken && core.woken;
        }
        if (woken) ran = impl_->pass(mode);
    }
    return ran;
}

bool NSRunLoop::runUntil(const std::function<bool()>& predicate, double timeoutSeconds,
                         const std::string& mode) {
    using namespace std::chrono;
    const auto end =
        steady_clock::now() + duration_cast<steady_clock::duration>(duration<double>(timeoutSeconds));
    for (;;) {
        if (predicate()) return true;
        const double left = duration<double>(end - steady_clock::now()).count();
        if (left <= 0) return predicate();
        runOnce(mode, std::min(left, kPredicatePollSeconds));
    }
}

void NSRunLoop::runUntilIdle(const std::string& mode) {
    for (int i = 0; i < kIdlePassLimit; ++i) {
        if (!runOnce(mode, 0)) return;
    }
    std::fprintf(stderr, "NSRunLoop::runUntilIdle: work kept arriving for %d passes; returning\n",
                 kIdlePassLimit);
}

void NSRunLoop::run() {
    RunLoopCore& core = *impl_->core;
    for (;;) {
        {
            std::lock_guard lock(core.mutex);
            if (core.stopRequested) {
                core.stopRequested = false;
                return;
            }
        }
        runOnce(NSDefaultRunLoopMode, 1.0);
    }
}

void NSRunLoop::stop() {
    RunLoopCore& core = *impl_->core;
    core.signalAfter([&] { core.stopRequested = true; });
}

void NSRunLoop::perform(std::function<void()> block) {
    RunLoopCore& core = *impl_->core;
    core.wakeAfter([&] { core.performed.push_back(std::move(block)); });
}

void NSRunLoop::setEventSource(std::shared_ptr<NSRunLoopEventSource> source) {
    std::lock_guard lock(impl_->core->mutex);
    impl_->core->source = std::move(source);
}

// ---- NSTimer

NSTimer::NSTimer(double interval, Repeats repeats, Block block)
    : interval_(repeats == Repeats::Yes ? std::max(interval, kMinimumRepeatInterval)
                                        : std::max(interval, 0.0)),
      state_(std::make_shared<State>()) {
    state_->block = std::move(block);
    state_->repeats = repeats == Repeats::Yes;
    state_->fireDate = Clock::monotonic() + interval_;
}

std::shared_ptr<NSTimer> NSTimer::timerWithTimeInterval(double interval, Repeats repeats, Block block) {
    return std::shared_ptr<NSTimer>(new NSTimer(interval, repeats, std::move(block)));
}

std::shared_ptr<NSTimer> NSTimer::scheduledTimerWithTimeInterval(double interval, Repeats repeats,
                                                                 Block block) {
    auto timer = timerWithTimeInterval(interval, repeats, std::move(block));
    NSRunLoop::current().addTimer(timer, NSDefaultRunLoopMode);
    return timer;
}

void NSTimer::invalidate() {
    Block released;  // the block may own this timer's last reference: release it with no lock held
    Clock::DeadlineId deadline;
    std::shared_ptr<RunLoopCore> loop;
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->valid) return;
        state_->valid = false;
        released.swap(state_->block);
        deadline = state_->deadline;
        state_->deadline = 0;
        loop = state_->loop.lock();
    }
    if (deadline) Clock::cancelDeadline(deadline);
    if (loop) {
        std::shared_ptr<NSTimer> self;  // keeps `this` alive until the loop's lock is released
        std::lock_guard lock(loop->mutex);
        auto it = std::find_if(loop->timers.begin(), loop->timers.end(),
                               [&](const auto& t) { return t.get() == this; });
        if (it != loop->timers.end()) {
            self = std::move(*it);
            loop->timers.erase(it);
        }
    }
}

bool NSTimer::isValid() const {
    std::lock_guard lock(state_->mutex);
    return state_->valid;
}

double NSTimer::fireDate() const {
    std::lock_guard lock(state_->mutex);
    return state_->fireDate;
}

void NSTimer::fire() {
    NSTimer::Block block;
    bool repeats;
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->valid) return;
        block = state_->block;
        repeats = state_->repeats;
    }
    auto self = shared_from_this();
    runtime_internal::runGuarded([&] { block(self); }, "NSTimer");
    if (!repeats) invalidate();
}
