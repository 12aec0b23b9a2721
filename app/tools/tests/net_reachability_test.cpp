#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <tuple>
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

TEST_F(NetReachabilityTest, AnswersFollowTheFlags) {
    // Flags, reachableOnWWAN, then reachable, via WWAN, via WiFi, on demand, the status, its text, the flags.
    const std::tuple<SCNetworkReachabilityFlags, bool, bool, bool, bool, bool, S, std::string, std::string>
        rows[] = {
            {0, true, false, false, false, false, S::NotReachable, "No Connection", "-- -------"},
            {R, true, true, false, true, false, S::ReachableViaWiFi, "WiFi", "-R -------"},
            {R | W, true, true, true, false, false, S::ReachableViaWWAN, "Cellular", "WR -------"},
            {R | W, false, false, true, false, false, S::NotReachable, "No Connection", "WR -------"},
            {R | C | T, true, false, false, true, false, S::NotReachable, "No Connection", "-R ct-----"},
            {C | D | I, true, false, false, false, true, S::NotReachable, "No Connection", "-- c-i-D--"}};
    for (const auto& [flags, onWWAN, reachable, viaWWAN, viaWiFi, onDemand, status, text, rendered] : rows) {
        fake_->setFlags("0.0.0.0", flags);
        auto reach = NetReachability::reachabilityForInternetConnection();
        ASSERT_TRUE(reach);
        reach->setReachableOnWWAN(onWWAN);
        EXPECT_EQ(std::tuple(reach->isReachable(), reach->isReachableViaWWAN(), reach->isReachableViaWiFi(),
                             reach->isConnectionOnDemand(), reach->isInterventionRequired(),
                             reach->currentReachabilityStatus(), reach->currentReachabilityString(),
                             reach->currentReachabilityFlags()),
                  std::tuple(reachable, viaWWAN, viaWiFi, onDemand, (flags & (C | I)) == (C | I), status,
                             text, rendered));
    }
}

TEST_F(NetReachabilityTest, CreationAndUnreadableFlags) {
    EXPECT_FALSE(NetReachability::reachabilityWithHostname("") ||
                 NetReachability::reachabilityWithAddress(nullptr));
    fake_->setFlags("169.254.0.0", R);
    auto wifi = NetReachability::reachabilityForLocalWiFi();
    EXPECT_TRUE(wifi && wifi->isReachable());
    fake_->setFlags("example.org", R | W);
    auto host = NetReachability::reachabilityWithHostName("example.org");
    ASSERT_TRUE(host && host->isReachableViaWWAN());
    fake_->setGetFlagsFails(true);
    EXPECT_EQ(
        std::tuple(host->isReachableViaWWAN(), host->currentReachabilityStatus(), host->reachabilityFlags()),
        std::tuple(false, S::NotReachable, 0u));
    fake_->setCreationFails(true);
    EXPECT_FALSE(NetReachability::reachabilityForInternetConnection());
}

TEST_F(NetReachabilityTest, NotifierReportsChangesOnItsQueueUntilStopped) {
    auto reach = NetReachability::reachabilityForInternetConnection();
    std::vector<std::string> calls;  // written on the notifier's queue, read after a hop through it
    auto record = [&](std::string what) {
        return [&, what](NetReachability& r) {
            calls.push_back(what + (r.reachabilitySerialQueue()->isCurrent() ? "@queue" : "@elsewhere"));
        };
    };
    reach->setReachableBlock(record("up"));
    reach->setUnreachableBlock(record("down"));
    std::atomic<int> notices{0};
    auto& centre = NSNotificationCenter::defaultCenter();
    auto token = centre.addObserver(kNetReachabilityChangedNotification, reach, nullptr,
                                    [&](const NSNotification&) { ++notices; });
    EXPECT_TRUE(reach->startNotifier() && reach->startNotifier());
    EXPECT_EQ(fake_->scheduledCount(), 1u);
    std::weak_ptr<NetReachability> weak = reach;
    reach.reset();
    reach = weak.lock();
    ASSERT_TRUE(reach) << "a started notifier keeps itself alive";
    fake_->setFlags(R | W);
    ASSERT_TRUE(NSRunLoop::main().runUntil([&] { return notices == 1; }, 5));
    reach->setReachableOnWWAN(false);
    fake_->setFlags(R | W | C);
    ASSERT_TRUE(NSRunLoop::main().runUntil([&] { return notices == 2; }, 5));
    reach->stopNotifier();
    EXPECT_EQ(reach->reachabilityObject(), nullptr);
    fake_->setFlags(0);
    reach->reachabilitySerialQueue()->sync([] {});
    NSRunLoop::main().runUntilIdle();
    EXPECT_EQ(calls, (std::vector<std::string>{"up@queue", "down@queue"}));
    centre.removeObserver(token);
    reach.reset();
    EXPECT_TRUE(NSRunLoop::main().runUntil([&] { return weak.expired(); }, 5));  // a report may be finishing
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

    // A block may stop the notifier and drop the last reference.
    std::atomic<bool> stopped{false};
    reach->setReachableBlock([&](NetReachability& r) { r.stopNotifier(), stopped = true; });
    std::weak_ptr<NetReachability> weak = reach;
    ASSERT_TRUE(reach->startNotifier());
    reach.reset();
    fake_->setFlags(0);
    fake_->setFlags(R);
    EXPECT_TRUE(NSRunLoop::main().runUntil([&] { return stopped && weak.expired(); }, 5));
}

}  // namespace
