#include "pushlog/PUSHLog.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <map>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

#include "platform/foundation/Console.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Process.h"

namespace {

char kLoggingQueueKey;
char kLoggerQueueKey;
// Set on the logging queue and on every logger's queue: where a log call must not wait.
char kRegistryQueueKey;

// One slot of the ring: a record, and whether it holds an admission permit (records logged from the
// registry's own queues hold none: they must never wait).
struct Entry {
    PUSHLogMessagePtr message;
    bool permit = false;
};

// The asynchronous path: a ring of admitted records, drained on the logging queue by one long-lived
// worker (and by any step that must come after them). Grows past its size only for records without a
// permit, which the admission limit does not bound.
class Ring {
  public:
    explicit Ring(size_t capacity) : slots_(capacity) {}

    // The sequence number the next record will get; every record below it was admitted before.
    uint64_t admitted() const { return admitted_.load(std::memory_order_acquire); }
    uint64_t delivered() const { return delivered_.load(std::memory_order_acquire); }

    // Returns whether the worker must be started (the first record, or the first in a forked child).
    bool push(PUSHLogMessagePtr message, bool permit) {
        std::lock_guard lock(mutex_);
        if (tail_ - head_ == slots_.size()) grow();
        slots_[tail_ & (slots_.size() - 1)] = Entry{std::move(message), permit};
        admitted_.store(++tail_, std::memory_order_release);
        if (workerAsleep_) {
            workerAsleep_ = false;
            wake_.notify_one();
        }
        return !std::exchange(workerStarted_, true);
    }

    void lockForFork() { mutex_.lock(); }
    void unlockAfterFork() { mutex_.unlock(); }
    // In a forked child: the worker is gone, and the records admitted before the fork are the parent's to
    // deliver (it does).
    void resetInForkChild() {
        new (&mutex_) std::mutex;
        new (&wake_) std::condition_variable;  // the parent's worker may be counted as its waiter
        for (; head_ < tail_; ++head_) slots_[head_ & (slots_.size() - 1)] = Entry{};
        delivered_.store(tail_);
        workerAsleep_ = false;
        workerStarted_ = false;
    }

    // Moves up to `limit` records below sequence `upTo` into `batch`; only on the logging queue.
    void take(uint64_t upTo, size_t limit, std::vector<Entry>& batch) {
        std::lock_guard lock(mutex_);
        const uint64_t end = std::min({tail_, upTo, head_ + limit});
        for (; head_ < end; ++head_) batch.push_back(std::move(slots_[head_ & (slots_.size() - 1)]));
    }
    void markDelivered(size_t n) { delivered_.fetch_add(n, std::memory_order_release); }

    // The worker: answers the sequence to drain up to once there are records. While records keep coming
    // it looks again for a moment before it sleeps, so that a busy logger does not pay a wake-up for each.
    uint64_t waitForRecords() {
        const auto spinUntil = std::chrono::steady_clock::now() + std::chrono::microseconds(50);
        std::unique_lock lock(mutex_);
        while (head_ == tail_ && std::chrono::steady_clock::now() < spinUntil) {
            lock.unlock();
            std::this_thread::yield();
            lock.lock();
        }
        while (head_ == tail_) {
            workerAsleep_ = true;
            wake_.wait(lock);
        }
        workerAsleep_ = false;
        return tail_;
    }

