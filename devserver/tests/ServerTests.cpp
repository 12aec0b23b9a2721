// The server's life: ports, start and stop, and the hit counters.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "devserver/DevServer.h"
#include "devserver/tests/TestClient.h"

namespace {

DevServer::Config quietConfig() { return {QUORVANE_DEVSERVER_PAGES, [](const std::string&) {}}; }

TEST(DevServerLife, EphemeralPortsAreDistinctAndATakenPortOrASecondStartIsRefused) {
    DevServer first(quietConfig());
    DevServer second(quietConfig());
    auto a = first.start("127.0.0.1", 0);
    auto b = second.start("127.0.0.1", 0);
    ASSERT_TRUE(a && b);
    EXPECT_GT(*a, 0);
    EXPECT_NE(*a, *b);

    DevServer third(quietConfig());
    std::string error;
    EXPECT_FALSE(third.start("127.0.0.1", *a, &error));
    EXPECT_EQ(error, "cannot listen on 127.0.0.1:" + std::to_string(*a));
    EXPECT_FALSE(third.isRunning());
    EXPECT_FALSE(first.start("127.0.0.1", 0, &error));
    EXPECT_EQ(error, "already running");

    for (int port : {*a, *b}) EXPECT_EQ(rawGet(port, "/vqd_web/").status, 200) << port;  // both unharmed
}

TEST(DevServerLife, StopsAndStartsAgainAndStopsRightAfterStarting) {
    for (int round = 0; round < 20; ++round) {
        DevServer server(quietConfig());
        ASSERT_TRUE(server.start("127.0.0.1", 0));
    }
    DevServer server(quietConfig());
    auto port = server.start("127.0.0.1", 0);
    ASSERT_TRUE(port);
    server.stop();
    EXPECT_FALSE(server.isRunning());
    EXPECT_EQ(rawGet(*port, "/vqd_web/").status, 0);
    server.stop();

    auto again = server.start("127.0.0.1", 0);
    ASSERT_TRUE(again);
    EXPECT_EQ(rawGet(*again, "/vqd_web/").status, 200);
}

TEST(DevServerHits, CountsEveryRequestByPathWithoutTheQueryExactlyUnderConcurrency) {
    DevServer server(quietConfig());
    auto port = server.start("127.0.0.1", 0);
    ASSERT_TRUE(port);
    constexpr int kThreads = 8, kRequests = 20;
    std::atomic<int> answered{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRequests; ++i)
                answered += rawGet(*port, "/vqd_web/detail.html").status == 200;
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(answered.load(), kThreads * kRequests);
    EXPECT_EQ(server.hits("/vqd_web/detail.html"), static_cast<size_t>(kThreads * kRequests));

    askCode(*port, "13800000000");
    postEntry(*port, "{", "method=other");
    rawGet(*port, "/vqd_web/index.html?x=1");
    rawGet(*port, "/vqd_web/missing.html");
    EXPECT_EQ(server.hits("/viziDO/entry/appWeb.do"), 2u);
    EXPECT_EQ(server.hits("/vqd_web/index.html"), 1u);
    EXPECT_EQ(server.hits("/vqd_web/missing.html"), 1u);
    EXPECT_EQ(server.allHits().size(), 4u);
}

}  // namespace
