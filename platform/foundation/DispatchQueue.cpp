// Threading: one process-wide pool of worker threads runs every serial and concurrent queue. A queue is a
// `WorkQueue` of some width (1 for serial) that owns its pending items under its own mutex; when an item may
// start and the queue has fewer drains under way than it could use, it asks the pool for one more. A drain
// takes items while one may start and ends as soon as none may. The pool never makes a drain wait for a
// thread: a worker spinning idle takes it through a lock-free slot; else it is pending, and unless enough
// workers will look at the pending drains without waiting (ones returning from a drain, ones already woken),
// a parked worker is woken or a new thread started, so a block that waits on a semaphore or a sync cannot
// starve the queue that would release it. Whichever worker looks first takes a pending drain: a worker that
// queued it from its own block and is done before the woken one runs takes it itself, in queue order as
// always. (It is never left to that worker alone: its block may go on to wait for the very work it queued.)
// Only a job or block that says it will return without waiting (`workerWillReturn`: an I/O loop after its
// last pass, a response's processing once it has queued the completion) keeps what it queues from then on:
// no other worker is woken for it, nor handed it while spinning. Should its worker run another block or
// wait first, it gives that up and another worker is woken.
// A worker with nothing to do spins a few microseconds while CPUs are idle, then parks (the most recently
// parked is woken first, so the others can run out their linger) and leaves after
// `kIdleWorkerLingerSeconds` of clock time.
//
// A sync call queues a waiter item; when the waiter reaches the head, a drain (or the fast path, when the
// queue is free) hands the slot to the caller, which runs the block on its own thread. The main queue posts
// to the main run loop instead.
//
// Lock order: a queue's mutex, then the pool's, then the clock's. A hop onto a spinning worker takes only
// the queue's.
//
// Fork: a child has one thread, the one that called fork. Before the fork every queue's lock, the pool's
// and the clock's are taken (in lock order), so the child finds the state whole; in the child the pool
// forgets the parent's workers, and each queue forgets the drains and sync callers of threads that are gone
// and keeps only what the forking thread itself holds. Blocks queued and not started are the child's as
// much as the parent's: they run in both (in the child from the queue's next call on).
#include "platform/foundation/DispatchQueue.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <limits>
#include <new>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "platform/foundation/Clock.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/RuntimeInternal.h"

namespace {

// Width of concurrent queues. Drains exist only while there is work, so a wide queue costs nothing idle; the
// width keeps blocks that wait on each other from starving.
constexpr int kConcurrentWidth = 64;

thread_local std::vector<DispatchQueue*> currentQueues;

// What the calling thread holds of the queues, for a forked child to keep: the slots of blocks it runs
// (barrier or not), and the drain it runs on a worker.
struct HeldSlot {
    const DispatchQueue* queue;
    bool barrier;
};
thread_local std::vector<HeldSlot> heldSlots;
thread_local const DispatchQueue* drainingQueue = nullptr;

struct HeldSlotScope {
    HeldSlotScope(const DispatchQueue* queue, bool barrier) { heldSlots.push_back({queue, barrier}); }
    ~HeldSlotScope() { heldSlots.pop_back(); }
    HeldSlotScope(const HeldSlotScope&) = delete;
    HeldSlotScope& operator=(const HeldSlotScope&) = delete;
};

struct CurrentQueueScope {
    explicit CurrentQueueScope(DispatchQueue* queue) { currentQueues.push_back(queue); }
    ~CurrentQueueScope() { currentQueues.pop_back(); }
    CurrentQueueScope(const CurrentQueueScope&) = delete;
    CurrentQueueScope& operator=(const CurrentQueueScope&) = delete;
};

void runOn(DispatchQueue* queue, const std::function<void()>& block) {
    CurrentQueueScope scope(queue);
    runtime_internal::runGuarded(block, queue->label().c_str());
}

// ---- Worker pool

// Whether an idle worker may spin: only while fewer than a few spin, the machine's runnable threads (read
// from /proc/loadavg at most every few milliseconds) leave a CPU free, and recent spins paid. On a busy
// machine the CPU a spinner holds is one another thread needs, so there workers park at once. Where jobs
// come further apart than a spin lasts (a request's callbacks, a few hundred microseconds apart), spinning
// only burns a CPU that, on a virtual machine, the threads doing the work may be waiting for: a spin that
// ends in parking costs credit, one that gets a job earns several, and without credit a worker spins only
// now and then, to notice when spins would pay again.
class SpinGate {
  public:
    static constexpr int kMaxSpinners = 2;
    static constexpr auto kSpinFor = std::chrono::microseconds(20);

