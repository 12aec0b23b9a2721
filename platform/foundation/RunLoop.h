// NSRunLoop and NSTimer. The main thread's run loop drains the main queue and fires timers scheduled in the
// mode it runs in; any other thread may have a run loop of its own.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

inline constexpr const char* NSDefaultRunLoopMode = "kCFRunLoopDefaultMode";
inline constexpr const char* NSRunLoopCommonModes = "kCFRunLoopCommonModes";
inline constexpr const char* UITrackingRunLoopMode = "UITrackingRunLoopMode";

class NSTimer;

// Another event loop that a run loop drives, such as a library's own main context: the loop dispatches
// what the source has ready in every pass and lets the source do the loop's waiting, so that events of
// either side end the wait.
class NSRunLoopEventSource {
  public:
    virtual ~NSRunLoopEventSource() = default;
    // Runs what is ready without blocking.
    virtual void dispatch() = 0;
    // Blocks for at most `seconds` (real time) or until `wake`, dispatching what arrives meanwhile.
    virtual void wait(double seconds) = 0;
    // Ends a `wait` in progress or the next one; any thread.
    virtual void wake() = 0;
};

class NSRunLoop {
  public:
    static NSRunLoop& main();
    // The calling thread's run loop (created on first use).
    static NSRunLoop& current();
    // The main thread is the process's initial thread (the one that entered main()), whoever touches the
    // main run loop first.
    static bool isMainThread();

    // Adds a timer in a mode; NSRunLoopCommonModes means default and tracking.
    void addTimer(const std::shared_ptr<NSTimer>& timer, const std::string& mode);
    // Runs one pass in `mode`: fires due timers, runs queued work (main queue work on the main loop), then
    // waits up to `timeoutSeconds` (real time) for new work. Returns whether anything ran.
    bool runOnce(const std::string& mode, double timeoutSeconds);
    // The mode the loop is running in now ("" when not running).
    std::string currentMode() const;

    // Runs in the default mode until `predicate` holds or `timeoutSeconds` of real time pass; true when the
    // predicate holds. Tests use it instead of sleeping.
    bool runUntil(const std::function<bool()>& predicate, double timeoutSeconds,
                  const std::string& mode = NSDefaultRunLoopMode);
    // Runs until no queued work and no due timer remains (gives up, with a message, if work keeps queueing
    // more work for a very long time).
    void runUntilIdle(const std::string& mode = NSDefaultRunLoopMode);
    // Runs until `stop` is called (the application's loop).
    void run();
    void stop();
    // Queues a block to run on this loop's thread and wakes it (any thread may call it).
    void perform(std::function<void()> block);
    // Drives `source` from this loop's passes and waits (null: none). Its dispatches do not count as work
    // for `runOnce`'s result, so `runUntilIdle` does not wait for a source that is never idle.
    void setEventSource(std::shared_ptr<NSRunLoopEventSource> source);

    NSRunLoop(const NSRunLoop&) = delete;
    NSRunLoop& operator=(const NSRunLoop&) = delete;
    ~NSRunLoop();

    struct Impl;

  private:
    NSRunLoop();
    std::unique_ptr<Impl> impl_;
};

enum class Repeats { No, Yes };

class NSTimer : public std::enable_shared_from_this<NSTimer> {
  public:
    using Block = std::function<void(const std::shared_ptr<NSTimer>&)>;
    // A timer not yet scheduled; add it to a run loop with `addTimer`.
    static std::shared_ptr<NSTimer> timerWithTimeInterval(double interval, Repeats repeats, Block block);
    // Creates the timer and adds it to the current run loop in the default mode.
    static std::shared_ptr<NSTimer> scheduledTimerWithTimeInterval(double interval, Repeats repeats,
                                                                   Block block);

    void invalidate();
    bool isValid() const;
    void fire();  // runs the block now; a one-shot timer then becomes invalid
    double timeInterval() const { return interval_; }
    double fireDate() const;  // on the monotonic clock

    struct State;

  private:
    NSTimer(double interval, Repeats repeats, Block block);
    double interval_;
    std::shared_ptr<State> state_;
    friend class NSRunLoop;
};
