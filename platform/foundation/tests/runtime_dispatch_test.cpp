#include "platform/foundation/Clock.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/RuntimeInternal.h"

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

// Pool statistics settle once every worker has parked or left; bounded, for a loaded machine.
runtime_internal::WorkerPoolStatistics settledPool() {
    eventually(
        [] {
            auto stats = runtime_internal::workerPoolStatistics();
            return stats.idle == stats.live;
        },
        60);
    return runtime_internal::workerPoolStatistics();
}

TEST(DispatchWorkers, IdleQueuesHoldNoThreadsOnceTheLingerPasses) {
    const int before = threadCount();
    ManualClock clock;
    std::vector<std::shared_ptr<DispatchQueue>> queues;
    auto group = DispatchGroup::create();
    for (int i = 0; i < 1000; ++i) {
        queues.push_back(i % 10 == 0 ? DispatchQueue::concurrent("com.quorvane.test.idle")
                                     : DispatchQueue::serial("com.quorvane.test.idle"));
        group->async(queues.back(), [] {});
    }
    ASSERT_TRUE(group->wait(60));
    EXPECT_GT(settledPool().live, 0u) << "workers linger";
    clock.advance(runtime_internal::kWorkerLingerSeconds - 0.5);
    EXPECT_GT(settledPool().live, 0u) << "left before the linger had passed";
    clock.advance(0.5);
    EXPECT_TRUE(eventually([] { return runtime_internal::workerPoolStatistics().live == 0; }, 60))
        << runtime_internal::workerPoolStatistics().live << " workers with every queue idle";
    EXPECT_TRUE(eventually([&] { return threadCount() <= before; }, 60)) << threadCount() << " vs " << before;
}

TEST(DispatchWorkers, HopsOntoAnIdleQueueStartNoThread) {
    ManualClock clock;  // no linger runs out between hops, however slow the machine
    auto queue = DispatchQueue::serial("com.quorvane.test.hop");
    auto back = DispatchSemaphore::create(0);
    auto hops = [&](int n) {
        for (int i = 0; i < n; ++i) {
            queue->async([&] { back->signal(); });
            ASSERT_TRUE(back->wait(60));
        }
    };
    hops(5);
    const uint64_t starts = runtime_internal::workerPoolStatistics().threadStarts;
    hops(300);
    EXPECT_EQ(runtime_internal::workerPoolStatistics().threadStarts, starts);
}

TEST(DispatchWorkers, BlockedBlocksNeverStarveTheQueueThatReleasesThem) {
    // More blocked blocks than any machine has cores, on one concurrent queue (side by side) and on serial
    // queues, plus a sync stuck behind a blocked queue; only a block queued after all of them releases them.
    constexpr int kBlocked = 48;
    auto gate = DispatchSemaphore::create(0);
    auto group = DispatchGroup::create();
    auto wide = DispatchQueue::concurrent("com.quorvane.test.wide");
    auto busy = DispatchQueue::serial("com.quorvane.test.busy");
    std::atomic<int> released{0};
    auto blocked = [&] {
        if (gate->wait(30)) ++released;
    };
    for (int i = 0; i < kBlocked; ++i)
        group->async(i % 2 ? wide : DispatchQueue::serial("com.quorvane.test.s"), blocked);
    group->async(busy, blocked);
    group->async(DispatchQueue::serial("com.quorvane.test.syncer"), [&] { busy->sync([&] { ++released; }); });
    group->async(DispatchQueue::serial("com.quorvane.test.releaser"), [&] {
        for (int i = 0; i <= kBlocked; ++i) gate->signal();
    });
    ASSERT_TRUE(group->wait(60));
    EXPECT_EQ(released.load(), kBlocked + 2);
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
