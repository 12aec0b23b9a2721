#include "push/Lib/Controller/PUSHThread.h"

#include <chrono>
#include <exception>
#include <thread>

#include "platform/foundation/Process.h"
#include "platform/foundation/RunLoop.h"
#include "push/Lib/Controller/PUSHClientLog.h"

namespace {

constexpr double kKeepAliveInterval = 1000;

thread_local bool onPushThread = false;

}  // namespace

PUSHThread& PUSHThread::shared() {
    static PUSHThread* thread = new PUSHThread();  // never destroyed: the thread runs until the process ends
    return *thread;
}

PUSHThread::PUSHThread() {
    std::thread([this] { threadMain(); }).detach();
}

bool PUSHThread::isCurrent() {
    return onPushThread;
}

void PUSHThread::threadMain() {
    onPushThread = true;
    ProcessInfo::setThreadName("PUSHThread");
    NSRunLoop& loop = NSRunLoop::current();
    // Nothing to do on a fire; the timer only keeps the loop from having nothing to wait for.
    loop.addTimer(NSTimer::timerWithTimeInterval(kKeepAliveInterval, Repeats::Yes, [](const auto&) {}),
                  NSDefaultRunLoopMode);
    {
        std::lock_guard lock(mutex_);
        loop_ = &loop;
    }
    drain();  // whatever was handed over before the loop existed
    loop.run();
}

void PUSHThread::perform(std::function<void()> block) {
    if (!block) return;
    NSRunLoop* loop;
    {
        std::lock_guard lock(mutex_);
        pending_.push_back(std::move(block));
        ++outstanding_;
        loop = loop_;
    }
    if (loop) loop->perform([this] { drain(); });
}

void PUSHThread::drain() {
    for (;;) {
        std::function<void()> block;
        {
            std::lock_guard lock(mutex_);
            if (pending_.empty()) return;
            block = std::move(pending_.front());
            pending_.pop_front();
        }
        try {
            block();
        } catch (const std::exception& e) {
            PUSHClientLogError("PUSHThread: a task threw and was abandoned: %@", e.what());
        } catch (...) {
            PUSHClientLogError("PUSHThread: a task threw and was abandoned");
        }
        block = nullptr;  // whatever the block held goes before it counts as finished
        {
            std::lock_guard lock(mutex_);
            --outstanding_;
        }
        idle_.notify_all();
    }
}

bool PUSHThread::waitUntilIdle(double timeoutSeconds) {
    if (isCurrent()) return false;
    std::unique_lock lock(mutex_);
    return idle_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                          [&] { return outstanding_ == 0; });
}
