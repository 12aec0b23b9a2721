#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/RunLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/foundation/tests/test_support.h"

namespace {

using foundation_test::eventually;
using foundation_test::Overlap;
using foundation_test::threadCount;

TEST(DispatchSerialQueue, KeepsEachSendersOrderAndRunsOneBlockAtATime) {
    auto queue = DispatchQueue::serial("com.quorvane.test.serial");
    constexpr int kThreads = 8, kBlocks = 200;
    std::vector<std::vector<int>> seen(kThreads);
    Overlap overlap;
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&, t] {
            for (int i = 0; i < kBlocks; ++i) {
                queue->async([&, t, i] {
                    overlap.enter();
                    seen[t].push_back(i);
                    overlap.leave();
                });
            }
        });
    }
    for (auto& s : senders) s.join();
    queue->sync([] {});  // everything queued before has run
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(seen[t].size(), size_t(kBlocks));
        for (int i = 0; i < kBlocks; ++i) ASSERT_EQ(seen[t][i], i);
    }
    EXPECT_EQ(overlap.most.load(), 1);
}

TEST(DispatchConcurrentQueue, RunsBlocksSideBySide) {
    auto queue = DispatchQueue::concurrent("com.quorvane.test.concurrent");
    auto first = DispatchSemaphore::create(0), second = DispatchSemaphore::create(0);
    auto group = DispatchGroup::create();
    std::atomic<int> met{0};
    // Each block waits for the other: only possible when both run at once.
    group->async(queue, [&] {
        first->signal();
        if (second->wait(5)) ++met;
    });
    group->async(queue, [&] {
        second->signal();
        if (first->wait(5)) ++met;
    });
    ASSERT_TRUE(group->wait(10));
    EXPECT_EQ(met.load(), 2);
}

TEST(DispatchConcurrentQueue, BarrierRunsAloneBetweenEarlierAndLaterBlocks) {
    auto queue = DispatchQueue::concurrent("com.quorvane.test.barrier");
    constexpr int kBefore = 50, kAfter = 50;
    std::atomic<int> before{0}, after{0}, running{0};
    std::atomic<bool> barrierRan{false}, barrierSawOthers{false}, laterRanEarly{false};
    auto group = DispatchGroup::create();
    for (int i = 0; i < kBefore; ++i) {
        group->async(queue, [&] {
            ++running;
            std::this_thread::yield();
            ++before;
            --running;
        });
    }
    group->enter();
    queue->barrierAsync([&] {
        if (running.load() != 0 || before.load() != kBefore) barrierSawOthers = true;
        barrierRan = true;
        group->leave();
    });
    for (int i = 0; i < kAfter; ++i) {
        group->async(queue, [&] {
            if (!barrierRan) laterRanEarly = true;
            ++after;
        });
    }
    ASSERT_TRUE(group->wait(10));
    EXPECT_TRUE(barrierRan);
    EXPECT_FALSE(barrierSawOthers);
    EXPECT_FALSE(laterRanEarly);
    EXPECT_EQ(after.load(), kAfter);

    // A barrier sync from outside waits for running blocks and returns after its own block.
    std::atomic<bool> slowDone{false};
    queue->async([&] {
        std::this_thread::yield();
        slowDone = true;
    });
    bool sawSlowDone = false;
    queue->barrierSync([&] { sawSlowDone = slowDone; });
    EXPECT_TRUE(sawSlowDone);
}

