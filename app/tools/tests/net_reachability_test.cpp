#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/tools/NetReachability.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/RunLoop.h"
#include "platform/net/ReachabilityFake.h"

namespace {

constexpr auto R = kSCNetworkReachabilityFlagsReachable;
constexpr auto W = kSCNetworkReachabilityFlagsIsWWAN;
constexpr auto C = kSCNetworkReachabilityFlagsConnectionRequired;
constexpr auto T = kSCNetworkReachabilityFlagsTransientConnection;
constexpr auto I = kSCNetworkReachabilityFlagsInterventionRequired;
constexpr auto D = kSCNetworkReachabilityFlagsConnectionOnDemand;
using S = NetReachabilityStatus;

class NetReachabilityTest : public ::testing::Test {
  protected:
    ~NetReachabilityTest() override { FakeReachabilityProvider::uninstall(); }
    std::shared_ptr<FakeReachabilityProvider> fake_ = FakeReachabilityProvider::install();
};

struct StatusCase {
    SCNetworkReachabilityFlags flags;
    bool onWWAN;  // reachableOnWWAN
    bool reachable, viaWWAN, viaWiFi, onDemand;
    S status;
    const char* string;
    const char* rendered;
};

class NetReachabilityFlagsTest : public NetReachabilityTest,
                                 public ::testing::WithParamInterface<StatusCase> {};

TEST_P(NetReachabilityFlagsTest, AnswersFollowTheFlags) {
    const auto& c = GetParam();
    fake_->setFlags("0.0.0.0", c.flags);
    auto reach = NetReachability::reachabilityForInternetConnection();
    ASSERT_TRUE(reach);
    reach->setReachableOnWWAN(c.onWWAN);
    EXPECT_EQ(reach->isReachable(), c.reachable);
    EXPECT_EQ(reach->isReachableViaWWAN(), c.viaWWAN);
    EXPECT_EQ(reach->isReachableViaWiFi(), c.viaWiFi);
    EXPECT_EQ(reach->isConnectionOnDemand(), c.onDemand);
    EXPECT_EQ(reach->isInterventionRequired(), (c.flags & (C | I)) == (C | I));
    EXPECT_EQ(reach->currentReachabilityStatus(), c.status);
    EXPECT_EQ(reach->currentReachabilityString(), c.string);
    EXPECT_EQ(reach->currentReachabilityFlags(), c.rendered);
}

const StatusCase kStatusCases[] = {
    {0, true, false, false, false, false, S::NotReachable, "No Connection", "-- -------"},
    {R, true, true, false, true, false, S::ReachableViaWiFi, "WiFi", "-R -------"},
    {R | W, true, true, true, false, false, S::ReachableViaWWAN, "Cellular", "WR -------"},
    {R | W, false, false, true, false, false, S::NotReachable, "No Connection", "WR -------"},
    {R | C | T, true, false, false, true, false, S::NotReachable, "No Connection", "-R ct-----"},
    {C | D | I, true, false, false, false, true, S::NotReachable, "No Connection", "-- c-i-D--"},
};
INSTANTIATE_TEST_SUITE_P(Flags, NetReachabilityFlagsTest, ::testing::ValuesIn(kStatusCases));

TEST_F(NetReachabilityTest, CreationAndUnreadableFlags) {
    EXPECT_FALSE(NetReachability::reachabilityWithHostname(""));
    EXPECT_FALSE(NetReachability::reachabilityWithAddress(nullptr));
    fake_->setFlags("169.254.0.0", R);
    ASSERT_TRUE(NetReachability::reachabilityForLocalWiFi());
    EXPECT_TRUE(NetReachability::reachabilityForLocalWiFi()->isReachable());
    fake_->setFlags("example.org", R | W);
    auto host = NetReachability::reachabilityWithHostName("example.org");
    ASSERT_TRUE(host);
    EXPECT_TRUE(host->isReachableViaWWAN());
    fake_->setGetFlagsFails(true);
    EXPECT_FALSE(host->isReachableViaWWAN());
    EXPECT_EQ(host->currentReachabilityStatus(), S::NotReachable);
    EXPECT_EQ(host->reachabilityFlags(), 0u);
    fake_->setCreationFails(true);
    EXPECT_FALSE(NetReachability::reachabilityForInternetConnection());
}

TEST_F(NetReachabilityTest, NotifierReportsChangesUntilStopped) {
    auto reach = NetReachability::reachabilityForInternetConnection();
    std::mutex mutex;
    std::vector<std::string> calls;
    auto record = [&](std::string what) {
        return [&, what](NetReachability& r) {
            std::lock_guard lock(mutex);
            calls.push_back(what + (r.reachabilitySerialQueue()->isCurrent() ? "@queue" : "@elsewhere"));
        };
    };
    reach->setReachableBlock(record("up"));
    reach->setUnreachableBlock(record("down"));
    std::atomic<int> notices{0};
    auto& centre = NSNotificationCenter::defaultCenter();
    auto token = centre.addObserver(kNetReachabilityChangedNotification, reach, nullptr,
                                    [&](const NSNotification&) { ++notices; });
    EXPECT_TRUE(reach->startNotifier());
    EXPECT_TRUE(reach->startNotifier());
    EXPECT_EQ(fake_->scheduledCount(), 1u);

    // A started notifier keeps itself alive.
    std::weak_ptr<NetReachability> weak = reach;
    reach.reset();
    reach = weak.lock();
    ASSERT_TRUE(reach);

    fake_->setFlags(R | W);
    ASSERT_TRUE(NSRunLoop::main().runUntil([&] { return notices == 1; }, 5));
    reach->setReachableOnWWAN(false);
    fake_->setFlags(R | W | C);
    ASSERT_TRUE(NSRunLoop::main().runUntil([&] { return notices == 2; }, 5));
    reach->stopNotifier();
    EXPECT_EQ(reach->reachabilityObject(), nullptr);
    fake_->setFlags(0);
    NSRunLoop::main().runUntilIdle();
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(calls, (std::vector<std::string>{"up@queue", "down@queue"}));
    }
    centre.removeObserver(token);
    reach.reset();
    // The last report may still be finishing on the notifier's queue.
    EXPECT_TRUE(NSRunLoop::main().runUntil([&] { return weak.expired(); }, 5));
}

