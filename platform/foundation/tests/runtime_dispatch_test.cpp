// Dispatch queues, the worker pool behind them, operation queues and locks.
#include "platform/foundation/Clock.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/Lock.h"
#include "platform/foundation/OperationQueue.h"
#include "platform/foundation/Process.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/RuntimeInternal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/foundation/tests/test_support.h"

namespace {

using foundation_test::eventually;
using foundation_test::Overlap;
using foundation_test::threadCount;
using runtime_internal::workerPoolStatistics;

TEST(DispatchSerialQueue, KeepsEachSendersOrderAndRunsOneBlockAtATime) {
    auto queue = DispatchQueue::serial("com.quorvane.test.serial");
    constexpr int kThreads = 8, kBlocks = 200;
    std::vector<std::vector<int>> seen(kThreads);
    Overlap overlap;
    queue->async([] { throw std::runtime_error("boom"); });  // reported and dropped; the queue goes on
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
    queue->sync([] { throw 42; });
    queue->sync([] {});  // everything queued before has run
    for (const auto& sent : seen) EXPECT_TRUE(sent.size() == kBlocks && std::ranges::is_sorted(sent));
    EXPECT_EQ(overlap.most.load(), 1);
}

TEST(DispatchConcurrentQueue, BarrierRunsAloneBetweenEarlierAndLaterBlocks) {
    for (bool sync : {false, true}) {
        SCOPED_TRACE(sync ? "barrierSync" : "barrierAsync");
        auto queue = DispatchQueue::concurrent("com.quorvane.test.barrier");
        std::atomic<int> before{0}, after{0}, running{0};
        std::atomic<bool> barrierRan{false}, barrierSawOthers{false}, laterRanEarly{false};
        auto group = DispatchGroup::create();
        for (int i = 0; i < 50; ++i) {
            group->async(queue, [&] {
                ++running;
                std::this_thread::yield();
                ++before;
                --running;
            });
        }
        auto barrier = [&] {
            barrierSawOthers = running.load() != 0 || before.load() != 50;
            barrierRan = true;
        };
        sync ? queue->barrierSync(barrier) : queue->barrierAsync(barrier);
        for (int i = 0; i < 50; ++i) {
            group->async(queue, [&] {
                if (!barrierRan) laterRanEarly = true;
                ++after;
            });
        }
        ASSERT_TRUE(group->wait(60));
        EXPECT_TRUE(barrierRan && !barrierSawOthers && !laterRanEarly);
        EXPECT_EQ(after.load(), 50);
    }
    // A plain sync from outside waits behind a queued barrier, which waits for the block before it.
    auto queue = DispatchQueue::concurrent("com.quorvane.test.behind-barrier");
    auto gate = DispatchSemaphore::create(0);
    std::atomic<bool> barrierRan{false};
    queue->async([&] { gate->wait(60); });
    queue->barrierAsync([&] { barrierRan = true; });
    DispatchQueue::global()->after(0.02, [gate] { gate->signal(); });  // a wrong sync has time to show
    queue->sync([&] { EXPECT_TRUE(barrierRan.load()); });
}

TEST(DispatchSync, OntoTheCurrentQueueRunsInlineAndNestedQueuesKeepLabelsAndSpecifics) {
    static int keyA, keyB, shared;
    int valueA = 1, valueB = 2, sharedB = 3;
    auto a = DispatchQueue::serial("com.quorvane.test.a");
    auto b = DispatchQueue::concurrent("com.quorvane.test.b");
    a->setSpecific(&keyA, &valueA);
    a->setSpecific(&shared, &valueA);
    b->setSpecific(&keyB, &valueB);
    b->setSpecific(&shared, &sharedB);
    std::vector<std::string> path;
    a->sync([&] {
        path.push_back(DispatchQueue::currentLabel());
        EXPECT_EQ(DispatchQueue::getSpecific(&keyB), nullptr);
        a->sync([&] { path.push_back("a-again"); });
        b->sync([&] {
            path.push_back(DispatchQueue::currentLabel());
            EXPECT_TRUE(a->isCurrent() && b->isCurrent());
            EXPECT_EQ(DispatchQueue::current(), b);
            EXPECT_EQ(DispatchQueue::getSpecific(&keyA), &valueA);
            EXPECT_EQ(DispatchQueue::getSpecific(&shared), &sharedB);  // innermost first
            a->sync([&] { path.push_back(DispatchQueue::currentLabel()); });
        });
        EXPECT_FALSE(b->isCurrent());
    });
    EXPECT_EQ(path, (std::vector<std::string>{"com.quorvane.test.a", "a-again", "com.quorvane.test.b",
                                              "com.quorvane.test.a"}));
    // Removed values are gone, and a queue whose last one went can be given one again.
    b->setSpecific(&shared, nullptr);
    b->setSpecific(&keyB, nullptr);
    a->sync([&] { b->sync([&] { EXPECT_EQ(DispatchQueue::getSpecific(&shared), &valueA); }); });
    EXPECT_EQ(b->getSpecificOnQueue(&keyB), nullptr);
    b->setSpecific(&keyB, &valueB);
    EXPECT_EQ(b->getSpecificOnQueue(&keyB), &valueB);

    // The same chain started from a's worker thread.
    auto group = DispatchGroup::create();
    std::atomic<bool> innermost{false};
    group->async(a, [&] { b->sync([&] { a->sync([&] { innermost = true; }); }); });
    ASSERT_TRUE(group->wait(60)) << "nested sync deadlocked";
    EXPECT_TRUE(innermost.load());

    // The test body runs on the main thread, which is the main queue's.
    EXPECT_EQ(DispatchQueue::currentLabel(), "com.apple.main-thread");
    EXPECT_EQ(DispatchQueue::current(), DispatchQueue::main());
    EXPECT_TRUE(DispatchQueue::main()->isCurrent());
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
    auto settledPool = [] {  // every worker has parked or left
        eventually([] { return workerPoolStatistics().idle == workerPoolStatistics().live; }, 60);
        return workerPoolStatistics();
    };
    EXPECT_GT(settledPool().live, 0u) << "workers linger";
    clock.advance(DispatchQueue::kIdleWorkerLingerSeconds - 0.5);
    EXPECT_GT(settledPool().live, 0u) << "left before the linger had passed";
    clock.advance(0.5);
    EXPECT_TRUE(eventually([] { return workerPoolStatistics().live == 0; }, 60))
        << workerPoolStatistics().live << " workers with every queue idle";
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
    const uint64_t starts = workerPoolStatistics().threadStarts;
    hops(300);
    EXPECT_EQ(workerPoolStatistics().threadStarts, starts);
}

TEST(DispatchWorkers, BlockedBlocksNeverStarveTheQueueThatReleasesThem) {
    // More blocked blocks than any machine has cores, on serial queues and side by side on a concurrent one,
    // plus a sync stuck behind a blocked queue; only a block queued after all of them releases them.
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
    group->async(wide, [&] {
        for (int i = 0; i <= kBlocked; ++i) gate->signal();
    });
    ASSERT_TRUE(group->wait(60));
    EXPECT_EQ(released.load(), kBlocked + 2);
}

TEST(DispatchWorkers, ABlockThatQueuesWorkAndThenWaitsForItGetsItRun) {
    // The worker that queued the inner block would be free to take it only once its own block ends, which
    // here waits for the inner block: another worker must run it.
    auto outer = DispatchQueue::serial("com.quorvane.test.outer");
    auto inner = DispatchQueue::concurrent("com.quorvane.test.inner");
    auto group = DispatchGroup::create();
    std::atomic<int> served{0};
    std::atomic<bool> stuck{false};
    for (int i = 0; i < 200; ++i) {
        group->async(outer, [&] {
            if (stuck) return;
            auto back = DispatchSemaphore::create(0);
            inner->async([back] { back->signal(); });
            back->wait(30) ? void(++served) : void(stuck = true);
        });
    }
    ASSERT_TRUE(group->wait(120));
    EXPECT_FALSE(stuck.load());
    EXPECT_EQ(served.load(), 200);
}

TEST(DispatchWorkers, WorkQueuedAfterSayingTheWorkerWillReturnRunsInOrderOnTheLoopsAndOffThePool) {
    // A loop job on a worker that says it will return keeps what it queues for its worker; blocks queued
    // that way must still all run, in order. Said off the pool (here, the main thread), it must not leave
    // later work waiting for a worker that will never look.
    auto queue = DispatchQueue::serial("com.quorvane.test.returning");
    std::mutex mutex;
    std::vector<int> order;
    auto done = DispatchSemaphore::create(0);
    constexpr int kJobs = 100;
    for (int job = 0; job < kJobs; ++job) {
        DispatchQueue::runOnWorker([&, job] {
            DispatchQueue::workerWillReturn();
            for (int i = 0; i < 3; ++i) {
                queue->async([&, job, i] {
                    std::lock_guard lock(mutex);
                    order.push_back(job * 3 + i);
                });
            }
            queue->async([&] { done->signal(); });
        });
        ASSERT_TRUE(done->wait(30));
    }
    std::vector<int> expected(kJobs * 3);
    for (int i = 0; i < kJobs * 3; ++i) expected[i] = i;
    EXPECT_EQ(order, expected);

    DispatchQueue::workerWillReturn();
    queue->async([&] { done->signal(); });
    EXPECT_TRUE(done->wait(30));
}

TEST(DispatchWorkers, AWorkerThatSaidItWouldReturnButGoesOnLetsOthersTakeWhatWasLeftForIt) {
    // Each case: a block says its worker will return, then that worker goes on with more of the caller's
    // code after all, which queues work and waits for it. Were that work still left for the waiting worker,
    // the wait would time out.
    auto queue = DispatchQueue::serial("com.quorvane.test.saysitreturns");
    auto inner = DispatchQueue::serial("com.quorvane.test.inner");
    auto other = DispatchQueue::concurrent("com.quorvane.test.other");
    auto waitForOther = [&] {
        auto back = DispatchSemaphore::create(0);
        other->async([back] { back->signal(); });
        return back->wait(10);
    };
    for (int round = 0; round < 20; ++round) {
        // The queue's next block, already queued behind the one that said so.
        auto nextQueued = DispatchSemaphore::create(0);
        std::atomic<bool> nextGotIt{false};
        auto done = DispatchSemaphore::create(0);
        queue->async([nextQueued] {
            ASSERT_TRUE(nextQueued->wait(10));
            DispatchQueue::workerWillReturn();
        });
        queue->async([&] {
            nextGotIt = waitForOther();
            done->signal();
        });
        nextQueued->signal();
        ASSERT_TRUE(done->wait(30));
        EXPECT_TRUE(nextGotIt.load()) << "round " << round;

        // A block run through sync says so; the block around it goes on.
        std::atomic<bool> outerGotIt{false};
        queue->async([&] {
            inner->sync([] { DispatchQueue::workerWillReturn(); });
            outerGotIt = waitForOther();
            done->signal();
        });
        ASSERT_TRUE(done->wait(30));
        EXPECT_TRUE(outerGotIt.load()) << "round " << round;

        // The block that said so waits after all.
        std::atomic<bool> waiterGotIt{false};
        queue->async([&] {
            DispatchQueue::workerWillReturn();
            waiterGotIt = waitForOther();
            done->signal();
        });
        ASSERT_TRUE(done->wait(30));
        EXPECT_TRUE(waiterGotIt.load()) << "round " << round;
    }
}

TEST(DispatchWorkers, BlocksHandedToIdleWorkersFromManyThreadsEachRunOnce) {
    constexpr int kSenders = 4;
    static constexpr int kBlocks = 2000;
    std::vector<std::shared_ptr<DispatchQueue>> queues;
    for (int i = 0; i < kSenders; ++i) queues.push_back(DispatchQueue::serial("com.quorvane.test.sender"));
    auto group = DispatchGroup::create();
    std::vector<std::atomic<int>> ran(kSenders * kBlocks);
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            for (int i = 0; i < kBlocks; ++i) {
                group->async(queues[s], [&ran, s, i] { ++ran[s * kBlocks + i]; });
                if (i % 16 == 0) group->wait(30);  // lets the workers go idle now and then
            }
        });
    }
    for (auto& sender : senders) sender.join();
    ASSERT_TRUE(group->wait(60));
    EXPECT_TRUE(std::all_of(ran.begin(), ran.end(), [](const std::atomic<int>& n) { return n == 1; }));
}