TEST(DispatchSync, OntoTheCurrentQueueRunsInlineIncludingNestedChains) {
    auto a = DispatchQueue::serial("com.quorvane.test.a");
    auto b = DispatchQueue::serial("com.quorvane.test.b");
    std::vector<std::string> path;
    a->sync([&] {
        path.push_back(DispatchQueue::currentLabel());
        a->sync([&] { path.push_back("a-again"); });
        b->sync([&] {
            path.push_back(DispatchQueue::currentLabel());
            EXPECT_TRUE(a->isCurrent());
            EXPECT_TRUE(b->isCurrent());
            a->sync([&] { path.push_back(DispatchQueue::currentLabel()); });
        });
        EXPECT_FALSE(b->isCurrent());
    });
    EXPECT_EQ(path, (std::vector<std::string>{"com.quorvane.test.a", "a-again", "com.quorvane.test.b",
                                              "com.quorvane.test.a"}));

    // The same chain started from a's worker thread.
    auto group = DispatchGroup::create();
    std::atomic<bool> innermost{false};
    group->async(a, [&] { b->sync([&] { a->sync([&] { innermost = true; }); }); });
    ASSERT_TRUE(group->wait(5)) << "nested sync deadlocked";
    EXPECT_TRUE(innermost.load());

    // Sync from another thread waits for the blocks queued before it.
    std::vector<int> order;
    a->async([&] { order.push_back(1); });
    a->async([&] { order.push_back(2); });
    std::thread other([&] { a->sync([&] { order.push_back(3); }); });
    other.join();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(DispatchQueueIdentity, LabelsSpecificsAndCurrentQueue) {
    static int keyA, keyB, shared;
    int valueA = 1, valueB = 2, sharedA = 3, sharedB = 4;
    auto a = DispatchQueue::serial("com.quorvane.test.specific-a");
    auto b = DispatchQueue::concurrent("com.quorvane.test.specific-b");
    a->setSpecific(&keyA, &valueA);
    a->setSpecific(&shared, &sharedA);
    b->setSpecific(&keyB, &valueB);
    b->setSpecific(&shared, &sharedB);
    EXPECT_EQ(a->getSpecificOnQueue(&keyA), &valueA);
    EXPECT_EQ(a->getSpecificOnQueue(&keyB), nullptr);

    a->sync([&] {
        EXPECT_EQ(DispatchQueue::getSpecific(&keyA), &valueA);
        EXPECT_EQ(DispatchQueue::getSpecific(&keyB), nullptr);
        b->sync([&] {
            EXPECT_EQ(DispatchQueue::getSpecific(&keyB), &valueB);
            EXPECT_EQ(DispatchQueue::getSpecific(&keyA), &valueA);
            EXPECT_EQ(DispatchQueue::getSpecific(&shared), &sharedB);  // innermost first
            EXPECT_EQ(DispatchQueue::current(), b);
        });
    });

    // The test body runs on the main thread, which is the main queue's.
    EXPECT_TRUE(NSRunLoop::isMainThread());
    EXPECT_EQ(DispatchQueue::currentLabel(), "com.apple.main-thread");
    EXPECT_EQ(DispatchQueue::current(), DispatchQueue::main());
    EXPECT_TRUE(DispatchQueue::main()->isCurrent());
}

TEST(DispatchWorkers, IdleQueuesHoldNoThreads) {
    const int before = threadCount();
    std::vector<std::shared_ptr<DispatchQueue>> queues;
    std::atomic<int> ran{0};
    for (int i = 0; i < 1000; ++i) {
        queues.push_back(i % 10 == 0 ? DispatchQueue::concurrent("com.quorvane.test.idle")
                                     : DispatchQueue::serial("com.quorvane.test.idle"));
        queues.back()->async([&] { ++ran; });
    }
    ASSERT_TRUE(eventually([&] { return ran.load() == 1000; }));
    EXPECT_TRUE(eventually([&] { return threadCount() <= before; }))
        << threadCount() << " threads with every queue idle, " << before << " before";

    // A busy queue does hold a worker while it works.
    const int idle = threadCount();
    auto gate = DispatchSemaphore::create(0);
    auto done = DispatchSemaphore::create(0);
    queues[1]->async([&] {
        gate->wait(5);
        done->signal();
    });
    EXPECT_TRUE(eventually([&] { return threadCount() > idle; }));
    gate->signal();
    ASSERT_TRUE(done->wait(5));
    EXPECT_TRUE(eventually([&] { return threadCount() <= idle; }));
}

TEST(DispatchWorkers, ThrowingBlockLeavesTheQueueWorking) {
    auto queue = DispatchQueue::serial("com.quorvane.test.throws");
    std::atomic<bool> later{false};
    queue->async([] { throw std::runtime_error("boom"); });
    queue->async([&] { later = true; });
    queue->sync([] { throw 42; });
    queue->sync([] {});
    EXPECT_TRUE(later.load());
}

TEST(DispatchMainQueue, RunsOnTheMainThreadWhenTheLoopRuns) {
    auto main = DispatchQueue::main();
    std::atomic<bool> asyncRan{false}, syncReturned{false};
    bool asyncOnMain = false, syncOnMain = false;
    std::thread sender([&] {
        main->async([&] {
            asyncOnMain = NSRunLoop::isMainThread() && DispatchQueue::main()->isCurrent();
            asyncRan = true;
        });
        main->sync([&] { syncOnMain = NSRunLoop::isMainThread(); });
        syncReturned = true;
    });
    EXPECT_TRUE(NSRunLoop::main().runUntil([&] { return asyncRan && syncReturned; }, 5));
    sender.join();
    EXPECT_TRUE(asyncOnMain);
    EXPECT_TRUE(syncOnMain);

    bool inline_ = false;
    main->sync([&] { inline_ = true; });  // on the main thread: inline, not a deadlock
    EXPECT_TRUE(inline_);
}

TEST(DispatchGroupTest, WaitAndNotify) {
    auto group = DispatchGroup::create();
    auto notified = DispatchSemaphore::create(0);
    std::atomic<int> ran{0};
    std::atomic<int> ranAtNotify{-1};
    for (int i = 0; i < 20; ++i) group->async(DispatchQueue::global(), [&] { ++ran; });
    group->notify(DispatchQueue::serial("com.quorvane.test.notify"), [&] {
        ranAtNotify = ran.load();
        notified->signal();
    });
    EXPECT_TRUE(group->wait(5));
    ASSERT_TRUE(notified->wait(5));
    EXPECT_EQ(ranAtNotify.load(), 20);

    // Notify on an empty group runs straight away; a block that throws still leaves the group.
    group->notify(DispatchQueue::global(), [&] { notified->signal(); });
    EXPECT_TRUE(notified->wait(5));
    group->async(DispatchQueue::global(), [] { throw std::runtime_error("boom"); });
    EXPECT_TRUE(group->wait(5));
}

}  // namespace
