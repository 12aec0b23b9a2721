// Dispatch queues of the platform: labelled serial queues, concurrent queues with barriers, the main queue
// (drained by the main run loop), global queues, groups, semaphores, queue-specific values and sources.
//
// Queues own no threads: one process-wide pool of workers runs their blocks, reusing its threads, and a
// worker with nothing to do leaves after an idle linger on the platform clock, so idle queues cost no thread
// and a busy program starts none per block. A queue with work always gets a worker, however many others are
// blocked. A synchronous call onto the queue the caller already runs on (directly or through nested sync
// calls) runs the block inline instead of deadlocking.
//
// Sync calls run the block on the calling thread once it is the block's turn. Each thread keeps a stack of
// the queues whose blocks it runs (a worker's queue, plus every queue entered by sync); a queue on that stack
// is "current", and the main queue is current on the main thread (the process's initial thread). A barrier
// sync onto a concurrent queue the caller already runs on also runs inline. Blocks that throw are reported
// on stderr and dropped.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
  public:
    enum class Priority { High, Default, Low, Background };
    // Seconds of platform-clock time an idle pool worker waits for work before its thread ends. Under the
    // manual clock, idle workers leave only when the clock is advanced past it.
    static constexpr double kIdleWorkerLingerSeconds = 5;

    static std::shared_ptr<DispatchQueue> serial(std::string label);
    static std::shared_ptr<DispatchQueue> concurrent(std::string label);
    // The main queue, labelled "com.apple.main-thread"; its blocks run on the main thread when the main run
    // loop runs (or when tests pump it).
    static std::shared_ptr<DispatchQueue> main();
    // Global concurrent queues labelled "com.apple.root.high-priority", "com.apple.root.default-priority",
    // "com.apple.root.low-priority" and "com.apple.root.background-priority".
    static std::shared_ptr<DispatchQueue> global(Priority priority = Priority::Default);

    virtual ~DispatchQueue() = default;

    const std::string& label() const { return label_; }
    bool isSerial() const { return serial_; }

    virtual void async(std::function<void()> block) = 0;
    virtual void sync(const std::function<void()>& block) = 0;
    // On a concurrent queue, barriers run alone; on a serial queue they are plain async/sync.
    virtual void barrierAsync(std::function<void()> block) = 0;
    virtual void barrierSync(const std::function<void()>& block) = 0;
    // Runs `block` asynchronously once `seconds` of clock time have passed.
    void after(double seconds, std::function<void()> block);

    // Queue-specific values (dispatch_queue_set_specific / dispatch_get_specific). Values are not owned.
    void setSpecific(const void* key, void* value);
    void* getSpecificOnQueue(const void* key) const;
    // The value for `key` of the queue the caller runs on (nullptr when none or not on a queue).
    static void* getSpecific(const void* key);

    // The queue the calling thread runs a block of, or nullptr; and its label ("" when none).
    static std::shared_ptr<DispatchQueue> current();
    static std::string currentLabel();
    // True when the caller runs inside a block of this queue (also through nested sync calls).
    bool isCurrent() const;

    // Runs `job` on one of the pool's workers, outside any queue: for a loop that holds its thread while it
    // has work and waits on something other than the queues (a URL session's I/O loop on its sockets). When
    // the job returns, its worker looks at the queues' pending work before any parked worker could wake, so
    // the blocks the loop queued on its last pass start there at once.
    static void runOnWorker(std::function<void()> job);
    // Called by a `runOnWorker` job, or a block on a queue, that will return without waiting for anything
    // more: what it queues from then on (and one job that others queue meanwhile, such as the next request
    // a completion it queued leads to) is left for its own worker, which takes it on returning, instead of
    // waking another or going to one that spins. Should that worker go on instead (run another block: the
    // queue's next item, a block after the one that said so in a `sync` call; or wait in a `sync` call,
    // on a group, a semaphore or an operation queue), what was left for it goes to another worker. Does
    // nothing off the pool's workers.
    static void workerWillReturn();
    // Called where a worker goes on after a block that may have said it would return: before a job that
    // runs several callers' blocks in a row runs the next (every queue, operation queue and run loop does),
    // and before the platform's waits.
    static void workerGoesOn();

  protected:
    DispatchQueue(std::string label, bool serial) : label_(std::move(label)), serial_(serial) {}

  private:
    std::string label_;
    bool serial_;
    mutable std::mutex specificsMutex_;
    std::map<const void*, void*> specifics_;
    std::atomic<bool> hasSpecifics_{false};  // most queues have none: asking them takes no lock
};
using DispatchQueuePtr = std::shared_ptr<DispatchQueue>;

class DispatchGroup {
  public:
    static std::shared_ptr<DispatchGroup> create();
    virtual ~DispatchGroup() = default;
    virtual void enter() = 0;
    virtual void leave() = 0;
    void async(const DispatchQueuePtr& queue, std::function<void()> block);
    virtual void notify(const DispatchQueuePtr& queue, std::function<void()> block) = 0;
    // Waits until the group is empty; negative timeout waits forever (real time). False on timeout.
    virtual bool wait(double timeoutSeconds = -1) = 0;
};

class DispatchSemaphore {
  public:
    static std::shared_ptr<DispatchSemaphore> create(long value);
    virtual ~DispatchSemaphore() = default;
    // Negative timeout waits forever (real time). False on timeout.
    virtual bool wait(double timeoutSeconds = -1) = 0;
    virtual void signal() = 0;
};

// A timer source on the platform clock: created suspended; `resume` starts it.
class DispatchTimerSource {
  public:
    static std::shared_ptr<DispatchTimerSource> create(DispatchQueuePtr queue);
    virtual ~DispatchTimerSource() = default;
    // First fire after `startDelay` seconds, then every `interval` seconds (interval <= 0: one shot).
    virtual void setTimer(double startDelay, double interval, double leeway = 0) = 0;
    virtual void setEventHandler(std::function<void()> handler) = 0;
    virtual void setCancelHandler(std::function<void()> handler) = 0;
    virtual void resume() = 0;
    virtual void suspend() = 0;
    // After cancel no event handler starts; the cancel handler runs once on the queue.
    virtual void cancel() = 0;
    virtual bool isCancelled() const = 0;
};

// A file-watch source over inotify for an open file: reports deletion (the link count dropped to 0), rename
// and writes, each only when asked for (writes to a file watched for the others wake nobody). Created
// suspended.
class DispatchFileSource {
  public:
    enum Event : unsigned { Delete = 1, Rename = 2, Write = 4 };
    static std::shared_ptr<DispatchFileSource> create(int fd, unsigned eventMask, DispatchQueuePtr queue);
    virtual ~DispatchFileSource() = default;
    // The handler gets the mask of events seen since the last call.
    virtual void setEventHandler(std::function<void(unsigned events)> handler) = 0;
    virtual void setCancelHandler(std::function<void()> handler) = 0;
    virtual void resume() = 0;
    virtual void cancel() = 0;
    // Events seen and not yet handed to the handler: an owner busy on the source's queue can act on them
    // before the handler gets its turn.
    virtual unsigned pendingEvents() const = 0;
};
