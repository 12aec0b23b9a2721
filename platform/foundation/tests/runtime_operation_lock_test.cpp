#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/Lock.h"
#include "platform/foundation/OperationQueue.h"
#include "platform/foundation/RunLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/foundation/tests/test_support.h"

namespace {

using foundation_test::Overlap;

TEST(NSOperationQueueTest, RespectsTheConcurrencyLimitAndKnowsItsQueue) {
    for (int width : {1, 2}) {
        SCOPED_TRACE(width);
        auto queue = NSOperationQueue::create();
        queue->setMaxConcurrentOperationCount(width);
        Overlap overlap;
        std::mutex mutex;
        std::vector<int> order;
        std::atomic<bool> wrongQueue{false};
        for (int i = 0; i < 200; ++i) {
            queue->addOperationWithBlock([&, i] {
                overlap.enter();
                if (NSOperationQueue::currentQueue() != queue) wrongQueue = true;
                std::this_thread::yield();
                {
                    std::lock_guard lock(mutex);
                    order.push_back(i);
                }
                overlap.leave();
            });
        }
        ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(10));
        EXPECT_EQ(queue->operationCount(), 0u);
        ASSERT_EQ(order.size(), 200u);
        EXPECT_LE(overlap.most.load(), width);
        EXPECT_FALSE(wrongQueue.load());
        // One at a time means one after another, in the order added.
        if (width == 1) {
            for (int i = 0; i < 200; ++i) ASSERT_EQ(order[i], i);
        }
    }
}

TEST(NSOperationQueueTest, SuspendAndCancelDropWaitingOperations) {
    auto queue = NSOperationQueue::create();
    std::atomic<int> ran{0};
    queue->setSuspended(true);
    for (int i = 0; i < 5; ++i) queue->addOperationWithBlock([&] { ++ran; });
    EXPECT_EQ(queue->operationCount(), 5u);
    EXPECT_FALSE(queue->waitUntilAllOperationsAreFinished(0.02));
    EXPECT_EQ(ran.load(), 0);

    queue->cancelAllOperations();
    EXPECT_EQ(queue->operationCount(), 0u);
    EXPECT_TRUE(queue->waitUntilAllOperationsAreFinished(0));

    queue->addOperationWithBlock([&] { ran += 10; });
    queue->setSuspended(false);
    ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(5));
    EXPECT_EQ(ran.load(), 10);
}

TEST(NSOperationQueueTest, MainQueueRunsOnTheMainThread) {
    auto main = NSOperationQueue::mainQueue();
    EXPECT_EQ(NSOperationQueue::currentQueue(), main);

    std::shared_ptr<NSOperationQueue> fromPlainThread = main;
    bool onMain = false;
    std::shared_ptr<NSOperationQueue> insideMainOperation;
    std::thread sender([&] {
        fromPlainThread = NSOperationQueue::currentQueue();
        main->addOperationWithBlock([&] {
            onMain = NSRunLoop::isMainThread();
            insideMainOperation = NSOperationQueue::currentQueue();
        });
    });
    sender.join();
    EXPECT_EQ(fromPlainThread, nullptr);
    // Waiting for the main queue on the main thread runs the loop instead of deadlocking.
    ASSERT_TRUE(main->waitUntilAllOperationsAreFinished(5));
    EXPECT_TRUE(onMain);
    EXPECT_EQ(insideMainOperation, main);
}

TEST(NSLockTest, ExcludesOtherThreadsAndTimesOut) {
    NSLock lock;
    lock.lock();
    bool tried = true, timed = true;
    std::thread([&] {
        tried = lock.tryLock();
        timed = lock.lockBeforeDate(0.02);
    }).join();
    EXPECT_FALSE(tried);
    EXPECT_FALSE(timed);
    lock.unlock();
    std::thread([&] {
        timed = lock.lockBeforeDate(5);
        if (timed) lock.unlock();
    }).join();
    EXPECT_TRUE(timed);
    { std::lock_guard guard(lock); }
    EXPECT_TRUE(lock.tryLock());
    lock.unlock();
}

TEST(NSLockTest, RecursiveLockNeedsEveryUnlock) {
    NSRecursiveLock lock;
    lock.lock();
    ASSERT_TRUE(lock.tryLock());
    auto otherThreadGetsIt = [&] {
        bool got = false;
        std::thread([&] {
            got = lock.tryLock();
            if (got) lock.unlock();
        }).join();
        return got;
    };
    lock.unlock();
    EXPECT_FALSE(otherThreadGetsIt());
    lock.unlock();
    EXPECT_TRUE(otherThreadGetsIt());
}

TEST(NSLockTest, RecursiveLockIgnoresUnlockFromAnotherThread) {
    NSRecursiveLock lock;
    lock.lock();
    bool got = true;
    std::thread([&] {
        lock.unlock();
        got = lock.tryLock();
    }).join();
    EXPECT_FALSE(got);
    lock.unlock();
    std::thread([&] {
        got = lock.tryLock();
        if (got) lock.unlock();
    }).join();
    EXPECT_TRUE(got);
}

}  // namespace
