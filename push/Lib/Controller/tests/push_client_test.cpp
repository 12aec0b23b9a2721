// The push client's thread (order, failing work) and facade (set-up, hand-over, answers while unregistered).
#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <tuple>

#include "platform/foundation/Format.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Sandbox.h"
#include "push/Lib/Controller/PUSHService.h"
#include "push/Lib/Controller/PUSHThread.h"
#include "pushlog/PUSHLog.h"
#include "pushlog/PUSHTTYLogger.h"
#include "testsupport/LoggingTestLoggers.h"
#include "testsupport/TempDir.h"

namespace {

class PushClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        static TempDir home;  // the client's log files, removed at exit
        Sandbox::setHome(home.path());
        ASSERT_TRUE(PUSHService::resetForTesting());
        PUSHLog::addLogger(capture_, PUSHLogLevelAll);
    }
    void TearDown() override {
        EXPECT_TRUE(PUSHService::waitUntilIdleForTesting());
        PUSHLog::removeLogger(capture_);
        PUSHLog::flushLog();
    }
    // The positions of the captured lines holding `fragment`, after the push thread has finished what it
    // was handed (unless `settle` is off).
    std::vector<long> find(const std::string& fragment, bool settle = true) {
        EXPECT_TRUE(!settle || PUSHService::waitUntilIdleForTesting());
        std::vector<long> at;
        for (size_t i = 0, all = capture_->messages().size(); i < all; ++i)
            if (capture_->messages()[i]->message().find(fragment) != std::string::npos) at.push_back(long(i));
        return at;
    }
    size_t count(const std::string& fragment, bool settle = true) { return find(fragment, settle).size(); }
    // setTags; waits (bounded) for its answer, then runs the main queue dry. The number of answers.
    int setTagsAndAwait(const Value& tags, const Value& alias) {
        int calls = 0;
        PUSHService::setTags(tags, alias, [&](int code, const Value& t, const Value& a) {
            ++calls;
            EXPECT_EQ(std::tuple(code, t, a), std::tuple(kPUSHTagsAliasResultNotRegistered, tags, alias));
            EXPECT_TRUE(NSRunLoop::isMainThread());
        });
        EXPECT_TRUE(NSRunLoop::main().runUntil([&] { return calls > 0; }, 10));
        NSRunLoop::main().runUntilIdle();
        return calls;
    }

    std::shared_ptr<CapturingLogger> capture_ = CapturingLogger::create();
};

TEST_F(PushClientTest, TheThreadRunsWorkInOrderAndSurvivesWorkThatThrows) {
    constexpr int kThreads = 4, kBlocks = 200;
    std::vector<std::pair<int, int>> ran;  // touched on the push thread only; -1: a block ran elsewhere
    std::vector<std::thread> callers;
    for (int t = 0; t < kThreads; ++t) {
        callers.emplace_back([&, t] {
            for (int i = 0; i < kBlocks; ++i) {
                PUSHThread::shared().perform([&, t, i] {
                    ran.emplace_back(t, PUSHThread::isCurrent() ? i : -1);
                    if (i == kBlocks / 2) throw std::runtime_error("socket closed");
                });
            }
        });
    }
    for (auto& caller : callers) caller.join();
    PUSHThread::shared().perform([] { throw 7; });
    ASSERT_TRUE(PUSHThread::shared().waitUntilIdle(10));

    ASSERT_EQ(ran.size(), size_t(kThreads * kBlocks));
    std::vector<int> next(kThreads, 0);
    for (auto [t, i] : ran) EXPECT_EQ(i, next[t]++) << "caller " << t;
    EXPECT_EQ(count("PUSHThread: a task threw and was abandoned: socket closed"), size_t(kThreads));
    EXPECT_EQ(count("PUSHThread: a task threw and was abandoned"), size_t(kThreads + 1));
}

TEST_F(PushClientTest, TheFacadeRefusesBadKeysGivesUpTagsAndHandsItsWorkOverInCallOrder) {
    // Too short, not hexadecimal, a NUL inside, format characters (only text).
    for (auto& key :
         {std::string(), std::string("9be2407d13ac6f58d2e71a3"), std::string("9be2407d13ac6f58d2e71a3g"),
          std::string("9be2407d13ac6f58\0d2e71a3", 24), std::string("%@%@%@%@%@%@%@%@%@%@%@%@")}) {
        PUSHService::setupWithOption(Value(), key, "Publish channel", true);
        EXPECT_EQ(capture_->messages().back()->message(),
                  "invalid appKey:" + key + ", expected 24 hexadecimal characters; push client not started");
        EXPECT_EQ(capture_->messages().back()->flag(), PUSHLogFlagError);
    }
    // Tags before set-up: ignored, given up, and still answered once.
    const Value tags = Value::set({"13800000000"}), alias = "13800000000";
    const std::string givenUp =
        NSString::format("app not registed, give up set tag:%@ alias:%@", {tags, alias});
    EXPECT_EQ(setTagsAndAwait(tags, alias), 1);
    EXPECT_EQ(count("push client not set up, setTags:alias:fetchCompletionHandle: ignored"), 1u);
    EXPECT_EQ(count(givenUp), 1u);

    std::promise<void> entered, open;
    auto opened = open.get_future().share();
    PUSHThread::shared().perform([&entered, opened] {
        entered.set_value();
        opened.wait_for(std::chrono::seconds(10));
    });
    ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    PUSHService::setupWithOption(Value(), "9BE2407D13AC6F58D2E71A3C", "first", true);  // either case
    PUSHService::setupWithOption(Value(), "0123456789abcdef01234567", "second", false);
    PUSHService::registerDeviceToken(Data(std::vector<uint8_t>{0x0a, 0xff, 0x10, 0x00, 0x7f}));
    PUSHService::handleRemoteNotification(Value::dictionary({{"_p_msgid", "77"}}));
    PUSHService::setTags(Value(), Value(), nullptr);  // given up all the same, without a completion
    // Every call has returned and none of their work has run: the thread is still held.
    EXPECT_EQ(count("Action - ", false), 11u);  // 5 refused set-ups and setTags before, 5 calls here
    EXPECT_EQ(count("push client already set up, setupWithOption ignored", false), 1u);
    const char* work[] = {
        "push client started, appKey:9BE2407D13AC6F58D2E71A3C channel:first apsForProduction:YES",
        "device token:0aff10007f", "message _p_msgid:77 arrived", "app not registed, give up set tag:<null>"};
    for (auto fragment : work) EXPECT_EQ(count(fragment, false), 0u) << fragment;

    open.set_value();
    // The work ran afterwards, once each, in call order; the token is logged as hex.
    std::vector<long> order;
    for (auto fragment : work) {
        auto at = find(fragment);
        EXPECT_EQ(at.size(), 1u) << fragment;
        order.push_back(at.empty() ? -1 : at[0]);
    }
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    auto loggers = PUSHLog::allLoggers();
    EXPECT_NE(std::find(loggers.begin(), loggers.end(), PUSHTTYLogger::sharedInstance()), loggers.end());
    EXPECT_EQ(setTagsAndAwait(tags, alias), 1);
    EXPECT_EQ(count(givenUp), 2u);
}

}  // namespace
