#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/Lock.h"
#include "platform/foundation/OperationQueue.h"
#include "platform/foundation/RunLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

TEST(NSOperationQueueTest, WidthOneRunsInOrderOneAtATimeAndKnowsItsQueue) {
    auto queue = NSOperationQueue::create();
    queue->setMaxConcurrentOperationCount(1);
    queue->setName("com.quorvane.test.ops");
    EXPECT_EQ(queue->name(), "com.quorvane.test.ops");
    std::vector<int> order;
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false}, wrongQueue{false};
    for (int i = 0; i < 200; ++i) {
        queue->addOperationWithBlock([&, i] {
            if (++running > 1) overlapped = true;
            if (NSOperationQueue::currentQueue() != queue) wrongQueue = true;
            order.push_back(i);
            --running;
        });
    }
    ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(10));
    EXPECT_EQ(queue->operationCount(), 0u);
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i) ASSERT_EQ(order[i], i);
    EXPECT_FALSE(overlapped.load());
    EXPECT_FALSE(wrongQueue.load());
}

TEST(NSOperationQueueTest, RespectsTheConcurrencyLimit) {
    auto queue = NSOperationQueue::create();
    queue->setMaxConcurrentOperationCount(2);
    std::atomic<int> running{0}, most{0}, done{0};
    for (int i = 0; i < 40; ++i) {
        queue->addOperationWithBlock([&] {
            int now = ++running;
            for (int seen = most; now > seen && !most.compare_exchange_weak(seen, now);) {
            }
            std::this_thread::yield();
            --running;
            ++done;
        });
    }
    ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(10));
    EXPECT_EQ(done.load(), 40);
    EXPECT_LE(most.load(), 2);
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
    EXPECT_EQ(main->name(), "NSOperationQueue Main Queue");
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
    lock.setName("com.quorvane.test.lock");
    EXPECT_EQ(lock.name(), "com.quorvane.test.lock");
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

}  // namespace