    bool maySpin() {
        if (!cpusIdle()) return false;
        if (credit_.load(std::memory_order_relaxed) > 0) return true;
        return probes_.fetch_add(1, std::memory_order_relaxed) % kProbeEvery == 0;
    }

    // How a spin ended. Updates race harmlessly: the credit is a rough measure.
    void spun(bool gotJob) {
        const int credit = credit_.load(std::memory_order_relaxed);
        credit_.store(gotJob ? std::min(credit + kCreditPerHit, kMaxCredit) : std::max(credit - 1, 0),
                      std::memory_order_relaxed);
    }

  private:
    static constexpr int kCreditPerHit = 4;  // spins pay while at least one in five gets a job
    static constexpr int kMaxCredit = 64;
    static constexpr unsigned kProbeEvery = 16;

    bool cpusIdle() {
        const int64_t now = std::chrono::steady_clock::now().time_since_epoch().count();
        int64_t readAt = readAt_.load(std::memory_order_relaxed);
        if (now - readAt > kReadEvery.count() && readAt_.compare_exchange_strong(readAt, now)) {
            idle_.store(runnableThreads() < cpuCount_, std::memory_order_relaxed);
        }
        return idle_.load(std::memory_order_relaxed);
    }

  private:
    static constexpr auto kReadEvery =
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::milliseconds(5));

    // Runnable threads besides the caller; the CPU count when it cannot be read (no spinning then).
    int runnableThreads() const {
        FILE* file = std::fopen("/proc/loadavg", "re");
        if (!file) return cpuCount_;
        int running = 0;
        const bool read = std::fscanf(file, "%*f %*f %*f %d/", &running) == 1;
        std::fclose(file);
        return read ? running - 1 : cpuCount_;
    }

    const int cpuCount_ = int(std::max(1u, std::thread::hardware_concurrency()));
    std::atomic<int64_t> readAt_{std::numeric_limits<int64_t>::min() / 2};
    std::atomic<bool> idle_{false};
    std::atomic<int> credit_{kMaxCredit};
    std::atomic<unsigned> probes_{0};
};

class WorkerPool {
  public:
    static WorkerPool& shared() {
        static auto* pool = new WorkerPool;  // parked workers use it until exit
        return *pool;
    }

    // Runs `job` on a worker at once. A spinning worker takes it without a lock; else it joins the pending
    // jobs, and unless enough workers will look at them without waiting (finishing or already woken ones),
    // a parked worker is woken or a new thread started. Whichever worker looks first takes the job: one
    // that queued it from its own block and is done before the woken one runs takes it itself. A worker
    // that has said it is finishing keeps what it queues: it is about to look, and its caches are warm.
    void submit(std::function<void()> job) {
        if (!isLooker && handToSpinner(job)) return;
        std::shared_ptr<Worker> worker;
        {
            std::lock_guard lock(mutex_);
            if (!isLooker && handToSpinner(job)) return;  // one that started spinning since
            pending_.push_back(std::move(job));
            pendingCount_.store(pending_.size(), std::memory_order_release);
            if (pending_.size() <= lookers_) return;
            worker = addLooker();
        }
        wakeOrStart(std::move(worker));
    }