TEST(DispatchFork, AChildForkedWithoutExecHasWorkingQueuesGroupsAndTimers) {
    // The parent busy: parked workers, a serial queue whose worker is inside a block, a timer thread.
    auto busy = DispatchQueue::serial("test.fork.busy");
    auto inside = std::make_shared<std::atomic<bool>>(false),
         leave = std::make_shared<std::atomic<bool>>(false);
    busy->async([inside, leave] {
        *inside = true;
        foundation_test::eventually([&] { return leave->load(); });
    });
    ASSERT_TRUE(foundation_test::eventually([&] { return inside->load(); }));
    auto group = DispatchGroup::create();
    for (int i = 0; i < 8; ++i) group->async(DispatchQueue::global(), [] {});
    ASSERT_TRUE(group->wait(30));
    DispatchQueue::global()->after(0.001, [] {});

    auto fromParent = ProcessInfo::threadId();
    EXPECT_TRUE(foundation_test::passesInForkedChild([&] {
        // The busy queue's worker did not come along: the queue is free in the child.
        std::atomic<int> ran{0};
        busy->sync([&] { ++ran; });
        auto childGroup = DispatchGroup::create();
        auto serial = DispatchQueue::serial("test.fork.child");
        for (int i = 0; i < 16; ++i) {
            childGroup->async(DispatchQueue::global(), [&] { ++ran; });
            childGroup->async(serial, [&] { ++ran; });
        }
        if (!childGroup->wait(30)) return false;
        std::atomic<bool> fired{false};
        serial->after(0.01, [&] { fired = true; });
        return ran == 33 && foundation_test::eventually([&] { return fired.load(); }, 30) &&
               ProcessInfo::threadId() != fromParent;
    }));
    *leave = true;
    busy->sync([] {});
}

