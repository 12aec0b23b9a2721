#include "httpclient/HCNetworkActivityIndicatorManager.h"

#include <future>

#include "httpclient/tests/HCTestSupport.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/NSUUID.h"
#include "platform/uikit/UIApplication.h"

namespace {

using State = HCNetworkActivityManagerState;

class HCNetworkActivityIndicatorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sessionManager_ = HCURLSessionManager::create();
        manager_ = HCNetworkActivityIndicatorManager::create();
        manager_->setNetworkingActivityActionWithBlock([this](bool visible) { shown_.push_back(visible); });
        manager_->setEnabled(true);
    }
    void TearDown() override {
        manager_.reset();
        // Real time again before the session winds down: its queues must not be left under the manual clock.
        clock_.reset();
        letGo({sessionManager_});
    }

    // A task that is never resumed: the notifications below stand in for the session manager's.
    NSURLSessionDataTaskPtr task(const std::string& path = "/image") {
        return sessionManager_->dataTaskWithRequest(requestFor("http://127.0.0.1:9" + path), nullptr);
    }
    void post(const char* name, const std::shared_ptr<Object>& object) {
        NSNotificationCenter::defaultCenter().post(name, object);
        NSRunLoop::main().runUntilIdle();  // the state update runs on the main queue
    }
    void start(const std::shared_ptr<Object>& t) { post(HCNetworkingTaskDidResumeNotification, t); }
    void complete(const std::shared_ptr<Object>& t) { post(HCNetworkingTaskDidCompleteNotification, t); }
    void suspend(const std::shared_ptr<Object>& t) { post(HCNetworkingTaskDidSuspendNotification, t); }

    std::optional<ManualClock> clock_{std::in_place};
    HCURLSessionManagerPtr sessionManager_;
    HCNetworkActivityIndicatorManagerPtr manager_;
    std::vector<bool> shown_;  // every visibility change, in order
};

// Once the block is gone, the application's own indicator is the one hidden.
TEST_F(HCNetworkActivityIndicatorTest, LongTaskShowsAfterActivationAndHidesAfterCompletionDelay) {
    auto application = UIApplication::sharedApplication();
    int stateChanges = 0;
    auto token =
        manager_->addObserver({}, "currentState", KVOOptions::New, [&](const KVOChange&) { ++stateChanges; });
    auto t = task();
    start(t);
    clock_->advance(0.99);
    EXPECT_TRUE(shown_.empty());
    clock_->advance(0.02);
    EXPECT_EQ(shown_, std::vector<bool>{true});
    EXPECT_TRUE(manager_->isNetworkActivityIndicatorVisible());
    clock_->advance(2.0);
    manager_->setNetworkingActivityActionWithBlock(nullptr);
    application->setNetworkActivityIndicatorVisible(true);
    complete(t);
    EXPECT_EQ(manager_->currentState(), State::DelayingEnd);
    clock_->advance(0.16);
    EXPECT_TRUE(application->isNetworkActivityIndicatorVisible());
    clock_->advance(0.02);
    EXPECT_EQ(shown_, std::vector<bool>{true});
    EXPECT_FALSE(application->isNetworkActivityIndicatorVisible());
    EXPECT_EQ(manager_->currentState(), State::NotActive);
    EXPECT_EQ(stateChanges, 4);  // 0 -> 1 -> 2 -> 3 -> 0, and no repeats
    manager_->removeObserver(token);
}

TEST_F(HCNetworkActivityIndicatorTest, ShortTasksNeverShowNextTasksKeepItShownDisablingHidesAtOnce) {
    auto brief = task("/brief");
    start(brief);
    clock_->advance(0.5);
    complete(brief);
    EXPECT_EQ(manager_->currentState(), State::DelayingStart);
    clock_->advance(0.6);
    EXPECT_EQ(manager_->currentState(), State::NotActive);
    EXPECT_TRUE(shown_.empty());

    auto first = task("/1");
    auto second = task("/2");
    start(first);
    clock_->advance(1.0);
    complete(first);
    clock_->advance(0.1);
    start(second);  // within the completion delay: no hide and show
    EXPECT_EQ(manager_->currentState(), State::Active);
    complete(second);
    manager_->setEnabled(false);
    EXPECT_EQ(shown_, (std::vector<bool>{true, false}));
    clock_->advance(5);  // and the pending completion delay does not fire
    EXPECT_EQ(shown_, (std::vector<bool>{true, false}));
}

