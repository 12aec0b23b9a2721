#include "platform/foundation/Clock.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/RunLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/tests/test_support.h"

namespace {

using foundation_test::eventually;

class RunLoopTest : public ::testing::Test {
  protected:
    void SetUp() override { NSRunLoop::main().runUntilIdle(); }
    NSRunLoop& loop = NSRunLoop::main();
};

TEST_F(RunLoopTest, TimersFireOnlyInTheirModes) {
    ManualClock clock;
    std::vector<std::string> fired;
    loop.addTimer(NSTimer::timerWithTimeInterval(1, Repeats::No, [&](auto&) { fired.push_back("default"); }),
                  NSDefaultRunLoopMode);
    loop.addTimer(NSTimer::timerWithTimeInterval(1, Repeats::No, [&](auto&) { fired.push_back("common"); }),
                  NSRunLoopCommonModes);
    loop.addTimer(NSTimer::timerWithTimeInterval(1, Repeats::No, [&](auto&) { fired.push_back("tracking"); }),
                  UITrackingRunLoopMode);

    // Advancing from inside a tracking-mode pass runs the due work in tracking mode.
    std::string modeSeen;
    loop.perform([&] {
        modeSeen = loop.currentMode();
        clock.advance(1);
    });
    loop.runOnce(UITrackingRunLoopMode, 0);
    EXPECT_EQ(modeSeen, UITrackingRunLoopMode);
    EXPECT_EQ(fired, (std::vector<std::string>{"common", "tracking"}));

    // Still due, the default-mode timer fires once the loop runs in its mode.
    loop.runOnce(NSDefaultRunLoopMode, 0);
    EXPECT_EQ(fired, (std::vector<std::string>{"common", "tracking", "default"}));
    EXPECT_EQ(loop.currentMode(), "");
}

TEST_F(RunLoopTest, RepeatingTimerKeepsItsGridAndSkipsMissedFires) {
    ManualClock clock;
    std::vector<double> times;
    auto timer = NSTimer::scheduledTimerWithTimeInterval(0.25, Repeats::Yes,
                                                         [&](auto&) { times.push_back(Clock::monotonic()); });
    clock.advance(1);
    EXPECT_EQ(times, (std::vector<double>{0.25, 0.5, 0.75, 1.0}));

    // Time moved on without the loop running: one fire for the lot, then back on the grid.
    std::thread([&] { clock.advance(2.1); }).join();
    loop.runOnce(NSDefaultRunLoopMode, 0);
    EXPECT_EQ(times.size(), 5u);
    EXPECT_DOUBLE_EQ(timer->fireDate(), 3.25);
    timer->invalidate();
    clock.advance(5);
    EXPECT_EQ(times.size(), 5u);
}

TEST_F(RunLoopTest, TimerInvalidatedInsideItsBlockStops) {
    ManualClock clock;
    int fires = 0;
    std::weak_ptr<NSTimer> weak;
    {
        auto timer = NSTimer::scheduledTimerWithTimeInterval(1, Repeats::Yes, [&](const auto& t) {
            if (++fires == 3) t->invalidate();
        });
        weak = timer;
    }
    clock.advance(10);
    EXPECT_EQ(fires, 3);
    EXPECT_TRUE(weak.expired()) << "the loop should release an invalidated timer";
}

TEST_F(RunLoopTest, SleeperOnAnotherThreadWakesWhenAdvancedPast) {
    ManualClock clock;
    std::atomic<bool> started{false}, woke{false};
    std::atomic<double> wokeAt{0};
    std::thread sleeper([&] {
        started = true;
        Clock::sleepFor(5);
        wokeAt = Clock::monotonic();
        woke = true;
    });
    ASSERT_TRUE(eventually([&] { return started.load(); }));
    clock.advance(4.5);
    EXPECT_FALSE(woke.load());
    for (int step = 0; step < 20 && !woke; ++step) {
        clock.advance(1);
        eventually([&] { return woke.load(); }, 0.2);
    }
    sleeper.join();
    EXPECT_TRUE(woke.load());
    EXPECT_GE(wokeAt.load(), 5.0);
}

TEST_F(RunLoopTest, AfterRunsBlocksInTimeOrderAtTheirTimes) {
    ManualClock clock;
    std::vector<std::pair<std::string, double>> ran;
    auto main = DispatchQueue::main();
    auto record = [&](std::string name) { return [&, name] { ran.emplace_back(name, Clock::monotonic()); }; };
    main->after(2, record("b"));
    main->after(1, record("a"));
    main->after(2, record("c"));
    main->after(3, record("d"));
    clock.advance(2.5);
    using Runs = std::vector<std::pair<std::string, double>>;
    EXPECT_EQ(ran, (Runs{{"a", 1.0}, {"b", 2.0}, {"c", 2.0}}));
    clock.advance(1);
    EXPECT_EQ(ran.back(), (std::pair<std::string, double>{"d", 3.0}));
}

TEST_F(RunLoopTest, ChainedTimersFireWithinOneAdvance) {
    ManualClock clock;
    std::vector<double> times;
    std::function<void()> chain = [&] {
        times.push_back(Clock::monotonic());
        if (times.size() < 3)
            NSTimer::scheduledTimerWithTimeInterval(0.5, Repeats::No, [&](auto&) { chain(); });
    };
    NSTimer::scheduledTimerWithTimeInterval(0.5, Repeats::No, [&](auto&) { chain(); });
    clock.advance(2);
    EXPECT_EQ(times, (std::vector<double>{0.5, 1.0, 1.5}));
}

TEST_F(RunLoopTest, RunUntilGivesUpUnderAStoppedManualClock) {
    ManualClock clock;
    bool fired = false;
    auto timer = NSTimer::scheduledTimerWithTimeInterval(1, Repeats::No, [&](auto&) { fired = true; });
    EXPECT_FALSE(loop.runUntil([&] { return fired; }, 0.05));
    clock.advance(1);
    EXPECT_TRUE(fired);
}

TEST_F(RunLoopTest, PerformFromAnotherThreadWakesRunUntil) {
    bool ran = false;
    bool onMain = false;
    std::thread poster([&] {
        loop.perform([&] {
            ran = true;
            onMain = NSRunLoop::isMainThread();
        });
    });
    EXPECT_TRUE(loop.runUntil([&] { return ran; }, 5));
    poster.join();
    EXPECT_TRUE(onMain);
}

TEST_F(RunLoopTest, StopFromAnotherThreadEndsRun) {
    std::atomic<bool> ranBlock{false};
    std::thread stopper([&] {
        loop.perform([&] { ranBlock = true; });
        eventually([&] { return ranBlock.load(); });
        loop.stop();
    });
    loop.run();
    stopper.join();
    EXPECT_TRUE(ranBlock.load());
}

TEST_F(RunLoopTest, BackgroundThreadHasItsOwnLoopWithRealTimeTimers) {
    std::atomic<bool> fired{false}, onOwnLoop{false};
    std::thread worker([&] {
        NSRunLoop& own = NSRunLoop::current();
        onOwnLoop = &own != &NSRunLoop::main() && !NSRunLoop::isMainThread();
        NSTimer::scheduledTimerWithTimeInterval(0.01, Repeats::No, [&](auto&) { fired = true; });
        own.runUntil([&] { return fired.load(); }, 5);
    });
    worker.join();
    EXPECT_TRUE(onOwnLoop.load());
    EXPECT_TRUE(fired.load());
}

TEST_F(RunLoopTest, ThrowingBlockDoesNotEscapeTheLoop) {
    bool after = false;
    loop.perform([] { throw std::runtime_error("boom"); });
    loop.perform([&] { after = true; });
    loop.runUntilIdle();
    EXPECT_TRUE(after);
}

TEST(ClockTest, ManualClockStartsAtItsDateAndCancelledDeadlinesStaySilent) {
    ManualClock clock(Date{1000});
    EXPECT_TRUE(Clock::isManual());
    EXPECT_EQ(Clock::monotonic(), 0);
    EXPECT_EQ(Clock::now(), Date{1000});
    int fired = 0;
    auto id = Clock::scheduleDeadline(1, [&] { ++fired; });
    Clock::scheduleDeadline(2, [&] { fired += 10; });
    Clock::cancelDeadline(id);
    clock.advance(3);
    EXPECT_EQ(fired, 10);
    EXPECT_EQ(Clock::now(), Date{1003});
}

TEST(ClockTest, DeadlinesAddedWhileFiringInsideTheWindowFireInOrder) {
    ManualClock clock;
    std::vector<double> times;
    Clock::scheduleDeadline(1, [&] {
        times.push_back(Clock::monotonic());
        Clock::scheduleDeadline(1.5, [&] { times.push_back(Clock::monotonic()); });
        Clock::scheduleDeadline(9, [&] { times.push_back(Clock::monotonic()); });
    });
    Clock::scheduleDeadline(2, [&] { times.push_back(Clock::monotonic()); });
    clock.advance(2);
    EXPECT_EQ(times, (std::vector<double>{1, 1.5, 2}));
}

}  // namespace
