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
    for (std::string mode : {NSDefaultRunLoopMode, NSRunLoopCommonModes, UITrackingRunLoopMode})
        loop.addTimer(
            NSTimer::timerWithTimeInterval(1, Repeats::No, [&, mode](auto&) { fired.push_back(mode); }),
            mode);

    // Advancing from inside a tracking-mode pass runs the due work in tracking mode.
    std::string modeSeen;
    loop.perform([&] {
        modeSeen = loop.currentMode();
        clock.advance(1);
    });
    loop.runOnce(UITrackingRunLoopMode, 0);
    EXPECT_EQ(modeSeen, UITrackingRunLoopMode);
    EXPECT_EQ(fired, (std::vector<std::string>{NSRunLoopCommonModes, UITrackingRunLoopMode}));

    // Still due, the default-mode timer fires once the loop runs in its mode.
    loop.runOnce(NSDefaultRunLoopMode, 0);
    EXPECT_EQ(fired,
              (std::vector<std::string>{NSRunLoopCommonModes, UITrackingRunLoopMode, NSDefaultRunLoopMode}));
    EXPECT_EQ(loop.currentMode(), "");
}

TEST_F(RunLoopTest, RepeatingTimerKeepsItsGridSkipsMissedFiresAndStopsWhenInvalidatedInItsBlock) {
    ManualClock clock;
    std::vector<double> times;
    std::weak_ptr<NSTimer> weak;
    {
        auto timer = NSTimer::scheduledTimerWithTimeInterval(0.25, Repeats::Yes, [&](const auto& t) {
            times.push_back(Clock::monotonic());
            if (times.size() == 6) t->invalidate();
        });
        weak = timer;
    }
    clock.advance(1);
    EXPECT_EQ(times, (std::vector<double>{0.25, 0.5, 0.75, 1.0}));

    // Time moved on without the loop running: one fire for the lot, then back on the grid.
    std::thread([&] { clock.advance(2.1); }).join();
    loop.runOnce(NSDefaultRunLoopMode, 0);
    EXPECT_EQ(times.size(), 5u);
    ASSERT_FALSE(weak.expired());
    EXPECT_DOUBLE_EQ(weak.lock()->fireDate(), 3.25);
    clock.advance(5);
    EXPECT_EQ(times.size(), 6u);
    EXPECT_TRUE(weak.expired()) << "the loop should release an invalidated timer";
}

TEST_F(RunLoopTest, SleeperOnAnotherThreadWakesWhenAdvancedPast) {
    ManualClock clock;
    std::atomic<double> wokeAt{-1};
    std::thread sleeper([&] {
        Clock::sleepFor(5);
        wokeAt = Clock::monotonic();
    });
    clock.advance(4.5);
    EXPECT_LT(wokeAt.load(), 0);
    for (int step = 0; step < 20 && wokeAt < 0; ++step) {
        clock.advance(1);
        eventually([&] { return wokeAt >= 0; }, 0.2);
    }
    sleeper.join();
    EXPECT_GE(wokeAt.load(), 5.0);
}

TEST_F(RunLoopTest, AfterAndMainQueueTimerSourcesRunInTimeOrderAtTheirTimes) {
    ManualClock clock;
    std::vector<std::pair<std::string, double>> ran;
    auto main = DispatchQueue::main();
    auto record = [&](std::string name) { return [&, name] { ran.emplace_back(name, Clock::monotonic()); }; };
    main->after(2, record("b"));
    main->after(1, record("a"));
    main->after(2, record("c"));
    main->after(3, record("d"));
    auto source = DispatchTimerSource::create(main);
    source->setEventHandler(record("source"));
    source->setTimer(1.5, 10);
    source->resume();
    clock.advance(2.5);
    using Runs = std::vector<std::pair<std::string, double>>;
    EXPECT_EQ(ran, (Runs{{"a", 1.0}, {"source", 1.5}, {"b", 2.0}, {"c", 2.0}}));
    source->cancel();
    clock.advance(20);
    EXPECT_EQ(ran.back(), (std::pair<std::string, double>{"d", 3.0}));
}

TEST_F(RunLoopTest, ChainedTimersFireWithinOneAdvanceAndRunUntilGivesUpWhileTimeStandsStill) {
    ManualClock clock;
    std::vector<double> times;
    std::function<void()> chain = [&] {
        times.push_back(Clock::monotonic());
        if (times.size() < 3)
            NSTimer::scheduledTimerWithTimeInterval(0.5, Repeats::No, [&](auto&) { chain(); });
    };
    NSTimer::scheduledTimerWithTimeInterval(0.5, Repeats::No, [&](auto&) { chain(); });
    EXPECT_FALSE(loop.runUntil([&] { return !times.empty(); }, 0.05));
    clock.advance(2);
    EXPECT_EQ(times, (std::vector<double>{0.5, 1.0, 1.5}));
}

TEST_F(RunLoopTest, StopFromAnotherThreadEndsRunAndAThrowingBlockDoesNotEscape) {
    std::atomic<bool> ranBlock{false};
    loop.perform([] { throw std::runtime_error("boom"); });
    std::thread stopper([&] {
        loop.perform([&] { ranBlock = true; });
        eventually([&] { return ranBlock.load(); }, 60);
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
        own.runUntil([&] { return fired.load(); }, 60);
    });
    worker.join();
    EXPECT_TRUE(onOwnLoop && fired);
}

TEST(ClockTest, ManualClockStartsAtItsDateAndFiresDeadlinesInOrderCancelledOnesNot) {
    ManualClock clock(Date{1000});
    EXPECT_TRUE(Clock::isManual());
    EXPECT_EQ(Clock::monotonic(), 0);
    EXPECT_EQ(Clock::now(), Date{1000});
    std::vector<double> times;
    auto note = [&] { times.push_back(Clock::monotonic()); };
    Clock::cancelDeadline(Clock::scheduleDeadline(0.5, note));
    // Deadlines added while firing, inside the advanced window, still fire in order.
    Clock::scheduleDeadline(1, [&] {
        note();
        Clock::scheduleDeadline(1.5, note);
        Clock::scheduleDeadline(9, note);
    });
    Clock::scheduleDeadline(2, note);
    clock.advance(3);
    EXPECT_EQ(times, (std::vector<double>{1, 1.5, 2}));
    EXPECT_EQ(Clock::now(), Date{1003});
}

}  // namespace
