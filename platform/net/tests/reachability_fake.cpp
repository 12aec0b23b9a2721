#include <gtest/gtest.h>

#include <netinet/in.h>

#include "platform/net/ReachabilityFake.h"

namespace {

constexpr auto kReachable = kSCNetworkReachabilityFlagsReachable;
constexpr auto kWWAN = kSCNetworkReachabilityFlagsReachable | kSCNetworkReachabilityFlagsIsWWAN;

class FakeReachabilityTest : public ::testing::Test {
  protected:
    void SetUp() override { fake_ = FakeReachabilityProvider::install(); }
    void TearDown() override { FakeReachabilityProvider::uninstall(); }

    static SCNetworkReachabilityPtr zeroAddressTarget() {
        sockaddr_in zero{};
        zero.sin_family = AF_INET;
        return SCNetworkReachabilityCreateWithAddress(reinterpret_cast<const sockaddr*>(&zero));
    }
    static SCNetworkReachabilityFlags flagsOf(const SCNetworkReachabilityPtr& target) {
        SCNetworkReachabilityFlags flags = 0xdeadbeef;
        EXPECT_TRUE(target->getFlags(&flags));
        return flags;
    }

    std::shared_ptr<FakeReachabilityProvider> fake_;
};

TEST_F(FakeReachabilityTest, InjectedProviderAnswersWithTheFlagsSet) {
    ASSERT_EQ(ReachabilityProvider::current(), fake_);
    auto zero = zeroAddressTarget();
    auto host = SCNetworkReachabilityCreateWithName("api.example.com");
    ASSERT_TRUE(zero && host);
    EXPECT_EQ(flagsOf(zero), 0u);
    fake_->setFlags(kReachable);
    fake_->setFlags("api.example.com", kWWAN);
    EXPECT_EQ(flagsOf(zero), kReachable);
    EXPECT_EQ(flagsOf(host), kWWAN);
    fake_->clearFlags("api.example.com");
    EXPECT_EQ(flagsOf(host), kReachable);

    fake_->setGetFlagsFails(true);
    SCNetworkReachabilityFlags flags = 0;
    EXPECT_FALSE(zero->getFlags(&flags));
    fake_->setCreationFails(true);
    EXPECT_FALSE(SCNetworkReachabilityCreateWithName("api.example.com"));

    FakeReachabilityProvider::uninstall();
    EXPECT_EQ(ReachabilityProvider::current(), ReachabilityProvider::system());
}

// Reports reach the run loop only on a change of the target's flags; none once the target is unscheduled,
// destroyed, or its callback removed.
TEST_F(FakeReachabilityTest, ChangesReachTheRunLoopOnlyWhenTheFlagsChange) {
    auto target = zeroAddressTarget();
    auto second = zeroAddressTarget();
    std::vector<SCNetworkReachabilityFlags> seen;
    int secondCalls = 0;
    target->setCallback([&](SCNetworkReachabilityFlags flags) { seen.push_back(flags); });
    second->setCallback([&](SCNetworkReachabilityFlags) { ++secondCalls; });
    ASSERT_TRUE(target->scheduleWithRunLoop(NSRunLoop::main(), NSRunLoopCommonModes));
    ASSERT_TRUE(second->scheduleWithRunLoop(NSRunLoop::main(), NSDefaultRunLoopMode));
    EXPECT_EQ(fake_->scheduledCount(), 2u);

    fake_->setFlags(kReachable);
    fake_->setFlags(kReachable);              // no change
    fake_->setFlags("other.example", kWWAN);  // another target's key
    fake_->setFlags(kWWAN);
    fake_->setFlags(0);
    second->setCallback(nullptr);
    NSRunLoop::main().runUntilIdle();
    EXPECT_EQ(seen, (std::vector<SCNetworkReachabilityFlags>{kReachable, kWWAN, 0}));
    EXPECT_EQ(secondCalls, 0);

    fake_->setFlags(kReachable);
    ASSERT_TRUE(target->unscheduleFromRunLoop(NSRunLoop::main(), NSRunLoopCommonModes));
    NSRunLoop::main().runUntilIdle();
    EXPECT_EQ(seen.size(), 3u);
    EXPECT_FALSE(target->unscheduleFromRunLoop(NSRunLoop::main(), NSRunLoopCommonModes));

    ASSERT_TRUE(target->scheduleWithRunLoop(NSRunLoop::main(), NSDefaultRunLoopMode));
    fake_->setFlags(0);
    target.reset();
    second.reset();
    EXPECT_EQ(fake_->targetCount(), 0u);
    EXPECT_EQ(fake_->scheduledCount(), 0u);
    NSRunLoop::main().runUntilIdle();
    EXPECT_EQ(seen.size(), 3u);
}

TEST_F(FakeReachabilityTest, QueueDeliveryAndSchedulingRules) {
    auto target = zeroAddressTarget();
    auto queue = DispatchQueue::serial("fake.reachability");
    auto done = DispatchSemaphore::create(0);
    std::atomic<SCNetworkReachabilityFlags> delivered{0};
    std::atomic<bool> onQueue{false};
    target->setCallback([&](SCNetworkReachabilityFlags flags) {
        onQueue = queue->isCurrent();
        delivered = flags;
        done->signal();
    });
    ASSERT_TRUE(target->setDispatchQueue(queue));
    EXPECT_TRUE(target->setDispatchQueue(queue));  // again on the same queue
    EXPECT_FALSE(target->setDispatchQueue(DispatchQueue::serial("another")));
    EXPECT_FALSE(target->scheduleWithRunLoop(NSRunLoop::main(), NSDefaultRunLoopMode));
    fake_->setFlags(kWWAN);
    ASSERT_TRUE(done->wait(10));
    EXPECT_EQ(delivered.load(), kWWAN);
    EXPECT_TRUE(onQueue.load());
    EXPECT_TRUE(target->setDispatchQueue(nullptr));
}

}  // namespace
