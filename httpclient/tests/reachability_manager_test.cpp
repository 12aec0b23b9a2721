#include "httpclient/HCNetworkReachabilityManager.h"

#include <condition_variable>

#include "httpclient/tests/HCTestSupport.h"
#include "platform/net/ReachabilityFake.h"

namespace {

constexpr SCNetworkReachabilityFlags R = kSCNetworkReachabilityFlagsReachable,
                                     WWAN = kSCNetworkReachabilityFlagsIsWWAN,
                                     ConnectionRequired = kSCNetworkReachabilityFlagsConnectionRequired,
                                     OnTraffic = kSCNetworkReachabilityFlagsConnectionOnTraffic,
                                     OnDemand = kSCNetworkReachabilityFlagsConnectionOnDemand,
                                     Intervention = kSCNetworkReachabilityFlagsInterventionRequired;
using Status = HCNetworkReachabilityStatus;

// Every reachability notification, with where it was posted.
struct Recorder : NotificationRecorder {
    Recorder() : NotificationRecorder({HCNetworkingReachabilityDidChangeNotification}) {}
};

class ReachabilityManagerTest : public ::testing::Test {
  protected:
    void SetUp() override { fake_ = FakeReachabilityProvider::install(); }
    void TearDown() override {
        NSRunLoop::main().runUntilIdle();
        FakeReachabilityProvider::uninstall();
    }

    std::shared_ptr<FakeReachabilityProvider> fake_;
};

TEST_F(ReachabilityManagerTest, ReportsEveryChangeOnTheMainQueue) {
    struct FlagsCase {
        SCNetworkReachabilityFlags flags;
        Status status;
        const char* text;
    };
    const std::vector<FlagsCase> cases = {
        {R, Status::ReachableViaWiFi, "Reachable via WiFi"},
        {R | WWAN, Status::ReachableViaWWAN, "Reachable via WWAN"},
        {R | ConnectionRequired, Status::NotReachable, "Not Reachable"},
        {R | ConnectionRequired | OnTraffic, Status::ReachableViaWiFi, "Reachable via WiFi"},
        {R | ConnectionRequired | OnDemand | Intervention, Status::NotReachable, "Not Reachable"},
        {R | Intervention, Status::ReachableViaWiFi, "Reachable via WiFi"},
        {WWAN | OnTraffic, Status::NotReachable, "Not Reachable"},
        {0, Status::NotReachable, "Not Reachable"},
    };
    auto manager = HCNetworkReachabilityManager::manager();
    EXPECT_EQ(manager->networkReachabilityStatus(), Status::Unknown);

    std::vector<Status> blockCalls;
    manager->setReachabilityStatusChangeBlock([&](Status status) {
        EXPECT_TRUE(NSRunLoop::isMainThread());
        EXPECT_EQ(DispatchQueue::currentLabel(), "com.apple.main-thread");
        blockCalls.push_back(status);
    });
    Recorder recorder;
    fake_->setFlags("0.0.0.0", R | WWAN | ConnectionRequired);  // the first answer: not reachable
    manager->startMonitoring();
    ASSERT_TRUE(recorder.waitFor(1));
    EXPECT_EQ(manager->networkReachabilityStatus(), Status::NotReachable);

    for (const auto& c : cases) {
        SCOPED_TRACE(c.flags);
        EXPECT_EQ(HCNetworkReachabilityStatusForFlags(c.flags), c.status);
        const size_t before = recorder.count();
        fake_->setFlags("0.0.0.0", c.flags);
        ASSERT_TRUE(recorder.waitFor(before + 1));
        NSRunLoop::main().runUntilIdle();
        ASSERT_EQ(recorder.count(), before + 1);
        const auto entry = recorder.entries().back();
        EXPECT_TRUE(entry.onMainThread);
        EXPECT_FALSE(entry.object);
        EXPECT_EQ(
            entry.userInfo,
            (Value::Dictionary{{HCNetworkingReachabilityNotificationStatusItem, Value(long(c.status))}}));
        EXPECT_EQ(manager->networkReachabilityStatus(), c.status);
        EXPECT_EQ(blockCalls.back(), c.status);
        EXPECT_EQ(manager->localizedNetworkReachabilityStatusString(), c.text);
        EXPECT_EQ(manager->isReachable(), c.status != Status::NotReachable);
    }
    EXPECT_EQ(blockCalls.size(), cases.size() + 1);
}

TEST_F(ReachabilityManagerTest, StartingTwiceWatchesOnceAndStoppingKeepsTheStatus) {
    fake_->setFlags(R);
    auto manager = HCNetworkReachabilityManager::managerForDomain("api.example.com");
    ASSERT_TRUE(manager->networkReachability());
    Recorder recorder;
    manager->startMonitoring();
    manager->startMonitoring();
    EXPECT_EQ(fake_->scheduledCount(), 1u);
    ASSERT_TRUE(recorder.waitFor(1));
    NSRunLoop::main().runUntilIdle();
    // Only the second start's first answer arrives.
    EXPECT_EQ(recorder.count(), 1u);
    EXPECT_EQ(manager->networkReachabilityStatus(), Status::ReachableViaWiFi);

    fake_->setFlags("api.example.com", R | WWAN);
    ASSERT_TRUE(recorder.waitFor(2));
    EXPECT_EQ(manager->networkReachabilityStatus(), Status::ReachableViaWWAN);

    // A block set while running sees later reports only, and a removed one none.
    std::vector<Status> calls;
    manager->setReachabilityStatusChangeBlock([&](Status status) { calls.push_back(status); });
    fake_->setFlags("api.example.com", R);
    ASSERT_TRUE(recorder.waitFor(3));
    manager->setReachabilityStatusChangeBlock(nullptr);
    fake_->setFlags("api.example.com", R | WWAN);
    ASSERT_TRUE(recorder.waitFor(4));
    EXPECT_EQ(calls, std::vector<Status>{Status::ReachableViaWiFi});

    manager->stopMonitoring();
    EXPECT_EQ(fake_->scheduledCount(), 0u);
    fake_->setFlags("api.example.com", 0);
    NSRunLoop::main().runUntilIdle();
    EXPECT_EQ(recorder.count(), 4u);
    EXPECT_EQ(manager->networkReachabilityStatus(), Status::ReachableViaWWAN);
}

TEST_F(ReachabilityManagerTest, TargetThePlatformRefusesGivesAQuietManager) {
    fake_->setCreationFails(true);
    for (const auto& manager : {HCNetworkReachabilityManager::manager(),
                                HCNetworkReachabilityManager::managerForDomain("api.example.com"),
                                HCNetworkReachabilityManager::managerForAddress(nullptr)}) {
        ASSERT_TRUE(manager);
        EXPECT_FALSE(manager->networkReachability());
        Recorder recorder;
        manager->startMonitoring();
        NSRunLoop::main().runUntilIdle();
        manager->stopMonitoring();
        EXPECT_EQ(recorder.count(), 0u);
        EXPECT_EQ(manager->networkReachabilityStatus(), Status::Unknown);
    }
    EXPECT_EQ(fake_->targetCount(), 0u);
}

TEST_F(ReachabilityManagerTest, FailedFirstQueryWaitsAndAManagerReleasedInItsBlockStops) {
    fake_->setGetFlagsFails(true);
    auto manager = HCNetworkReachabilityManager::manager();
    std::weak_ptr<HCNetworkReachabilityManager> weak = manager;
    Recorder recorder;
    manager->setReachabilityStatusChangeBlock([&manager](Status status) {
        EXPECT_EQ(status, Status::ReachableViaWiFi);  // no answer before the first change
        manager.reset();
    });
    manager->startMonitoring();
    fake_->setFlags(R);
    ASSERT_TRUE(recorder.waitFor(1));
    NSRunLoop::main().runUntilIdle();
    EXPECT_EQ(recorder.count(), 1u);  // still posted
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(fake_->scheduledCount(), 0u);
}

// A target whose first background query reads the flags, then answers only when the test lets it.
class HeldTarget final : public SCNetworkReachability {
  public:
    explicit HeldTarget(SCNetworkReachabilityFlags flags) : flags_(flags) {}