  private:
    void grow() {
        std::vector<Entry> bigger(slots_.size() * 2);
        for (uint64_t i = head_; i < tail_; ++i)
            bigger[i & (bigger.size() - 1)] = std::move(slots_[i & (slots_.size() - 1)]);
        slots_.swap(bigger);
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<Entry> slots_;           // a power of two
    uint64_t head_ = 0;                  // taken (on the logging queue)
    uint64_t tail_ = 0;                  // admitted
    std::atomic<uint64_t> admitted_{0};  // tail_, for readers without the lock
    std::atomic<uint64_t> delivered_{0};
    bool workerAsleep_ = false;
    bool workerStarted_ = false;
};

// At most kMaxAdmittedRecords admitted and unfinished; a caller beyond waits for one to finish.
class Admission {
  public:
    void take() {
        if (inFlight_.fetch_add(1) < PUSHLog::kMaxAdmittedRecords) return;
        inFlight_.fetch_sub(1);
        blocked_.fetch_add(1, std::memory_order_relaxed);
        std::unique_lock lock(mutex_);
        waiting_.fetch_add(1);
        freed_.wait(lock, [&] {
            long n = inFlight_.load();
            while (n < PUSHLog::kMaxAdmittedRecords) {
                if (inFlight_.compare_exchange_weak(n, n + 1)) return true;
            }
            return false;
        });
        waiting_.fetch_sub(1);
    }
    void release(long n) {
        if (n == 0) return;
        inFlight_.fetch_sub(n);
        if (waiting_.load() > 0) {
            std::lock_guard lock(mutex_);
            freed_.notify_all();
        }
    }
    void lockForFork() { mutex_.lock(); }
    void unlockAfterFork() { mutex_.unlock(); }
    // In a forked child: what was in flight belongs to threads that are gone.
    void resetInForkChild() {
        new (&mutex_) std::mutex;
        new (&freed_) std::condition_variable;
        inFlight_ = 0;
        waiting_ = 0;
    }
    PUSHLogAdmissionStats stats() const {
        return {size_t(std::max(0L, inFlight_.load())), size_t(waiting_.load()), blocked_.load()};
    }

  private:
    std::atomic<long> inFlight_{0};
    std::atomic<long> waiting_{0};
    std::atomic<uint64_t> blocked_{0};
    std::mutex mutex_;
    std::condition_variable freed_;
};

struct Registry {
    // Changed only on the logging queue, which also reads it without a lock; `listMutex` guards the
    // reads of callers that may not wait for the logging queue.
    std::vector<std::shared_ptr<PUSHLoggerNode>> loggers;
    std::mutex listMutex;
    std::atomic<uint64_t> listVersion{1};  // changed with `loggers`, under `listMutex`
    DispatchQueuePtr loggingQueue;
    std::shared_ptr<DispatchGroup> group;
    Admission admission;
    Ring ring{1024};
    std::vector<Entry> batch;           // reused by the drain, on the logging queue
    std::atomic<long> pendingSteps{0};  // registry steps queued and not yet finished
    std::atomic<unsigned> processors{1};