    // Called by a job on its worker once it will return without waiting for anything: work submitted from
    // then on may wait for this worker rather than wake another.
    void finishing() {
        if (!isWorker) return;
        std::lock_guard lock(mutex_);
        if (!isLooker) ++lookers_;
        isLooker = true;
    }

    // Called when a worker that said it would return goes on after all (runs another block, or waits): it
    // stops counting as about to look, and a job left for it goes to another worker.
    void busyAgain() {
        if (!isLooker) return;
        std::shared_ptr<Worker> worker;
        {
            std::lock_guard lock(mutex_);
            isLooker = false;
            --lookers_;
            if (pending_.size() <= lookers_) return;
            worker = addLooker();
        }
        wakeOrStart(std::move(worker));
    }

    runtime_internal::WorkerPoolStatistics statistics() {
        std::lock_guard lock(mutex_);
        return {threadStarts_, live_, idle_.size(), spinHits_.load(), spinMisses_.load()};
    }

    void lockForFork() { mutex_.lock(); }
    void unlockAfterFork() { mutex_.unlock(); }
    // In a forked child: only the forking thread is left, and it is a worker or not.
    void resetInForkChild() {
        new (&mutex_) std::mutex;
        // The parent's parked workers wait on their condition variables, which cannot be destroyed here;
        // the pending jobs were drains that each queue forgets below.
        new std::vector<std::shared_ptr<Worker>>(std::move(idle_));
        new std::deque<std::function<void()>>(std::move(pending_));
        idle_.clear();
        pending_.clear();
        pendingCount_.store(0);
        for (auto& slot : spinners_) slot.store(nullptr);
        lookers_ = isLooker ? 1 : 0;
        live_ = isWorker ? 1 : 0;
    }

  private:
    // Workers enter and leave the spinner slots under the mutex, so a submitter that finds none there and
    // then takes the mutex finds the worker looking at the pending jobs, spinning or parked.
    bool handToSpinner(std::function<void()>& job) {
        for (auto& slot : spinners_) {
            if (Worker* spinner = slot.exchange(nullptr, std::memory_order_acquire)) {
                spinner->job = std::move(job);
                spinner->handedOff.store(true, std::memory_order_release);
                return true;
            }
        }
        return false;
    }

    struct Worker {
        std::condition_variable wake;
        bool woken = false;         // under the pool's mutex: taken off the idle list by `submit`
        std::function<void()> job;  // set by `submit` for a spinner that it claimed
        std::atomic<bool> handedOff{false};
    };

    // Mutex held. Counts one more looker for a pending job: a parked worker, returned to be woken, or a new
    // thread (none returned) that the caller starts once it has let go of the mutex.
    std::shared_ptr<Worker> addLooker() {
        ++lookers_;
        if (idle_.empty()) {
            ++live_;
            ++threadStarts_;
            return nullptr;
        }
        auto worker = std::move(idle_.back());  // the most recently parked: the others may linger out
        idle_.pop_back();
        worker->woken = true;
        return worker;
    }

    void wakeOrStart(std::shared_ptr<Worker> worker) {
        if (worker) {
            worker->wake.notify_one();
            return;
        }
        std::thread([this] { workerMain(); }).detach();
    }

    // A thread starts as a looker: `submit` counted it for a pending job.
    void workerMain() {
        isWorker = true;
        isLooker = true;
        auto self = std::make_shared<Worker>();
        std::function<void()> job;
        for (;;) {
            if (job) {
                job();
                job = nullptr;  // captures die outside the lock
            }
            const bool maySpin = spinGate_.maySpin();  // outside the lock: it may read a file
            std::unique_lock lock(mutex_);
            if (takePending(job)) continue;
            if (maySpin && spin(lock, *self, job)) continue;
            if (!park(lock, self)) {
                --live_;
                return;
            }
            isLooker = true;  // `submit` counted us when it woke us
            takePending(job);
        }
    }