TEST(DispatchMainQueue, DispatchAndOperationMainQueuesRunOnTheMainThreadWhenTheLoopRuns) {
    auto main = DispatchQueue::main();
    auto operations = NSOperationQueue::mainQueue();
    EXPECT_EQ(NSOperationQueue::currentQueue(), operations);
    std::atomic<bool> asyncRan{false}, syncReturned{false};
    bool asyncOnMain = false, syncOnMain = false, operationOnMain = false;
    std::shared_ptr<NSOperationQueue> fromPlainThread = operations, insideOperation;
    std::thread sender([&] {
        fromPlainThread = NSOperationQueue::currentQueue();
        operations->addOperationWithBlock([&] {
            operationOnMain = NSRunLoop::isMainThread();
            insideOperation = NSOperationQueue::currentQueue();
        });
        main->async([&] {
            asyncOnMain = NSRunLoop::isMainThread() && DispatchQueue::main()->isCurrent();
            asyncRan = true;
        });
        main->sync([&] { syncOnMain = NSRunLoop::isMainThread(); });
        syncReturned = true;
    });
    EXPECT_TRUE(NSRunLoop::main().runUntil([&] { return asyncRan && syncReturned; }, 60));
    sender.join();
    EXPECT_TRUE(asyncOnMain && syncOnMain);
    EXPECT_EQ(fromPlainThread, nullptr);
    // Waiting for the main operation queue on the main thread runs the loop instead of deadlocking.
    ASSERT_TRUE(operations->waitUntilAllOperationsAreFinished(60));
    EXPECT_TRUE(operationOnMain);
    EXPECT_EQ(insideOperation, operations);

    bool inline_ = false;
    main->sync([&] { inline_ = true; });  // on the main thread: inline, not a deadlock
    EXPECT_TRUE(inline_);
}

