#include "platform/foundation/Clock.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/RunLoop.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include "platform/foundation/tests/test_support.h"
#include "testsupport/TempDir.h"

namespace {

using foundation_test::eventually;

// A timer source on a background serial queue, counting its handler calls and cancel-handler calls.
struct CountingTimer {
    DispatchQueuePtr queue = DispatchQueue::serial("com.quorvane.test.timer-source");
    std::shared_ptr<DispatchTimerSource> source = DispatchTimerSource::create(queue);
    std::atomic<int> fires{0}, cancels{0};
    std::atomic<bool> onQueue{true};

    CountingTimer() {
        source->setEventHandler([this] {
            if (!queue->isCurrent()) onQueue = false;
            ++fires;
        });
        source->setCancelHandler([this] { ++cancels; });
    }
    ~CountingTimer() {
        source->cancel();
        queue->sync([] {});  // the cancel handler touches this object
    }
    // Handler calls already queued have run once this returns.
    int settledFires() {
        queue->sync([] {});
        return fires;
    }
};

TEST(DispatchTimerSourceTest, AdvanceOnTheMainThreadFiresABackgroundQueueSource) {
    ManualClock clock;
    CountingTimer timer;
    timer.source->setTimer(1, 1);
    clock.advance(5);
    EXPECT_EQ(timer.settledFires(), 0) << "created suspended";
    timer.source->resume();
    EXPECT_EQ(timer.settledFires(), 1) << "fires missed while suspended collapse into one";

    clock.advance(3.5);  // back on the grid: 6, 7, 8
    EXPECT_EQ(timer.settledFires(), 4);
    EXPECT_TRUE(timer.onQueue.load());

    timer.source->suspend();
    clock.advance(10);
    EXPECT_EQ(timer.settledFires(), 4);
    timer.source->resume();
    EXPECT_EQ(timer.settledFires(), 5);
    clock.advance(0.4);
    EXPECT_EQ(timer.settledFires(), 5);
    clock.advance(0.1);  // 19.0
    EXPECT_EQ(timer.settledFires(), 6);

    timer.source->setTimer(2, 0);  // a new schedule replaces the old one
    clock.advance(1.5);
    EXPECT_EQ(timer.settledFires(), 6);
    clock.advance(0.5);
    EXPECT_EQ(timer.settledFires(), 7);
    clock.advance(10);
    EXPECT_EQ(timer.settledFires(), 7);
}

TEST(DispatchTimerSourceTest, OneShotAndImmediateStart) {
    ManualClock clock;
    CountingTimer timer;
    timer.source->setTimer(2, 0);
    timer.source->resume();
    clock.advance(10);
    EXPECT_EQ(timer.settledFires(), 1);

    timer.source->setTimer(0, 0);  // due now: fires without waiting for the clock
    EXPECT_TRUE(eventually([&] { return timer.fires.load() == 2; }));
}

TEST(DispatchTimerSourceTest, CancelStopsHandlersAndRunsTheCancelHandlerOnce) {
    ManualClock clock;
    CountingTimer timer;
    timer.source->setTimer(1, 1);
    timer.source->resume();
    clock.advance(2);
    EXPECT_EQ(timer.settledFires(), 2);
    timer.source->cancel();
    timer.source->cancel();
    EXPECT_TRUE(timer.source->isCancelled());
    clock.advance(5);
    EXPECT_EQ(timer.settledFires(), 2);
    EXPECT_EQ(timer.cancels.load(), 1);
}

TEST(DispatchTimerSourceTest, CancelFromTheHandlerStopsQueuedFires) {
    ManualClock clock;
    auto queue = DispatchQueue::serial("com.quorvane.test.self-cancel");
    auto source = DispatchTimerSource::create(queue);
    std::atomic<int> fires{0};
    std::weak_ptr<DispatchTimerSource> weak = source;
    source->setEventHandler([&, weak] {
        if (++fires == 2) weak.lock()->cancel();
    });
    source->setTimer(1, 1);
    source->resume();
    clock.advance(10);  // may queue several fires before the second one cancels
    queue->sync([] {});
    EXPECT_EQ(fires.load(), 2);
}

TEST(DispatchTimerSourceTest, MainQueueSourceRunsWithinAdvance) {
    ManualClock clock;
    auto source = DispatchTimerSource::create(DispatchQueue::main());
    int fires = 0;
    source->setEventHandler([&] { ++fires; });
    source->setTimer(1, 1);
    source->resume();
    clock.advance(2.5);
    EXPECT_EQ(fires, 2);
    source->cancel();
    NSRunLoop::main().runUntilIdle();
}

// Records the events a file source reports.
struct FileWatch {
    TempDir dir;
    std::string path = dir.file("watched");
    int fd = -1;
    DispatchQueuePtr queue = DispatchQueue::serial("com.quorvane.test.file-source");
    std::shared_ptr<DispatchFileSource> source;
    std::mutex mutex;
    unsigned seen = 0;
    int calls = 0;
    std::atomic<int> cancels{0};

