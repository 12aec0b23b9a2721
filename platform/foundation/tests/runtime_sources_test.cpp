#include "platform/foundation/Clock.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/RunLoop.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

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

    timer.source->setTimer(2, 0);  // a new schedule replaces the old one: a one-shot
    clock.advance(1.5);
    EXPECT_EQ(timer.settledFires(), 6);
    clock.advance(10);
    EXPECT_EQ(timer.settledFires(), 7);
    timer.source->setTimer(0, 0);  // due now: fires without waiting for the clock
    EXPECT_TRUE(eventually([&] { return timer.fires.load() == 8; }, 60));

    // Cancelled from its handler, fires already queued are dropped; cancelling again changes nothing.
    timer.source->setEventHandler([&] {
        if (++timer.fires == 9) timer.source->cancel();
    });
    timer.source->setTimer(1, 1);
    auto gate = DispatchSemaphore::create(0);
    timer.queue->async([gate] { gate->wait(60); });
    clock.advance(10);  // ten fires queue up behind the gate
    gate->signal();
    EXPECT_EQ(timer.settledFires(), 9);
    timer.source->cancel();
    EXPECT_TRUE(timer.source->isCancelled());
    clock.advance(5);
    EXPECT_EQ(timer.settledFires(), 9);
    EXPECT_EQ(timer.cancels.load(), 1);
}

// Records the events a file source reports.
struct FileWatch {
    TempDir dir;
    std::string path = dir.file("watched");
    int fd = -1;
    DispatchQueuePtr queue = DispatchQueue::serial("com.quorvane.test.file-source");
    std::shared_ptr<DispatchFileSource> source;
    std::atomic<unsigned> seen{0};
    std::atomic<int> cancels{0};

    explicit FileWatch(unsigned mask) {
        fd = open(path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
        source = DispatchFileSource::create(fd, mask, queue);
        source->setEventHandler([this](unsigned events) { seen |= events; });
        source->setCancelHandler([this] { ++cancels; });
    }
    ~FileWatch() {
        source->cancel();
        queue->sync([] {});
        close(fd);
    }
};

// The inotify events this process watches on `fd`'s file, from /proc (0 when none).
uint32_t watchedEvents(int fd) {
    struct stat st {};
    fstat(fd, &st);
    const std::string inode = " ino:" + (std::stringstream() << std::hex << st.st_ino).str() + " ";
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fdinfo")) {
        std::ifstream info(entry.path());
        for (std::string line; std::getline(info, line);) {
            if (line.starts_with("inotify") && line.find(inode) != std::string::npos)
                return uint32_t(std::stoul(line.substr(line.find(" mask:") + 6), nullptr, 16));
        }
    }
    return 0;
}

TEST(DispatchFileSourceTest, ReportsRenameThenDeleteOfAnOpenFileAndWatchesOnlyWhatWasAskedFor) {
    FileWatch watch(DispatchFileSource::Delete | DispatchFileSource::Rename);
    ASSERT_GE(watch.fd, 0);
    watch.source->resume();
    const uint32_t kWatched = IN_MODIFY | IN_MOVE_SELF;
    EXPECT_EQ(watchedEvents(watch.fd) & kWatched, uint32_t(IN_MOVE_SELF));
    // A second source on the file shares its watch, widened for writes while that source lives.
    auto writes = DispatchFileSource::create(watch.fd, DispatchFileSource::Write, watch.queue);
    EXPECT_EQ(watchedEvents(watch.fd) & kWatched, kWatched);
    writes->cancel();
    EXPECT_EQ(watchedEvents(watch.fd) & kWatched, uint32_t(IN_MOVE_SELF));

    const std::string moved = watch.dir.file("moved");
    ASSERT_EQ(std::rename(watch.path.c_str(), moved.c_str()), 0);
    ASSERT_TRUE(eventually([&] { return watch.seen.load() & DispatchFileSource::Rename; }, 60));
    EXPECT_FALSE(watch.seen.load() & DispatchFileSource::Delete);
    ASSERT_EQ(unlink(moved.c_str()), 0);
    ASSERT_TRUE(eventually([&] { return watch.seen.load() & DispatchFileSource::Delete; }, 60));

    watch.source->cancel();
    EXPECT_TRUE(eventually([&] { return watch.cancels.load() == 1; }, 60));
    EXPECT_EQ(watchedEvents(watch.fd), 0u) << "the watch goes with its last source";
    EXPECT_NE(fcntl(watch.fd, F_GETFD), -1) << "the caller's descriptor stays open";
}

TEST(DispatchFileSourceTest, EventsBeforeResumeArriveOnResumeAndMaskFilters) {
    FileWatch watch(DispatchFileSource::Write);
    ASSERT_EQ(write(watch.fd, "x", 1), 1);
    ASSERT_EQ(std::rename(watch.path.c_str(), watch.dir.file("other").c_str()), 0);  // not asked for
    // The source is still suspended: nothing arrives until resume.
    watch.queue->sync([] {});
    EXPECT_EQ(watch.seen.load(), 0u);
    watch.source->resume();
    ASSERT_TRUE(eventually([&] { return watch.seen.load() == DispatchFileSource::Write; }, 60));
}

}  // namespace
