// Threading: the queue's own mutex guards the waiting operations and counters. An operation is handed to the
// underlying dispatch queue only when it may start, so the dispatch queue never holds more than the allowed
// number. The worker that finishes an operation takes the next one that may start itself, so a busy queue
// needs no new dispatch per operation. Dispatching happens with no lock held.
#include "platform/foundation/OperationQueue.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/RuntimeInternal.h"
#include "platform/foundation/TextUtil.h"

namespace {

thread_local std::vector<NSOperationQueue*> runningOperationQueues;

// How long waiting for the main queue on the main thread may run the loop when asked to wait forever.
constexpr double kForeverSeconds = 365.0 * 24 * 3600;

}  // namespace

struct NSOperationQueue::Impl {
    DispatchQueuePtr target;
    bool isMain = false;
    mutable std::mutex mutex;
    std::condition_variable allFinished;
    std::deque<std::function<void()>> waiting;
    size_t running = 0;
    long maxCount = NSOperationQueueDefaultMaxConcurrentOperationCount;
    bool suspended = false;
    std::string name;

    bool mayStart() const;
};

NSOperationQueue::NSOperationQueue() : impl_(std::make_unique<Impl>()) {}
NSOperationQueue::~NSOperationQueue() = default;

std::shared_ptr<NSOperationQueue> NSOperationQueue::create() {
    std::shared_ptr<NSOperationQueue> queue(new NSOperationQueue());
    queue->impl_->name = "NSOperationQueue " + TextUtil::addressText(queue.get());
    queue->impl_->target = DispatchQueue::concurrent(queue->impl_->name);
    return queue;
}

std::shared_ptr<NSOperationQueue> NSOperationQueue::mainQueue() {
    static auto* queue = [] {
        auto* q = new std::shared_ptr<NSOperationQueue>(new NSOperationQueue());
        (*q)->impl_->name = "NSOperationQueue Main Queue";
        (*q)->impl_->target = DispatchQueue::main();
        (*q)->impl_->isMain = true;
        (*q)->impl_->maxCount = 1;
        return q;
    }();
    return *queue;
}

std::shared_ptr<NSOperationQueue> NSOperationQueue::currentQueue() {
    if (!runningOperationQueues.empty()) return runningOperationQueues.back()->shared_from_this();
    if (DispatchQueue::current() == DispatchQueue::main()) return mainQueue();
    return nullptr;
}

void NSOperationQueue::setMaxConcurrentOperationCount(long count) {
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->isMain) return;  // the main queue stays serial
        impl_->maxCount = count > 0 ? count : NSOperationQueueDefaultMaxConcurrentOperationCount;
    }
    startReady();
}

long NSOperationQueue::maxConcurrentOperationCount() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->maxCount;
}

void NSOperationQueue::addOperationWithBlock(std::function<void()> block) {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->waiting.push_back(std::move(block));
    }
    startReady();
}

size_t NSOperationQueue::operationCount() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->waiting.size() + impl_->running;
}

bool NSOperationQueue::waitUntilAllOperationsAreFinished(double timeoutSeconds) {
    DispatchQueue::workerGoesOn();
    if (impl_->isMain && NSRunLoop::isMainThread()) {
        return NSRunLoop::main().runUntil([this] { return operationCount() == 0; },
                                          timeoutSeconds < 0 ? kForeverSeconds : timeoutSeconds);
    }
    std::unique_lock lock(impl_->mutex);
    auto done = [&] { return impl_->waiting.empty() && impl_->running == 0; };
    if (timeoutSeconds < 0) {
        impl_->allFinished.wait(lock, done);
        return true;
    }
    return impl_->allFinished.wait_for(lock, std::chrono::duration<double>(timeoutSeconds), done);
}

void NSOperationQueue::cancelAllOperations() {
    std::deque<std::function<void()>> dropped;  // released after the lock
    {
        std::lock_guard lock(impl_->mutex);
        dropped.swap(impl_->waiting);
        if (impl_->running == 0) impl_->allFinished.notify_all();
    }
}

void NSOperationQueue::setSuspended(bool suspended) {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->suspended = suspended;
    }
    if (!suspended) startReady();
}

bool NSOperationQueue::isSuspended() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->suspended;
}

void NSOperationQueue::setName(std::string name) {
    std::lock_guard lock(impl_->mutex);
    impl_->name = std::move(name);
}

std::string NSOperationQueue::name() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->name;
}

// Caller holds the mutex.
bool NSOperationQueue::Impl::mayStart() const {
    return !suspended && !waiting.empty() && (maxCount < 0 || running < size_t(maxCount));
}

void NSOperationQueue::startReady() {
    std::vector<std::function<void()>> starting;
    {
        std::lock_guard lock(impl_->mutex);
        while (impl_->mayStart()) {
            starting.push_back(std::move(impl_->waiting.front()));
            impl_->waiting.pop_front();
            ++impl_->running;
        }
    }
    if (starting.empty()) return;
    auto self = shared_from_this();
    for (auto& block : starting) {
        impl_->target->async(
            [self, block = std::move(block)]() mutable { self->runOperations(std::move(block)); });
    }
}

void NSOperationQueue::runOperations(std::function<void()> block) {
    for (;;) {
        runningOperationQueues.push_back(this);
        runtime_internal::runGuarded(block, "NSOperationQueue");
        runningOperationQueues.pop_back();
        block = nullptr;  // captures die outside the lock
        std::lock_guard lock(impl_->mutex);
        --impl_->running;
        // Off the main queue the worker that finished takes the next operation itself; the main queue runs
        // one per pass so that other main-thread work keeps its turn.
        if (!impl_->isMain && impl_->mayStart()) {
            block = std::move(impl_->waiting.front());
            impl_->waiting.pop_front();
            ++impl_->running;
            continue;
        }
        if (impl_->running == 0 && impl_->waiting.empty()) impl_->allFinished.notify_all();
        break;
    }
    if (impl_->isMain) startReady();
}