    // Mutex held. The caller looks at the pending jobs (and stops being counted as about to), taking one.
    bool takePending(std::function<void()>& job) {
        if (std::exchange(isLooker, false)) --lookers_;
        if (pending_.empty()) return false;
        job = std::move(pending_.front());
        pending_.pop_front();
        pendingCount_.store(pending_.size(), std::memory_order_release);
        return true;
    }

    // Mutex held on entry and on a false return, not held on a true one. While CPUs are idle, waits a few
    // microseconds for a job before parking: a hop then costs no wake-up. True with `job` set when one came.
    bool spin(std::unique_lock<std::mutex>& lock, Worker& self, std::function<void()>& job) {
        std::atomic<Worker*>* slot = nullptr;
        for (auto& candidate : spinners_) {
            Worker* empty = nullptr;
            if (candidate.compare_exchange_strong(empty, &self, std::memory_order_acq_rel)) {
                slot = &candidate;
                break;
            }
        }
        if (!slot) return false;
        lock.unlock();
        const auto until = std::chrono::steady_clock::now() + SpinGate::kSpinFor;
        while (!self.handedOff.load(std::memory_order_acquire) &&
               pendingCount_.load(std::memory_order_acquire) == 0 &&
               std::chrono::steady_clock::now() < until) {
            pause();
        }
        lock.lock();
        Worker* me = &self;
        if (slot->compare_exchange_strong(me, nullptr, std::memory_order_acq_rel)) {
            const bool gotJob = takePending(job);  // one may have come to the pending jobs meanwhile
            (gotJob ? spinHits_ : spinMisses_).fetch_add(1, std::memory_order_relaxed);
            spinGate_.spun(gotJob);
            return gotJob;
        }
        // A submitter took us out of the slot: its job is on the way.
        lock.unlock();
        while (!self.handedOff.load(std::memory_order_acquire)) pause();
        self.handedOff.store(false, std::memory_order_relaxed);
        job = std::move(self.job);
        spinHits_.fetch_add(1, std::memory_order_relaxed);
        spinGate_.spun(true);
        return true;
    }

    static void pause() {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#elif defined(__aarch64__)
        asm volatile("yield");
#endif
    }

    // Waits until `submit` wakes us; false once the linger has passed without that (the worker then leaves
    // the idle list). The linger runs on the platform clock: under the manual clock a deadline wakes the
    // worker when time is advanced past it; a clock that reads earlier than the parking time (one was
    // swapped) ends the wait.
    bool park(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Worker>& self) {
        self->woken = false;
        idle_.push_back(self);
        const double parkedAt = Clock::monotonic();
        Clock::DeadlineId deadline = 0;
        for (;;) {
            if (self->woken) break;
            const double now = Clock::monotonic();
            const double left = parkedAt + DispatchQueue::kIdleWorkerLingerSeconds - now;
            if (now < parkedAt || left <= 0) {
                std::erase(idle_, self);
                break;
            }
            if (deadline) Clock::cancelDeadline(deadline);
            deadline = Clock::isManual()
                           ? Clock::scheduleDeadline(parkedAt + DispatchQueue::kIdleWorkerLingerSeconds,
                                                     [this] { wakeParked(); })
                           : 0;
            self->wake.wait_for(lock, std::chrono::duration<double>(left));
        }
        if (deadline) Clock::cancelDeadline(deadline);
        return self->woken;
    }

    void wakeParked() {
        std::lock_guard lock(mutex_);
        for (auto& worker : idle_) worker->wake.notify_one();
    }

    std::mutex mutex_;
    static thread_local bool isLooker;  // counted in `lookers_`
    static thread_local bool isWorker;

    std::vector<std::shared_ptr<Worker>> idle_;
    std::deque<std::function<void()>> pending_;  // never more than there are lookers
    std::atomic<size_t> pendingCount_{0};        // pending_.size(), for spinners
    size_t lookers_ = 0;  // workers that will look at the pending jobs without waiting for anything
    size_t live_ = 0;
    uint64_t threadStarts_ = 0;