    bool getFlags(SCNetworkReachabilityFlags* flags) override {
        SCNetworkReachabilityFlags read = flags_;
        if (!NSRunLoop::isMainThread()) {
            std::unique_lock lock(mutex_);
            entered_ = true;
            released_.wait_for(lock, std::chrono::seconds(10), [&] { return release_; });
        }
        *flags = read;
        return true;
    }
    void change(SCNetworkReachabilityFlags flags) {
        flags_ = flags;
        reportFlags(flags);
    }
    bool entered() {
        std::lock_guard lock(mutex_);
        return entered_;
    }
    void release() {
        std::lock_guard lock(mutex_);
        release_ = true;
        released_.notify_all();
    }

  private:
    std::atomic<SCNetworkReachabilityFlags> flags_;
    std::mutex mutex_;
    std::condition_variable released_;
    bool entered_ = false;
    bool release_ = false;
};

TEST_F(ReachabilityManagerTest, LateFirstAnswerDoesNotOverwriteANewerReport) {
    auto target = std::make_shared<HeldTarget>(R);
    auto manager = HCNetworkReachabilityManager::create(target);
    Recorder recorder;
    manager->startMonitoring();
    const long owners = target.use_count();  // the test, the manager and the pending query
    ASSERT_TRUE(runMainUntil([&] { return target->entered(); }));

    // The query has read "WiFi"; meanwhile the platform reports a change to WWAN.
    target->change(R | WWAN);
    ASSERT_TRUE(recorder.waitFor(1));
    EXPECT_EQ(manager->networkReachabilityStatus(), Status::ReachableViaWWAN);

    // Now the old answer comes back; once the query is done its report (if any) is queued.
    target->release();
    ASSERT_TRUE(runMainUntil([&] { return target.use_count() < owners; }));
    NSRunLoop::main().runUntilIdle();
    EXPECT_EQ(manager->networkReachabilityStatus(), Status::ReachableViaWWAN);
    EXPECT_EQ(recorder.count(), 1u);
}

}  // namespace