TEST_F(HCNetworkActivityIndicatorTest, UnbalancedNotificationsNeverDriveTheCountWrong) {
    auto running = task("/running");
    auto other = task("/other");
    start(running);

    struct Step {
        const char* what;
        std::function<void()> action;
        long count;
    } steps[] = {
        {"finish of a task never started", [&] { complete(other); }, 1},
        {"second start of a running task", [&] { start(running); }, 1},
        {"start of another", [&] { start(other); }, 2},
        {"its suspension", [&] { suspend(other); }, 1},
        {"its completion after the suspension", [&] { complete(other); }, 1},
        {"a sender that is no task", [&] { start(NSUUID::create()); }, 1},
        {"no sender", [&] { complete(nullptr); }, 1},
        {"the running task completes", [&] { complete(running); }, 0},
        {"and completes again", [&] { complete(running); }, 0},
        {"a direct decrement at zero", [&] { manager_->decrementActivityCount(); }, 0},
        {"a negative count", [&] { manager_->setActivityCount(-3); }, 0},
        {"a suspended task resumes: a new start", [&] { start(other); }, 1},
    };
    for (const auto& step : steps) {
        step.action();
        EXPECT_EQ(manager_->activityCount(), step.count) << step.what;
        EXPECT_EQ(manager_->isNetworkActivityOccurring(), step.count > 0) << step.what;
    }
}

TEST_F(HCNetworkActivityIndicatorTest, ChangesRunOnTheMainThreadWithTheLockReleased) {
    std::vector<bool> onMain;
    bool answered = true;
    manager_->setNetworkingActivityActionWithBlock([&](bool visible) {
        shown_.push_back(visible);
        onMain.push_back(NSRunLoop::isMainThread());
        // Another thread asking the manager meanwhile gets its answer.
        std::promise<void> asked;
        auto done = asked.get_future();
        std::thread([manager = manager_, asked = std::move(asked)]() mutable {
            manager->activityCount();
            asked.set_value();
        }).detach();
        answered = answered && done.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    });
    auto t = task();
    start(t);
    clock_->advance(1.0);
    std::thread([&] { manager_->setEnabled(false); }).join();  // hidden from the main thread, not this one
    NSRunLoop::main().runUntilIdle();
    EXPECT_EQ(shown_, (std::vector<bool>{true, false}));
    EXPECT_EQ(onMain, (std::vector<bool>{true, true}));
    EXPECT_TRUE(answered);
}

// Called from another thread, the state, its change notifications and the visibility still change on the
// main thread only, once the main queue runs.
TEST_F(HCNetworkActivityIndicatorTest, CallsFromAnotherThreadAreCarriedOutOnTheMainThread) {
    struct Case {
        const char* what;
        std::function<void(HCNetworkActivityIndicatorManager&)> call;
    };
    const Case cases[] = {
        {"setEnabled(false)", [](auto& m) { m.setEnabled(false); }},
        {"setNetworkActivityIndicatorVisible(false)",
         [](auto& m) { m.setNetworkActivityIndicatorVisible(false); }},
    };
    for (const auto& c : cases) {
        auto t = task();
        start(t);
        clock_->advance(1.0);
        ASSERT_TRUE(manager_->isNetworkActivityIndicatorVisible()) << c.what;
        std::mutex mutex;
        std::vector<std::string> changes;  // key and whether on the main thread
        std::vector<KVOObservable::Token> tokens;
        for (const char* key : {"currentState", "networkActivityIndicatorVisible"}) {
            tokens.push_back(manager_->addObserver({}, key, KVOOptions::New, [&, key](const KVOChange&) {
                std::lock_guard lock(mutex);
                changes.push_back(std::string(key) + (NSRunLoop::isMainThread() ? "@main" : "@other"));
            }));
        }
        shown_.clear();
        std::thread([&] { c.call(*manager_); }).join();
        {
            std::lock_guard lock(mutex);
            EXPECT_TRUE(changes.empty()) << c.what;
        }
        EXPECT_TRUE(shown_.empty()) << c.what;
        NSRunLoop::main().runUntilIdle();
        EXPECT_EQ(shown_, std::vector<bool>{false}) << c.what;
        for (const auto& change : changes) EXPECT_TRUE(change.ends_with("@main")) << c.what << ": " << change;
        for (auto token : tokens) manager_->removeObserver(token);
        complete(t);
        manager_->setEnabled(true);
        clock_->advance(1.0);
    }
}

TEST_F(HCNetworkActivityIndicatorTest, ATaskThatVanishesUnfinishedStopsCountingWithinTheSweepInterval) {
    start(NSURLSession::sessionWithConfiguration(NSURLSessionConfiguration::defaultSessionConfiguration())
              ->dataTaskWithRequest(requestFor("http://127.0.0.1:9/gone")));
    EXPECT_EQ(manager_->activityCount(), 1);
    clock_->advance(HCNetworkActivityIndicatorManager::kSweepInterval);
    NSRunLoop::main().runUntilIdle();
    EXPECT_EQ(manager_->activityCount(), 0);
    clock_->advance(1.0);
    EXPECT_EQ(manager_->currentState(), State::NotActive);
}

}  // namespace