    std::atomic<Worker*> spinners_[SpinGate::kMaxSpinners] = {};
    SpinGate spinGate_;
    std::atomic<uint64_t> spinHits_{0};
    std::atomic<uint64_t> spinMisses_{0};
};

thread_local bool WorkerPool::isLooker = false;
thread_local bool WorkerPool::isWorker = false;

class WorkQueue;

// Every work queue, for the fork handlers.
struct QueueRegistry {
    std::mutex mutex;
    std::set<WorkQueue*> queues;
};
QueueRegistry& queueRegistry();

class WorkQueue final : public DispatchQueue {
  public:
    WorkQueue(std::string label, int width) : DispatchQueue(std::move(label), width == 1), width_(width) {
        QueueRegistry& registry = queueRegistry();
        std::lock_guard lock(registry.mutex);
        registry.queues.insert(this);
    }
    ~WorkQueue() override {
        QueueRegistry& registry = queueRegistry();
        std::lock_guard lock(registry.mutex);
        registry.queues.erase(this);
    }

    void lockForFork() { mutex_.lock(); }
    void unlockAfterFork() { mutex_.unlock(); }
    // In a forked child (pool already reset): keeps what the forking thread holds and forgets the drains
    // and sync callers of the threads that are gone. Blocks still queued start with the queue's next call
    // (no thread starts inside fork).
    void resetInForkChild() {
        new (&mutex_) std::mutex;
        new (&turnGiven_) std::condition_variable;
        std::erase_if(items_, [](const Item& item) { return item.waiter != nullptr; });
        running_ = 0;
        barrierRunning_ = false;
        for (const HeldSlot& slot : heldSlots) {
            if (slot.queue != this) continue;
            slot.barrier ? void(barrierRunning_ = true) : void(++running_);
        }
        workers_ = drainingQueue == this ? 1 : 0;
        starting_ = 0;
    }

    void async(std::function<void()> block) override { enqueue(std::move(block), false); }
    void barrierAsync(std::function<void()> block) override { enqueue(std::move(block), width_ > 1); }
    void sync(const std::function<void()>& block) override { runSync(block, false); }
    void barrierSync(const std::function<void()>& block) override { runSync(block, width_ > 1); }

  private:
    struct Waiter {
        bool go = false;
    };
    struct Item {
        std::function<void()> block;
        bool barrier = false;
        std::shared_ptr<Waiter> waiter;  // set for a sync caller waiting for its turn
    };

    // All private helpers below expect mutex_ held.
    bool canStartFront() const {
        if (items_.empty() || barrierRunning_) return false;
        return items_.front().barrier ? running_ == 0 : running_ < width_;
    }
    int startableCount() const {
        if (barrierRunning_) return 0;
        int n = 0;
        for (const Item& item : items_) {
            if (item.barrier) return (n == 0 && running_ == 0) ? 1 : n;
            if (running_ + n >= width_) break;
            ++n;
        }
        return n;
    }
    void take(bool barrier) { barrier ? void(barrierRunning_ = true) : void(++running_); }
    void release(bool barrier) { barrier ? void(barrierRunning_ = false) : void(--running_); }
    // Counts in the drains the items that may start now need; the caller starts them once it has let go of
    // the mutex, so that a woken worker does not find it still held.
    int claimDrains(bool callerIsIdleWorker) {
        int need = startableCount() - starting_ - (callerIsIdleWorker ? 1 : 0);
        int claimed = 0;
        for (; need > 0 && workers_ < width_; --need, ++claimed) {
            ++workers_;
            ++starting_;
        }
        return claimed;
    }
    // Mutex not held.
    void startDrains(int count) {
        for (int i = 0; i < count; ++i) {
            WorkerPool::shared().submit(
                [self = std::static_pointer_cast<WorkQueue>(shared_from_this())] { self->drain(); });
        }
    }