TEST(DispatchGroupTest, WaitAndNotify) {
    auto group = DispatchGroup::create();
    auto notified = DispatchSemaphore::create(0);
    std::atomic<int> ran{0}, ranAtNotify{-1};
    for (int i = 0; i < 20; ++i) group->async(DispatchQueue::global(), [&] { ++ran; });
    group->notify(DispatchQueue::serial("com.quorvane.test.notify"), [&] {
        ranAtNotify = ran.load();
        notified->signal();
    });
    EXPECT_TRUE(group->wait(60));
    ASSERT_TRUE(notified->wait(60));
    EXPECT_EQ(ranAtNotify.load(), 20);

    // Notify on an empty group runs straight away; a block that throws still leaves the group.
    group->notify(DispatchQueue::global(), [&] { notified->signal(); });
    EXPECT_TRUE(notified->wait(60));
    group->async(DispatchQueue::global(), [] { throw std::runtime_error("boom"); });
    EXPECT_TRUE(group->wait(60));
}

TEST(NSOperationQueueTest, RespectsTheConcurrencyLimitAndKnowsItsQueue) {
    for (int width : {1, 2}) {
        SCOPED_TRACE(width);
        auto queue = NSOperationQueue::create();
        queue->setMaxConcurrentOperationCount(width);
        queue->setSuspended(true);
        Overlap overlap;
        std::mutex mutex;
        std::vector<int> order;
        std::set<uint64_t> threads;
        std::atomic<bool> wrongQueue{false};
        for (int i = 0; i < 200; ++i) {
            queue->addOperationWithBlock([&, i] {
                overlap.enter();
                if (NSOperationQueue::currentQueue() != queue) wrongQueue = true;
                std::this_thread::yield();
                {
                    std::lock_guard lock(mutex);
                    order.push_back(i);
                    threads.insert(ProcessInfo::threadId());
                }
                overlap.leave();
            });
        }
        queue->setSuspended(false);
        ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(60));
        EXPECT_EQ(queue->operationCount(), 0u);
        ASSERT_EQ(order.size(), 200u);
        EXPECT_LE(overlap.most.load(), width);
        EXPECT_FALSE(wrongQueue.load());
        EXPECT_LE(threads.size(), size_t(width)) << "a worker that finishes an operation takes the next";
        // One at a time means one after another, in the order added.
        EXPECT_TRUE(width > 1 || std::is_sorted(order.begin(), order.end()));
    }
}