    explicit FileWatch(unsigned mask) {
        fd = open(path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
        source = DispatchFileSource::create(fd, mask, queue);
        source->setEventHandler([this](unsigned events) {
            std::lock_guard lock(mutex);
            seen |= events;
            ++calls;
        });
        source->setCancelHandler([this] { ++cancels; });
    }
    ~FileWatch() {
        source->cancel();
        queue->sync([] {});
        close(fd);
    }
    unsigned events() {
        std::lock_guard lock(mutex);
        return seen;
    }
};

TEST(DispatchFileSourceTest, ReportsRenameThenDeleteOfAnOpenFile) {
    ASSERT_FALSE(Clock::isManual());
    FileWatch watch(DispatchFileSource::Delete | DispatchFileSource::Rename);
    ASSERT_GE(watch.fd, 0);
    watch.source->resume();
    const std::string moved = watch.dir.file("moved");
    ASSERT_EQ(std::rename(watch.path.c_str(), moved.c_str()), 0);
    ASSERT_TRUE(eventually([&] { return watch.events() & DispatchFileSource::Rename; }));
    EXPECT_FALSE(watch.events() & DispatchFileSource::Delete);

    ASSERT_EQ(unlink(moved.c_str()), 0);
    ASSERT_TRUE(eventually([&] { return watch.events() & DispatchFileSource::Delete; }));

    watch.source->cancel();
    EXPECT_TRUE(eventually([&] { return watch.cancels.load() == 1; }));
    EXPECT_NE(fcntl(watch.fd, F_GETFD), -1) << "the caller's descriptor stays open";
}

TEST(DispatchFileSourceTest, EventsBeforeResumeArriveOnResumeAndMaskFilters) {
    FileWatch watch(DispatchFileSource::Write);
    ASSERT_EQ(write(watch.fd, "x", 1), 1);
    ASSERT_EQ(std::rename(watch.path.c_str(), watch.dir.file("other").c_str()), 0);  // not asked for
    // The source is still suspended: nothing arrives until resume.
    watch.queue->sync([] {});
    EXPECT_EQ(watch.events(), 0u);
    watch.source->resume();
    ASSERT_TRUE(eventually([&] { return watch.events() == DispatchFileSource::Write; }));

    watch.source->cancel();
    const int callsAtCancel = [&] {
        watch.queue->sync([] {});
        std::lock_guard lock(watch.mutex);
        return watch.calls;
    }();
    ASSERT_EQ(write(watch.fd, "y", 1), 1);
    // Another watch on a fresh file proves the watcher is still delivering while the cancelled one stays
    // quiet.
    FileWatch probe(DispatchFileSource::Write);
    probe.source->resume();
    ASSERT_EQ(write(probe.fd, "z", 1), 1);
    ASSERT_TRUE(eventually([&] { return probe.events() == DispatchFileSource::Write; }));
    watch.queue->sync([] {});
    std::lock_guard lock(watch.mutex);
    EXPECT_EQ(watch.calls, callsAtCancel);
}

}  // namespace