    void enqueue(std::function<void()> block, bool barrier) {
        int drains;
        {
            std::lock_guard lock(mutex_);
            items_.push_back(Item{std::move(block), barrier, nullptr});
            drains = claimDrains(false);
        }
        startDrains(drains);
    }

    // The caller's block goes on after `block`, which is then not its worker's last.
    void runSync(const std::function<void()>& block, bool barrier) {
        workerGoesOn();  // it may wait for its turn
        if (isCurrent()) {
            runOn(this, block);
            workerGoesOn();
            return;
        }
        {
            std::unique_lock lock(mutex_);
            const bool free =
                items_.empty() && !barrierRunning_ && (barrier ? running_ == 0 : running_ < width_);
            if (free) {
                take(barrier);
            } else {
                auto waiter = std::make_shared<Waiter>();
                items_.push_back(Item{nullptr, barrier, waiter});
                const int drains = claimDrains(false);
                lock.unlock();
                startDrains(drains);
                lock.lock();
                turnGiven_.wait(lock, [&] { return waiter->go; });  // the worker has taken the slot for us
            }
        }
        {
            HeldSlotScope held(this, barrier);
            runOn(this, block);
        }
        workerGoesOn();
        int drains;
        {
            std::lock_guard lock(mutex_);
            release(barrier);
            drains = claimDrains(false);
        }
        startDrains(drains);
    }

    // One drain on a pool worker: takes items while one may start.
    void drain() {
        drainingQueue = this;
        std::unique_lock lock(mutex_);
        --starting_;
        while (canStartFront()) {
            Item item = std::move(items_.front());
            items_.pop_front();
            take(item.barrier);
            if (item.waiter) {
                item.waiter->go = true;
                turnGiven_.notify_all();
                continue;
            }
            lock.unlock();
            {
                HeldSlotScope held(this, item.barrier);
                runOn(this, item.block);
            }
            item.block = nullptr;  // captures die outside the lock
            lock.lock();
            release(item.barrier);
            if (const int drains = claimDrains(true)) {
                lock.unlock();
                startDrains(drains);
                lock.lock();
            }
        }
        WorkerPool::shared().finishing();  // before the queue gives up its claim: its next item can come here
        --workers_;
        drainingQueue = nullptr;
    }

    const int width_;
    std::mutex mutex_;
    std::condition_variable turnGiven_;
    std::deque<Item> items_;
    int running_ = 0;  // non-barrier blocks running (sync callers included)
    bool barrierRunning_ = false;
    int workers_ = 0;   // drains under way
    int starting_ = 0;  // drains submitted that have not yet looked at the items
};

void beforeFork() {
    QueueRegistry& registry = queueRegistry();
    registry.mutex.lock();
    for (WorkQueue* queue : registry.queues) queue->lockForFork();
    WorkerPool::shared().lockForFork();
    runtime_internal::clockBeforeFork();
}

void afterForkInParent() {
    runtime_internal::clockAfterForkInParent();
    WorkerPool::shared().unlockAfterFork();
    QueueRegistry& registry = queueRegistry();
    for (WorkQueue* queue : registry.queues) queue->unlockAfterFork();
    registry.mutex.unlock();
}

void afterForkInChild() {
    runtime_internal::clockAfterForkInChild();
    WorkerPool::shared().resetInForkChild();
    QueueRegistry& registry = queueRegistry();
    new (&registry.mutex) std::mutex;
    for (WorkQueue* queue : registry.queues) queue->resetInForkChild();
}

QueueRegistry& queueRegistry() {
    static auto* registry = [] {
        WorkerPool::shared();  // exists before the handlers can run
        pthread_atfork(beforeFork, afterForkInParent, afterForkInChild);
        return new QueueRegistry;  // queues may outlive static destruction
    }();
    return *registry;
}

class MainQueue final : public DispatchQueue {
  public:
    MainQueue() : DispatchQueue("com.apple.main-thread", true) {}