TEST_F(NetReachabilityTest, BlockMayStopAndDropTheLastReference) {
    auto reach = NetReachability::reachabilityForInternetConnection();
    std::atomic<bool> ran{false};
    reach->setReachableBlock([&](NetReachability& r) {
        r.stopNotifier();
        ran = true;
    });
    std::weak_ptr<NetReachability> weak = reach;
    ASSERT_TRUE(reach->startNotifier());
    reach.reset();
    fake_->setFlags(R);
    EXPECT_TRUE(NSRunLoop::main().runUntil([&] { return ran && weak.expired(); }, 5));
}

TEST_F(NetReachabilityTest, BlocksMayChangeWhileReportsRun) {
    auto reach = NetReachability::reachabilityForInternetConnection();
    std::atomic<int> ran{0};
    auto count = [&ran, padding = std::string(64, 'x')](NetReachability&) {
        ran += int(padding.size() / 64);
    };
    reach->setReachableBlock(count);
    reach->setUnreachableBlock(count);
    ASSERT_TRUE(reach->startNotifier());
    constexpr int kReports = 500;
    std::thread reporter([&] {
        for (int i = 0; i < kReports; ++i) reach->reachabilityChanged(i % 2 ? R : 0);
    });
    for (int i = 0; i < kReports; ++i) {
        reach->setReachableBlock(count);
        reach->setUnreachableBlock(i % 3 ? count : NetReachability::Block());
        fake_->setFlags(i % 2 ? R : 0);  // reports on the notifier's queue too
    }
    reach->setUnreachableBlock(count);
    reporter.join();
    reach->stopNotifier();
    reach->reachabilitySerialQueue()->sync([] {});  // a report already started has ended
    EXPECT_GE(ran.load(), kReports / 2) << "at least every reachable report of the reporting thread";
    NSRunLoop::main().runUntilIdle();
}

}  // namespace
