// The push client's own long-lived thread. All of the client's work runs here, one block at a time, in the
// order it was handed over; callers never wait for it.
//
// The thread has its own run loop, kept running by a repeating 1000-second timer that does nothing, so
// that the client's run-loop timers can be scheduled on it (from a performed block, on
// NSRunLoop::current()). It starts on first use and lives until the process ends.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

class NSRunLoop;

class PUSHThread {
  public:
    static PUSHThread& shared();

    // Queues `block` to run on the thread and returns at once. A block that throws is logged and
    // abandoned; the blocks after it still run.
    void perform(std::function<void()> block);
    // Whether the caller runs on the push thread.
    static bool isCurrent();
    // Waits until every block performed so far (and every block those performed) has finished. False on
    // timeout, and at once when called on the push thread itself (it would wait for its own block).
    bool waitUntilIdle(double timeoutSeconds);

    PUSHThread(const PUSHThread&) = delete;
    PUSHThread& operator=(const PUSHThread&) = delete;

  private:
    PUSHThread();
    void threadMain();
    void drain();

    std::mutex mutex_;
    std::condition_variable idle_;
    NSRunLoop* loop_ = nullptr;  // set once the thread runs; the loop lives as long as the thread
    std::deque<std::function<void()>> pending_;
    size_t outstanding_ = 0;  // performed and not yet finished
};
