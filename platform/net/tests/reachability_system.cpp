#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <thread>

#include "platform/net/Reachability.h"

namespace {

constexpr auto kReachable = kSCNetworkReachabilityFlagsReachable;
constexpr auto kLocalDirect = kSCNetworkReachabilityFlagsReachable |
                              kSCNetworkReachabilityFlagsIsLocalAddress | kSCNetworkReachabilityFlagsIsDirect;

SCNetworkReachabilityPtr targetFor(const std::string& text) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    EXPECT_EQ(inet_pton(AF_INET, text.c_str(), &in.sin_addr), 1) << text;
    return SCNetworkReachabilityCreateWithAddress(reinterpret_cast<const sockaddr*>(&in));
}

SCNetworkReachabilityFlags flagsOf(const SCNetworkReachabilityPtr& target) {
    SCNetworkReachabilityFlags flags = 0xdeadbeef;
    EXPECT_TRUE(target->getFlags(&flags));
    return flags;
}

// Collects reported flags; waits are bounded.
class Recorder {
  public:
    SCNetworkReachability::Callback callback() {
        return [this](SCNetworkReachabilityFlags flags) {
            std::lock_guard lock(mutex_);
            seen_.push_back(flags);
            changed_.notify_all();
        };
    }
    bool waitFor(const std::function<bool(SCNetworkReachabilityFlags)>& predicate, double seconds = 10) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                                 [&] { return !seen_.empty() && predicate(seen_.back()); });
    }
    std::vector<SCNetworkReachabilityFlags> seen() {
        std::lock_guard lock(mutex_);
        return seen_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<SCNetworkReachabilityFlags> seen_;
};

TEST(ReachabilityTest, BadTargetsAreRefusedAndLoopbackIsLocalAndDirect) {
    sockaddr_un unixAddress{};
    unixAddress.sun_family = AF_UNIX;
    EXPECT_FALSE(SCNetworkReachabilityCreateWithAddress(nullptr));
    EXPECT_FALSE(SCNetworkReachabilityCreateWithAddress(reinterpret_cast<const sockaddr*>(&unixAddress)));
    EXPECT_FALSE(SCNetworkReachabilityCreateWithName(""));
    EXPECT_FALSE(SCNetworkReachabilityCreateWithName(std::string("a\0b", 3)));
    auto target = targetFor("127.0.0.1");
    ASSERT_TRUE(target);
    EXPECT_FALSE(target->getFlags(nullptr));
    // On any machine with a running loopback interface, the whole 127/8 is local and direct.
    EXPECT_EQ(flagsOf(target), kLocalDirect);
    EXPECT_EQ(flagsOf(targetFor("127.0.0.53")), kLocalDirect);
    // A numeric name is an address: answered at once.
    auto byName = SCNetworkReachabilityCreateWithName("127.0.0.1");
    ASSERT_TRUE(byName);
    EXPECT_EQ(flagsOf(byName), kLocalDirect);
}

TEST(ReachabilityTest, HostNameIsResolvedOffTheCallersThread) {
    auto target = SCNetworkReachabilityCreateWithName("localhost");
    ASSERT_TRUE(target);
    Recorder recorder;
    target->setCallback(recorder.callback());
    auto queue = DispatchQueue::serial("reachability.test");
    ASSERT_TRUE(target->setDispatchQueue(queue));
    // Either the worker was done before scheduling (then the flags are already known) or its answer arrives
    // as a change.
    if (flagsOf(target) != kLocalDirect) {
        EXPECT_TRUE(recorder.waitFor([](auto flags) { return flags == kLocalDirect; }));
    }
    EXPECT_EQ(flagsOf(target), kLocalDirect);
    EXPECT_TRUE(target->setDispatchQueue(nullptr));

    // A name that cannot resolve stays unreachable, without blocking the caller.
    auto nowhere = SCNetworkReachabilityCreateWithName("no-such-host.invalid");
    ASSERT_TRUE(nowhere);
    EXPECT_EQ(flagsOf(nowhere), 0u);
}

// --- in a network namespace of its own --------------------------------------------------------------------

constexpr const char* kChildVariable = "QUORVANE_REACHABILITY_NETNS_CHILD";
constexpr int kSkipExit = 77;

bool run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// The child's part: a fresh namespace has a loopback interface that is down and no routes.
void namespaceScenario() {
    if (unshare(CLONE_NEWNET) != 0) std::_Exit(kSkipExit);
    if (!run("ip link show lo")) std::_Exit(kSkipExit);

    auto zero = targetFor("0.0.0.0");
    auto loopback = targetFor("127.0.0.1");
    ASSERT_TRUE(zero && loopback);
    EXPECT_EQ(flagsOf(zero), 0u);
    EXPECT_EQ(flagsOf(loopback), 0u);

    Recorder zeroChanges, loopbackChanges;
    zero->setCallback(zeroChanges.callback());
    loopback->setCallback(loopbackChanges.callback());
    auto queue = DispatchQueue::serial("reachability.netns");
    ASSERT_TRUE(zero->setDispatchQueue(queue));
    ASSERT_TRUE(loopback->setDispatchQueue(queue));

    ASSERT_TRUE(run("ip link set lo up"));
    EXPECT_TRUE(loopbackChanges.waitFor([](auto flags) { return flags == kLocalDirect; }));
    ASSERT_TRUE(run("ip route add default dev lo"));
    EXPECT_TRUE(zeroChanges.waitFor([](auto flags) { return (flags & kReachable) != 0; }));
    EXPECT_EQ(zeroChanges.seen().size(), 1u);  // lo coming up alone did not change the zero address
    EXPECT_EQ(loopbackChanges.seen().size(), 1u);
    EXPECT_TRUE(zero->setDispatchQueue(nullptr));
    EXPECT_TRUE(loopback->setDispatchQueue(nullptr));

    // The polling fallback sees the route go away.
    ReachabilityMonitor::setModeForTesting(ReachabilityMonitor::Mode::Polling, 0.2);
    Recorder polled;
    zero->setCallback(polled.callback());
    ASSERT_TRUE(zero->setDispatchQueue(queue));
    ASSERT_TRUE(run("ip route del default dev lo"));
    EXPECT_TRUE(polled.waitFor([](auto flags) { return flags == 0; }));
    EXPECT_TRUE(zero->setDispatchQueue(nullptr));
    ReachabilityMonitor::setModeForTesting(ReachabilityMonitor::Mode::Netlink);
}

TEST(ReachabilityNamespaceTest, ZeroAddressFollowsTheDefaultRoute) {
    if (getenv(kChildVariable)) {
        namespaceScenario();
        return;
    }
    // Run the scenario in a fresh process (exec'd, so that it starts with one thread) in its own namespace.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setenv(kChildVariable, "1", 1);
        const char* filter = "--gtest_filter=ReachabilityNamespaceTest.ZeroAddressFollowsTheDefaultRoute";
        execl("/proc/self/exe", "reachability_tests", filter, static_cast<char*>(nullptr));
        std::_Exit(127);
    }
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    pid_t done = 0;
    while ((done = waitpid(child, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (done == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        FAIL() << "the namespace scenario did not finish in 60 s";
    }
    ASSERT_TRUE(WIFEXITED(status)) << "the namespace scenario crashed";
    if (WEXITSTATUS(status) == kSkipExit) GTEST_SKIP() << "no network namespace can be made here";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the namespace scenario failed (see its output above)";
}

}  // namespace