    struct LevelClass {
        std::function<uint32_t()> get;
        std::function<void(uint32_t)> set;
    };
    std::mutex classMutex;
    std::vector<std::pair<std::string, LevelClass>> classes;
};

Registry& registry();

// Fork: the registry's locks are taken before the fork; a child, whose only thread is the forking one,
// starts without the parent's worker, its records in flight and its dispatch group.
void beforeFork() {
    Registry& r = registry();
    r.listMutex.lock();
    r.ring.lockForFork();
    r.admission.lockForFork();
}
void afterForkInParent() {
    Registry& r = registry();
    r.admission.unlockAfterFork();
    r.ring.unlockAfterFork();
    r.listMutex.unlock();
}
void afterForkInChild() {
    Registry& r = registry();
    new (&r.listMutex) std::mutex;
    r.ring.resetInForkChild();
    r.admission.resetInForkChild();
    // Counted by steps of threads that are gone, and perhaps waited on by one: kept, never destroyed.
    new std::shared_ptr<DispatchGroup>(std::move(r.group));
    r.group = DispatchGroup::create();
}

Registry& registry() {
    // Lives until the process ends; never destroyed, so that logging from exit handlers is safe.
    static Registry* state = [] {
        auto* r = new Registry;
        r->loggers.reserve(4);
        r->loggingQueue = DispatchQueue::serial("push.logging");
        // After the queues' handlers: ours then take our locks before theirs, in the order logging takes
        // them (a logger removed under the list lock may end its queue).
        pthread_atfork(beforeFork, afterForkInParent, afterForkInChild);
        r->group = DispatchGroup::create();
        r->loggingQueue->setSpecific(&kLoggingQueueKey, &kLoggingQueueKey);
        r->loggingQueue->setSpecific(&kRegistryQueueKey, &kRegistryQueueKey);
        r->processors = std::max(1u, ProcessInfo::processorCount());
        NSNotificationCenter::defaultCenter().addObserver(
            UIApplicationWillTerminateNotification, nullptr, nullptr,
            [](const NSNotification&) { PUSHLog::applicationWillTerminate(); });
        return r;
    }();
    return *state;
}

bool mayNotWait() {
    return DispatchQueue::getSpecific(&kRegistryQueueKey) != nullptr;
}

// Runs one call into a logger; whatever it throws stays here.
template <class F>
void guarded(const PUSHLogger& logger, const char* what, F&& call) {
    try {
        call();
    } catch (const std::exception& e) {
        NSLog("PUSHLog: logger \"" + logger.loggerName() + "\" threw from " + what + ": " + e.what());
    } catch (...) {
        NSLog("PUSHLog: logger \"" + logger.loggerName() + "\" threw from " + what);
    }
}

// Hands `count` records, in order, to one logger on its queue.
void deliverTo(const PUSHLoggerNode& node, const Entry* entries, size_t count) {
    struct Visit {
        const PUSHLoggerNode& node;
        const Entry* entries;
        size_t count;
        void operator()() const {
            for (size_t i = 0; i < count; ++i) {
                const PUSHLogMessagePtr& message = entries[i].message;
                if ((node.level() & message->flag()) == 0) continue;
                guarded(*node.logger(), "logMessage", [&] { node.logger()->logMessage(message); });
            }
        }
    } visit{node, entries, count};
    // One pointer fits the block without an allocation.
    node.loggerQueue()->sync([v = &visit] { (*v)(); });
}

// The dispatch step, on the logging queue, for records in admission order: each matching logger takes
// them in order on its own queue; with several processors the loggers work in parallel and the step ends
// when all have finished.
void ltLog(Registry& r, const Entry* entries, size_t count) {
    if (r.processors.load(std::memory_order_relaxed) < 2) {
        // One processor: record by record, each logger finishing before the next starts.
        for (size_t i = 0; i < count; ++i) {
            for (const auto& node : r.loggers) {
                if (node->level() & entries[i].message->flag()) deliverTo(*node, entries + i, 1);
            }
        }
        return;
    }
    uint32_t flags = 0;
    for (size_t i = 0; i < count; ++i) flags |= entries[i].message->flag();
    const PUSHLoggerNode* last = nullptr;
    bool grouped = false;
    for (const auto& node : r.loggers) {
        if ((node->level() & flags) == 0) continue;
        if (last) {
            grouped = true;
            // The group is waited for below, so the entries outlive these blocks.
            r.group->async(last->loggerQueue(), [node = last->shared_from_this(), entries, count] {
                deliverTo(*node, entries, count);
            });
        }
        last = node.get();
    }
    // The last logger on its queue from this thread: a synchronous call takes the queue without a hop.
    if (last) deliverTo(*last, entries, count);
    if (grouped) r.group->wait(-1);
}

// On the logging queue: delivers every record of the ring below sequence `upTo`, in batches.
void drainUpTo(Registry& r, uint64_t upTo) {
    constexpr size_t kBatch = 256;
    while (r.ring.delivered() < upTo) {
        r.batch.clear();
        r.ring.take(upTo, kBatch, r.batch);
        if (r.batch.empty()) return;
        ltLog(r, r.batch.data(), r.batch.size());
        long permits = 0;
        for (auto& entry : r.batch) {
            permits += entry.permit;
            entry.message.reset();  // records die outside the ring's lock
        }
        r.ring.markDelivered(r.batch.size());
        r.admission.release(permits);
    }
}

void workerMain(Registry& r) {
    ProcessInfo::setThreadName("push.logging.ring");
    for (;;) {
        const uint64_t upTo = r.ring.waitForRecords();
        r.loggingQueue->sync([&] { drainUpTo(r, upTo); });
    }
}

void ltFlush(Registry& r) {
    bool any = false;
    for (const auto& node : r.loggers) {
        if (!node->logger()->implementsFlush()) continue;
        any = true;
        r.group->async(node->loggerQueue(),
                       [node] { guarded(*node->logger(), "flush", [&] { node->logger()->flush(); }); });
    }
    if (any) r.group->wait(-1);
}

void ltAddLogger(Registry& r, const PUSHLoggerPtr& logger, uint32_t level) {
    DispatchQueuePtr queue = logger->loggerQueue();
    if (!queue) queue = DispatchQueue::serial(logger->loggerName());
    PUSHLog::markLoggerQueue(queue);
    auto node = PUSHLoggerNode::nodeWithLogger(logger, queue, level);
    {
        std::lock_guard lock(r.listMutex);
        r.loggers.push_back(node);
        r.listVersion.fetch_add(1, std::memory_order_release);
    }
    if (logger->implementsDidAddLogger()) {
        queue->async([logger] { guarded(*logger, "didAddLogger", [&] { logger->didAddLogger(); }); });
    }
}

void noticeRemoval(const std::shared_ptr<PUSHLoggerNode>& node) {
    if (!node->logger()->implementsWillRemoveLogger()) return;
    auto logger = node->logger();
    node->loggerQueue()->async(
        [logger] { guarded(*logger, "willRemoveLogger", [&] { logger->willRemoveLogger(); }); });
}

void ltRemoveLogger(Registry& r, const PUSHLoggerPtr& logger) {
    auto it = std::find_if(r.loggers.begin(), r.loggers.end(),
                           [&](const auto& node) { return node->logger() == logger; });
    if (it == r.loggers.end()) return;
    noticeRemoval(*it);
    std::lock_guard lock(r.listMutex);
    r.loggers.erase(it);
    r.listVersion.fetch_add(1, std::memory_order_release);
}

void ltRemoveAllLoggers(Registry& r) {
    for (const auto& node : r.loggers) noticeRemoval(node);
    std::lock_guard lock(r.listMutex);
    r.loggers.clear();
    r.listVersion.fetch_add(1, std::memory_order_release);
}

// The one registered logger whose level takes `flag`: null when none does, `several` when more than one
// does. Reads the list as this thread last saw it, and again (under the list lock) only once it has
// changed, so that a synchronous call takes no lock here besides its logger's queue. The view holds the
// loggers weakly: a removed logger is not kept alive by a thread that once logged to it.
std::shared_ptr<PUSHLoggerNode> soleLoggerFor(Registry& r, uint32_t flag, bool& several) {
    struct View {
        uint64_t version = 0;
        std::vector<std::pair<uint32_t, std::weak_ptr<PUSHLoggerNode>>> nodes;  // level and node
    };
    thread_local View view;
    if (view.version != r.listVersion.load(std::memory_order_acquire)) {
        std::lock_guard lock(r.listMutex);
        view.nodes.clear();
        for (const auto& node : r.loggers) view.nodes.emplace_back(node->level(), node);
        view.version = r.listVersion.load(std::memory_order_relaxed);
    }
    const std::weak_ptr<PUSHLoggerNode>* match = nullptr;
    several = false;
    for (const auto& [level, node] : view.nodes) {
        if ((level & flag) == 0) continue;
        several = match != nullptr;
        if (several) return nullptr;
        match = &node;
    }
    // A logger removed since the view was read counts as gone, as if its removal came first.
    return match ? match->lock() : nullptr;
}

std::vector<PUSHLoggerPtr> loggersOf(const std::vector<std::shared_ptr<PUSHLoggerNode>>& nodes) {
    std::vector<PUSHLoggerPtr> out;
    out.reserve(nodes.size());
    for (const auto& node : nodes) out.push_back(node->logger());
    return out;
}

}  // namespace

DispatchQueuePtr PUSHLog::loggingQueue() {
    return registry().loggingQueue;
}

void PUSHLog::applicationWillTerminate() {
    flushLog();
}

void PUSHLog::asyncOnLoggingQueue(std::function<void()> block) {
    Registry& r = registry();
    const uint64_t admitted = r.ring.admitted();
    r.pendingSteps.fetch_add(1);
    r.loggingQueue->async([&r, admitted, block = std::move(block)] {
        drainUpTo(r, admitted);
        block();
        r.pendingSteps.fetch_sub(1);
    });
}

void PUSHLog::syncOnLoggingQueue(const std::function<void()>& block) {
    Registry& r = registry();
    const uint64_t admitted = r.ring.admitted();
    r.loggingQueue->sync([&] {
        drainUpTo(r, admitted);
        block();
    });
}

void PUSHLog::addLogger(const PUSHLoggerPtr& logger, uint32_t level) {
    if (!logger) return;
    asyncOnLoggingQueue([logger, level] { ltAddLogger(registry(), logger, level); });
}

void PUSHLog::removeLogger(const PUSHLoggerPtr& logger) {
    if (!logger) return;
    asyncOnLoggingQueue([logger] { ltRemoveLogger(registry(), logger); });
}

void PUSHLog::removeAllLoggers() {
    asyncOnLoggingQueue([] { ltRemoveAllLoggers(registry()); });
}

std::vector<PUSHLoggerPtr> PUSHLog::allLoggers() {
    Registry& r = registry();
    if (isOnLoggingQueue()) return loggersOf(r.loggers);
    if (isOnAnyLoggerQueue()) {
        std::lock_guard lock(r.listMutex);
        return loggersOf(r.loggers);
    }
    std::vector<PUSHLoggerPtr> result;
    r.loggingQueue->sync([&] { result = loggersOf(r.loggers); });
    return result;
}

void PUSHLog::queueLogMessage(const PUSHLogMessagePtr& message, bool asynchronously) {
    if (!message) return;
    Registry& r = registry();
    if (mayNotWait()) {
        // A logger (or the registry itself) logging: waiting here could wait for ourselves, and a permit
        // could be one that only we would give back.
        if (r.ring.push(message, false)) std::thread(workerMain, std::ref(r)).detach();
        return;
    }
    r.admission.take();
    if (asynchronously) {
        if (r.ring.push(message, true)) std::thread(workerMain, std::ref(r)).detach();
        return;
    }
    // Nothing queued ahead of it and at most one logger that takes it: straight onto that logger's queue.
    if (r.pendingSteps.load() == 0 && r.ring.delivered() == r.ring.admitted()) {
        bool several = false;
        const std::shared_ptr<PUSHLoggerNode> only = soleLoggerFor(r, message->flag(), several);
        if (!several) {
            const Entry entry{message, true};
            if (only) deliverTo(*only, &entry, 1);
            r.admission.release(1);
            return;
        }
    }
    // Else after the records and steps queued before it, without passing through the ring.
    struct Step {
        Registry& r;
        uint64_t admitted;
        Entry entry;
    } step{r, r.ring.admitted(), Entry{message, true}};
    r.loggingQueue->sync([s = &step] {
        drainUpTo(s->r, s->admitted);
        ltLog(s->r, &s->entry, 1);
    });
    r.admission.release(1);
}

void PUSHLog::log(bool asynchronous, uint32_t level, uint32_t flag, int32_t context, const char* file,
                  const char* function, uint32_t line, const Value& tag, const char* format,
                  std::initializer_list<Value> args) {
    if (!format) return;
    log(asynchronous, NSString::format(format, args), level, flag, context, file, function, line, tag);
}

void PUSHLog::log(bool asynchronous, uint32_t level, uint32_t flag, int32_t context, const char* file,
                  const char* function, uint32_t line, const Value& tag, const char* format,
                  const std::vector<Value>& args) {
    if (!format) return;
    log(asynchronous, NSString::format(format, args), level, flag, context, file, function, line, tag);
}

void PUSHLog::log(bool asynchronous, std::string message, uint32_t level, uint32_t flag, int32_t context,
                  const char* file, const char* function, uint32_t line, const Value& tag) {
    auto record = PUSHLogMessage::create(std::move(message), level, flag, context, file, function, line, tag);
    queueLogMessage(record, asynchronous);
}

void PUSHLog::log(bool asynchronous, const PUSHLogMessagePtr& message) {
    queueLogMessage(message, asynchronous);
}

void PUSHLog::flushLog() {
    if (mayNotWait()) {
        asyncOnLoggingQueue([] { ltFlush(registry()); });
        return;
    }
    syncOnLoggingQueue([] { ltFlush(registry()); });
}

void PUSHLog::registerClass(const std::string& className, std::function<uint32_t()> ddLogLevel,
                            std::function<void(uint32_t)> ddSetLogLevel) {
    if (className.empty() || !ddLogLevel || !ddSetLogLevel) return;
    Registry& r = registry();
    std::lock_guard lock(r.classMutex);
    for (auto& [name, ops] : r.classes) {
        if (name == className) {
            ops = {std::move(ddLogLevel), std::move(ddSetLogLevel)};
            return;
        }
    }
    r.classes.push_back({className, {std::move(ddLogLevel), std::move(ddSetLogLevel)}});
}

bool PUSHLog::isRegisteredClass(const std::string& className) {
    Registry& r = registry();
    std::lock_guard lock(r.classMutex);
    return std::any_of(r.classes.begin(), r.classes.end(),
                       [&](const auto& c) { return c.first == className; });
}

std::vector<std::string> PUSHLog::registeredClassNames() {
    Registry& r = registry();
    std::lock_guard lock(r.classMutex);
    std::vector<std::string> names;
    for (const auto& c : r.classes) names.push_back(c.first);
    return names;
}

uint32_t PUSHLog::levelForClass(const std::string& className) {
    Registry& r = registry();
    std::function<uint32_t()> get;
    {
        std::lock_guard lock(r.classMutex);
        for (const auto& c : r.classes) {
            if (c.first == className) get = c.second.get;
        }
    }
    return get ? get() : PUSHLogLevelAll;
}

void PUSHLog::setLevel(uint32_t level, const std::string& className) {
    Registry& r = registry();
    std::function<void(uint32_t)> set;
    {
        std::lock_guard lock(r.classMutex);
        for (const auto& c : r.classes) {
            if (c.first == className) set = c.second.set;
        }
    }
    if (set) set(level);
}

bool PUSHLog::isOnLoggingQueue() {
    return DispatchQueue::getSpecific(&kLoggingQueueKey) != nullptr;
}
bool PUSHLog::isOnAnyLoggerQueue() {
    return DispatchQueue::getSpecific(&kLoggerQueueKey) != nullptr;
}
void PUSHLog::markLoggerQueue(const DispatchQueuePtr& queue) {
    if (!queue) return;
    queue->setSpecific(&kLoggerQueueKey, &kLoggerQueueKey);
    queue->setSpecific(&kRegistryQueueKey, &kRegistryQueueKey);
}

PUSHLogAdmissionStats PUSHLog::admissionStats() {
    return registry().admission.stats();
}

unsigned PUSHLog::processorCount() {
    return registry().processors.load();
}
void PUSHLog::setProcessorCount(unsigned count) {
    registry().processors = std::max(1u, count);
}
