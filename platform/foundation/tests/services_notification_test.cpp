#include "platform/foundation/NotificationCenter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/foundation/tests/test_support.h"

namespace {

using foundation_test::eventually;

struct Sender : Object {};

// Observers hear the posts their name and sender filters let through, in registration order, with the
// sender and user info of the post.
TEST(NotificationCenter, FiltersByNameAndSenderAndDeliversInRegistrationOrder) {
    NSNotificationCenter center;
    auto a = std::make_shared<Sender>();
    auto b = std::make_shared<Sender>();
    std::vector<std::string> calls;
    std::shared_ptr<Object> posted;
    auto record = [&](std::string who) {
        return [&, who](const NSNotification& note) {
            EXPECT_EQ(note.object, posted);
            EXPECT_EQ(Value(note.userInfo), Value::dictionary({{"k", "v"}, {"n", 3}}));
            calls.push_back(who);
        };
    };
    center.addObserver("", nullptr, nullptr, record("any"));
    center.addObserver("ping", nullptr, nullptr, record("ping"));
    center.addObserver("ping", a, nullptr, record("ping-a"));
    center.addObserver("", b, nullptr, record("all-b"));
    center.addObserver("ping", nullptr, nullptr, record("ping-2"));

    const std::tuple<std::string, std::shared_ptr<Object>, std::vector<std::string>> cases[] = {
        {"ping", nullptr, {"any", "ping", "ping-2"}},
        {"ping", a, {"any", "ping", "ping-a", "ping-2"}},
        {"ping", b, {"any", "ping", "all-b", "ping-2"}},
        {"pong", a, {"any"}},
        {"pong", b, {"any", "all-b"}},
    };
    for (const auto& [name, sender, expected] : cases) {
        calls.clear();
        posted = sender;
        center.post(name, sender, Dict{{"k", "v"}, {"n", 3}});
        EXPECT_EQ(calls, expected) << name;
    }
    // Whether a post would reach anyone, asked of a centre with one observer of one sender.
    NSNotificationCenter one;
    EXPECT_FALSE(one.hasObservers("ping"));
    auto pingA = one.addObserver("ping", a, nullptr, [](const NSNotification&) {});
    EXPECT_TRUE(one.hasObservers("ping", a));
    EXPECT_FALSE(one.hasObservers("ping", b));
    EXPECT_FALSE(one.hasObservers("ping"));
    EXPECT_FALSE(one.hasObservers("pong", a));
    one.removeObserver(pingA);
    EXPECT_FALSE(one.hasObservers("ping", a));
    // A private centre is separate from the default one.
    int defaultCalls = 0;
    auto token = NSNotificationCenter::defaultCenter().addObserver(
        "ping", nullptr, nullptr, [&](const NSNotification&) { ++defaultCalls; });
    posted = nullptr;
    center.post("ping", nullptr, Dict{{"k", "v"}, {"n", 3}});
    EXPECT_EQ(defaultCalls, 0);
    NSNotificationCenter::defaultCenter().removeObserver(token);
}

// Queue observers run on their queue; removal cancels deliveries still waiting there.
TEST(NotificationCenter, QueueObserversRunOnTheirQueueUntilRemoved) {
    NSNotificationCenter center;
    auto queue = DispatchQueue::serial("com.quorvane.test.notifications");
    std::mutex mutex;
    std::vector<std::string> labels;
    std::thread::id postingThread = std::this_thread::get_id(), deliveryThread;
    auto token = center.addObserver("n", nullptr, queue, [&](const NSNotification& note) {
        std::lock_guard lock(mutex);
        labels.push_back(DispatchQueue::currentLabel() + ":" + note.userInfo.at("i").stringValue());
        deliveryThread = std::this_thread::get_id();
    });
    for (int i = 0; i < 3; ++i) center.post("n", nullptr, Dict{{"i", i}});
    queue->sync([] {});  // delivered before the removal below
    std::mutex gate;
    std::unique_lock hold(gate);
    queue->async([&] { std::lock_guard wait(gate); });  // keeps the queue busy until released
    center.post("n", nullptr, Dict{{"i", 3}});
    center.removeObserver(token);
    hold.unlock();
    queue->sync([] {});
    std::lock_guard lock(mutex);
    const std::string label = "com.quorvane.test.notifications:";
    EXPECT_EQ(labels, (std::vector<std::string>{label + "0", label + "1", label + "2"}));
    EXPECT_NE(deliveryThread, postingThread);
}

TEST(NotificationCenter, RemovedObserversAreNotCalled) {
    NSNotificationCenter center;
    std::vector<std::string> calls;
    NSNotificationCenter::Token self = 0, later = 0;
    self = center.addObserver("n", nullptr, nullptr, [&](const NSNotification&) {
        calls.push_back("self");
        center.removeObserver(self);  // from inside its own block
    });
    center.addObserver("n", nullptr, nullptr, [&](const NSNotification&) {
        calls.push_back("remover");
        center.removeObserver(later);  // later in this very post
    });
    later =
        center.addObserver("n", nullptr, nullptr, [&](const NSNotification&) { calls.push_back("later"); });
    center.post("n");
    center.post("n");
    EXPECT_EQ(calls, (std::vector<std::string>{"self", "remover", "remover"}));
    center.removeObserver(12345);  // unknown tokens are ignored
}

// Removal from another thread skips an observer the post has not reached yet, and waits for a running one.
TEST(NotificationCenter, RemovalDuringAPostOnAnotherThreadSkipsWaitingObserversAndWaitsForRunningOnes) {
    NSNotificationCenter center;
    std::atomic<bool> running{false}, released{false}, finished{false};
    std::atomic<int> calls{0};
    auto first = center.addObserver("n", nullptr, nullptr, [&](const NSNotification&) {
        running = true;
        eventually([&] { return released.load(); });  // holds the post until the second one is removed
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // still busy when its removal starts
        finished = true;
    });
    auto second = center.addObserver("n", nullptr, nullptr, [&](const NSNotification&) { ++calls; });
    std::thread poster([&] { center.post("n"); });
    ASSERT_TRUE(eventually([&] { return running.load(); }));
    center.removeObserver(second);
    released = true;
    center.removeObserver(first);
    EXPECT_TRUE(finished);  // the block had returned before removeObserver did
    poster.join();
    EXPECT_EQ(calls.load(), 0);
}

TEST(NotificationCenter, ConcurrentPostsAndRemovalsNeverCallARemovedBlock) {
    for (int round = 0; round < 20; ++round) {
        NSNotificationCenter center;
        std::atomic<bool> removed{false};
        std::atomic<int> violations{0}, posts{0};
        center.addObserver("n", nullptr, nullptr, [&](const NSNotification&) { ++posts; });
        auto token = center.addObserver("n", nullptr, nullptr, [&](const NSNotification&) {
            if (removed) ++violations;
            std::this_thread::yield();
            if (removed) ++violations;
        });
        std::atomic<bool> stop{false};
        std::vector<std::thread> posters;
        for (int i = 0; i < 3; ++i) {
            posters.emplace_back([&] {
                while (!stop) center.post("n");
            });
        }
        ASSERT_TRUE(eventually([&] { return posts > 10; }));
        center.removeObserver(token);
        removed = true;
        const int postsAtRemoval = posts;
        ASSERT_TRUE(eventually([&] { return posts > postsAtRemoval + 10; }));
        stop = true;
        for (auto& poster : posters) poster.join();
        EXPECT_EQ(violations.load(), 0);
    }
}

// Neither a sender filter nor an owner keeps its object alive, and an owner's observer ends with it.
TEST(NotificationCenter, OwnerTiedObserversEndWithTheirOwner) {
    NSNotificationCenter center;
    auto sender = std::make_shared<Sender>();
    std::weak_ptr<Sender> weakSender = sender;
    int calls = 0;
    center.addObserver("n", sender, nullptr, [&](const NSNotification&) { ++calls; });
    sender.reset();
    EXPECT_TRUE(weakSender.expired());
    center.post("n", std::make_shared<Sender>());
    EXPECT_EQ(calls, 0);
    auto owner = std::make_shared<int>(0);
    center.addObserver(owner, "n", nullptr, [raw = owner.get()](const NSNotification&) { ++*raw; });
    center.post("n");
    EXPECT_EQ(*owner, 1);
    std::weak_ptr<int> weak = owner;
    owner.reset();
    EXPECT_TRUE(weak.expired());
    center.post("n");                        // would touch freed memory if the block still ran
    EXPECT_FALSE(center.hasObservers("n"));  // both observers are gone with what they were tied to
}

TEST(NotificationCenter, OwnerIsKeptAliveWhileItsBlockRuns) {
    NSNotificationCenter center;
    auto owner = std::make_shared<std::string>("alive");
    std::weak_ptr<std::string> weak = owner;
    std::string seen;
    center.addObserver(owner, "n", nullptr, [&, weak](const NSNotification&) {
        owner.reset();  // the last outside reference goes away mid-call
        auto still = weak.lock();
        seen = still ? *still : "gone";
    });
    center.post("n");
    EXPECT_EQ(seen, "alive");
    EXPECT_TRUE(weak.expired());
}

}  // namespace
