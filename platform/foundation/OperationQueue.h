// NSOperationQueue for blocks, on top of dispatch queues. Operations start in the order they were added, at
// most `maxConcurrentOperationCount` at a time (1 makes the queue serial, FIFO); the main queue runs its
// operations one at a time on the main thread, through the main dispatch queue.
//
// Threading: every method may be called from any thread. Waiting for the main queue from the main thread runs
// the main run loop meanwhile instead of deadlocking.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

inline constexpr long NSOperationQueueDefaultMaxConcurrentOperationCount = -1;

class NSOperationQueue : public std::enable_shared_from_this<NSOperationQueue> {
  public:
    static std::shared_ptr<NSOperationQueue> create();
    static std::shared_ptr<NSOperationQueue> mainQueue();
    // The queue whose operation runs on this thread; the main queue on the main thread outside any other
    // dispatch queue; otherwise nullptr.
    static std::shared_ptr<NSOperationQueue> currentQueue();

    ~NSOperationQueue();
    NSOperationQueue(const NSOperationQueue&) = delete;
    NSOperationQueue& operator=(const NSOperationQueue&) = delete;

    // -1 (the default) leaves the number to the system.
    void setMaxConcurrentOperationCount(long count);
    long maxConcurrentOperationCount() const;

    void addOperationWithBlock(std::function<void()> block);
    // Operations waiting or running.
    size_t operationCount() const;
    // Waits (real time; negative waits forever) until no operation is waiting or running. False on timeout.
    bool waitUntilAllOperationsAreFinished(double timeoutSeconds = -1);
    // Drops the operations that have not started; running ones finish.
    void cancelAllOperations();
    // A suspended queue starts no operations; those running finish.
    void setSuspended(bool suspended);
    bool isSuspended() const;

    void setName(std::string name);
    std::string name() const;

    struct Impl;

  private:
    NSOperationQueue();
    void startReady();
    void runOperations(std::function<void()> block);
    std::unique_ptr<Impl> impl_;
};