TEST(NSOperationQueueTest, SuspendAndCancelDropWaitingOperations) {
    auto queue = NSOperationQueue::create();
    std::atomic<int> ran{0};
    queue->setSuspended(true);
    for (int i = 0; i < 5; ++i) queue->addOperationWithBlock([&] { ++ran; });
    EXPECT_EQ(queue->operationCount(), 5u);
    EXPECT_FALSE(queue->waitUntilAllOperationsAreFinished(0.02));
    queue->cancelAllOperations();
    EXPECT_EQ(queue->operationCount(), 0u);
    EXPECT_TRUE(queue->waitUntilAllOperationsAreFinished(0));

    queue->addOperationWithBlock([&] { ran += 10; });
    queue->setSuspended(false);
    ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(60));
    EXPECT_EQ(ran.load(), 10);  // none of the cancelled ones ran
}

TEST(NSLockTest, ExcludesOtherThreadsTimesOutAndTheRecursiveOneNeedsEveryUnlockOfItsOwner) {
    NSLock lock;
    NSRecursiveLock recursive;
    bool got = true;
    auto onOtherThread = [&](auto body) {
        std::thread(body).join();
        return got;
    };
    lock.lock();
    EXPECT_FALSE(onOtherThread([&] { got = lock.tryLock() || lock.lockBeforeDate(0.02); }));
    lock.unlock();
    { std::lock_guard guard(lock); }
    EXPECT_TRUE(onOtherThread([&] {
        if ((got = lock.lockBeforeDate(60))) lock.unlock();
    }));

    auto recursiveOnOtherThread = [&] {
        return onOtherThread([&] {
            recursive.unlock();  // not the owner's: ignored
            if ((got = recursive.tryLock())) recursive.unlock();
        });
    };
    recursive.lock();
    ASSERT_TRUE(recursive.tryLock());
    recursive.unlock();
    EXPECT_FALSE(recursiveOnOtherThread());
    recursive.unlock();
    EXPECT_TRUE(recursiveOnOtherThread());
}

}  // namespace