    void async(std::function<void()> block) override {
        NSRunLoop::main().perform([this, block = std::move(block)] { runOn(this, block); });
    }
    void sync(const std::function<void()>& block) override {
        if (NSRunLoop::isMainThread()) {
            runOn(this, block);
            return;
        }
        struct Done {
            std::mutex mutex;
            std::condition_variable cv;
            bool done = false;
        };
        workerGoesOn();
        auto done = std::make_shared<Done>();
        NSRunLoop::main().perform([this, &block, done] {
            runOn(this, block);
            std::lock_guard lock(done->mutex);
            done->done = true;
            done->cv.notify_all();
        });
        std::unique_lock lock(done->mutex);
        done->cv.wait(lock, [&] { return done->done; });
    }
    void barrierAsync(std::function<void()> block) override { async(std::move(block)); }
    void barrierSync(const std::function<void()>& block) override { sync(block); }
};

DispatchQueue* mainQueueObject();

}  // namespace

// ---- DispatchQueue

std::shared_ptr<DispatchQueue> DispatchQueue::serial(std::string label) {
    return std::make_shared<WorkQueue>(std::move(label), 1);
}

std::shared_ptr<DispatchQueue> DispatchQueue::concurrent(std::string label) {
    return std::make_shared<WorkQueue>(std::move(label), kConcurrentWidth);
}

std::shared_ptr<DispatchQueue> DispatchQueue::main() {
    static auto* queue = new std::shared_ptr<DispatchQueue>(std::make_shared<MainQueue>());
    return *queue;
}

namespace {
DispatchQueue* mainQueueObject() {
    static DispatchQueue* queue = DispatchQueue::main().get();
    return queue;
}
}  // namespace

std::shared_ptr<DispatchQueue> DispatchQueue::global(Priority priority) {
    static auto* queues = new std::vector<std::shared_ptr<DispatchQueue>>{
        std::make_shared<WorkQueue>("com.apple.root.high-priority", kConcurrentWidth),
        std::make_shared<WorkQueue>("com.apple.root.default-priority", kConcurrentWidth),
        std::make_shared<WorkQueue>("com.apple.root.low-priority", kConcurrentWidth),
        std::make_shared<WorkQueue>("com.apple.root.background-priority", kConcurrentWidth),
    };
    switch (priority) {
        case Priority::High:
            return (*queues)[0];
        case Priority::Low:
            return (*queues)[2];
        case Priority::Background:
            return (*queues)[3];
        case Priority::Default:
            break;
    }
    return (*queues)[1];
}

void DispatchQueue::after(double seconds, std::function<void()> block) {
    if (!(seconds > 0)) {
        async(std::move(block));
        return;
    }
    auto self = shared_from_this();
    Clock::scheduleDeadline(Clock::monotonic() + seconds,
                            [self, block = std::move(block)]() mutable { self->async(std::move(block)); });
}

void DispatchQueue::setSpecific(const void* key, void* value) {
    std::lock_guard lock(specificsMutex_);
    if (value) {
        specifics_[key] = value;
    } else {
        specifics_.erase(key);
    }
    hasSpecifics_.store(!specifics_.empty(), std::memory_order_release);
}

void* DispatchQueue::getSpecificOnQueue(const void* key) const {
    if (!hasSpecifics_.load(std::memory_order_acquire)) return nullptr;
    std::lock_guard lock(specificsMutex_);
    auto it = specifics_.find(key);
    return it == specifics_.end() ? nullptr : it->second;
}

void* DispatchQueue::getSpecific(const void* key) {
    for (auto it = currentQueues.rbegin(); it != currentQueues.rend(); ++it) {
        if (void* value = (*it)->getSpecificOnQueue(key)) return value;
    }
    return NSRunLoop::isMainThread() ? mainQueueObject()->getSpecificOnQueue(key) : nullptr;
}

void DispatchQueue::runOnWorker(std::function<void()> job) {
    WorkerPool::shared().submit(std::move(job));
}

void DispatchQueue::workerWillReturn() {
    WorkerPool::shared().finishing();
}

void DispatchQueue::workerGoesOn() {
    WorkerPool::shared().busyAgain();
}

std::shared_ptr<DispatchQueue> DispatchQueue::current() {
    if (!currentQueues.empty()) return currentQueues.back()->shared_from_this();
    return NSRunLoop::isMainThread() ? main() : nullptr;
}

std::string DispatchQueue::currentLabel() {
    if (!currentQueues.empty()) return currentQueues.back()->label();
    return NSRunLoop::isMainThread() ? mainQueueObject()->label() : std::string();
}

bool DispatchQueue::isCurrent() const {
    if (this == mainQueueObject()) return NSRunLoop::isMainThread();
    return std::find(currentQueues.begin(), currentQueues.end(), this) != currentQueues.end();
}

// ---- DispatchGroup

namespace {

class Group final : public DispatchGroup, public std::enable_shared_from_this<Group> {
  public:
    void enter() override {
        std::lock_guard lock(mutex_);
        ++count_;
    }
    void leave() override {
        std::vector<std::pair<DispatchQueuePtr, std::function<void()>>> ready;
        {
            std::lock_guard lock(mutex_);
            if (count_ == 0) {
                std::fprintf(stderr, "DispatchGroup: leave without a matching enter; ignored\n");
                return;
            }
            if (--count_ > 0) return;
            ready.swap(notify_);
            empty_.notify_all();  // under the lock: a waiter that returns may destroy the group
        }
        for (auto& [queue, block] : ready) queue->async(std::move(block));
    }
    void notify(const DispatchQueuePtr& queue, std::function<void()> block) override {
        {
            std::lock_guard lock(mutex_);
            if (count_ > 0) {
                notify_.emplace_back(queue, std::move(block));
                return;
            }
        }
        queue->async(std::move(block));
    }
    bool wait(double timeoutSeconds) override {
        DispatchQueue::workerGoesOn();
        std::unique_lock lock(mutex_);
        auto isEmpty = [&] { return count_ == 0; };
        if (timeoutSeconds < 0) {
            empty_.wait(lock, isEmpty);
            return true;
        }
        return empty_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds), isEmpty);
    }

  private:
    std::mutex mutex_;
    std::condition_variable empty_;
    long count_ = 0;
    std::vector<std::pair<DispatchQueuePtr, std::function<void()>>> notify_;
};

class Semaphore final : public DispatchSemaphore {
  public:
    explicit Semaphore(long value) : value_(value) {}
    bool wait(double timeoutSeconds) override {
        DispatchQueue::workerGoesOn();
        std::unique_lock lock(mutex_);
        auto available = [&] { return value_ > 0; };
        if (timeoutSeconds < 0) {
            signalled_.wait(lock, available);
        } else if (!signalled_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds), available)) {
            return false;
        }
        --value_;
        return true;
    }
    void signal() override {
        // Notified under the lock: a waiter that returns may destroy the semaphore at once.
        std::lock_guard lock(mutex_);
        ++value_;
        signalled_.notify_one();
    }

  private:
    std::mutex mutex_;
    std::condition_variable signalled_;
    long value_;
};

}  // namespace

std::shared_ptr<DispatchGroup> DispatchGroup::create() {
    return std::make_shared<Group>();
}

void DispatchGroup::async(const DispatchQueuePtr& queue, std::function<void()> block) {
    auto self = static_cast<Group*>(this)->shared_from_this();
    enter();
    queue->async([self, block = std::move(block)] {
        struct Leave {
            Group& group;
            ~Leave() { group.leave(); }
        } leave{*self};
        block();
    });
}

std::shared_ptr<DispatchSemaphore> DispatchSemaphore::create(long value) {
    return std::make_shared<Semaphore>(value);
}

runtime_internal::WorkerPoolStatistics runtime_internal::workerPoolStatistics() {
    return WorkerPool::shared().statistics();
}
