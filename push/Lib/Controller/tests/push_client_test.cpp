// The push client: its thread (order, failing work) and its facade (set-up once, refused
// keys, hand-over to the thread, and the answers it gives while not registered).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

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

// The client writes its log files under the sandbox: the run gets a temporary one, removed at exit (the
// client's loggers stay registered until then, as they do in the application).
class PushSandbox : public ::testing::Environment {
  public:
    void SetUp() override {
        static TempDir home;
        Sandbox::setHome(home.path());
    }
    void TearDown() override { PUSHLog::flushLog(); }
};
[[maybe_unused]] const auto* const kSandbox = ::testing::AddGlobalTestEnvironment(new PushSandbox());

constexpr const char* kAppKey = "9be2407d13ac6f58d2e71a3c";

// Holds whoever waits on it until opened, for at most ten seconds, so a broken test cannot hang.
class Gate {
  public:
    void wait() {
        std::unique_lock lock(mutex_);
        entered_ = true;
        changed_.notify_all();
        changed_.wait_for(lock, std::chrono::seconds(10), [&] { return open_; });
    }
    bool waitUntilEntered() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return entered_; });
    }
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool entered_ = false;
    bool open_ = false;
};

struct TagsAnswer {
    int calls = 0;
    int code = -100;
    Value tags, alias;
    bool onMainThread = false;
};

class PushClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(PUSHService::resetForTesting());
        PUSHLog::addLogger(capture_, PUSHLogLevelAll);
    }
    void TearDown() override {
        EXPECT_TRUE(PUSHService::waitUntilIdleForTesting());
        NSRunLoop::main().runUntilIdle();
        PUSHLog::removeLogger(capture_);
    }

    // Captured lines holding `fragment`, after the push thread has finished what it was handed.
    std::vector<PUSHLogMessagePtr> logged(const std::string& fragment, bool settle = true) {
        if (settle) {
            EXPECT_TRUE(PUSHService::waitUntilIdleForTesting());
        }
        std::vector<PUSHLogMessagePtr> out;
        for (auto& message : capture_->messages()) {
            if (message->message().find(fragment) != std::string::npos) out.push_back(message);
        }
        return out;
    }
    size_t count(const std::string& fragment, bool settle = true) { return logged(fragment, settle).size(); }
    // Position of the first captured line holding `fragment`, or -1.
    long indexOf(const std::string& fragment) const {
        auto all = capture_->messages();
        for (size_t i = 0; i < all.size(); ++i) {
            if (all[i]->message().find(fragment) != std::string::npos) return long(i);
        }
        return -1;
    }
    static PUSHTagsAliasCompletion recordInto(const std::shared_ptr<TagsAnswer>& answer) {
        return [answer](int code, const Value& tags, const Value& alias) {
            ++answer->calls;
            answer->code = code;
            answer->tags = tags;
            answer->alias = alias;
            answer->onMainThread = NSRunLoop::isMainThread();
        };
    }
    // Waits (bounded) for the answer, then lets the main queue run dry so that a second one would show.
    static void awaitAnswer(const std::shared_ptr<TagsAnswer>& answer) {
        ASSERT_TRUE(NSRunLoop::main().runUntil([&] { return answer->calls > 0; }, 10));
        EXPECT_TRUE(PUSHService::waitUntilIdleForTesting());
        NSRunLoop::main().runUntilIdle();
    }

    std::shared_ptr<CapturingLogger> capture_ = CapturingLogger::create();
};

using PushThreadTest = PushClientTest;
using PushServiceTest = PushClientTest;

TEST_F(PushThreadTest, RunsWorkInOrderOnItsOwnThreadAndSurvivesWorkThatThrows) {
    constexpr int kThreads = 4, kBlocks = 200;
    std::vector<std::pair<int, int>> ran;  // touched on the push thread only
    std::atomic<int> offThread{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < kThreads; ++t) {
        callers.emplace_back([&, t] {
            for (int i = 0; i < kBlocks; ++i) {
                PUSHThread::shared().perform([&, t, i] {
                    if (!PUSHThread::isCurrent()) ++offThread;
                    ran.emplace_back(t, i);
                    if (i == kBlocks / 2) throw std::runtime_error("socket closed");
                });
            }
        });
    }
    for (auto& caller : callers) caller.join();
    PUSHThread::shared().perform([] { throw 7; });
    ASSERT_TRUE(PUSHThread::shared().waitUntilIdle(10));

    EXPECT_EQ(offThread.load(), 0);
    ASSERT_EQ(ran.size(), size_t(kThreads * kBlocks));
    std::vector<int> next(kThreads, 0);
    for (auto [t, i] : ran) EXPECT_EQ(i, next[t]++) << "caller " << t;
    EXPECT_EQ(count("PUSHThread: a task threw and was abandoned: socket closed"), size_t(kThreads));
    EXPECT_EQ(count("PUSHThread: a task threw and was abandoned"), size_t(kThreads + 1));
}

TEST_F(PushServiceTest, CallsReturnAtOnceWhileThePushThreadIsBusy) {
    auto gate = std::make_shared<Gate>();
    PUSHThread::shared().perform([gate] { gate->wait(); });
    ASSERT_TRUE(gate->waitUntilEntered());

    PUSHService::setupWithOption(Value(), kAppKey, "Publish channel", true);
    PUSHService::registerDeviceToken(Data(std::vector<uint8_t>{0x0a, 0xff, 0x10, 0x00, 0x7f}));
    PUSHService::handleRemoteNotification(Value::dictionary({{"_p_msgid", "77"}}));
    auto answer = std::make_shared<TagsAnswer>();
    PUSHService::setTags(Value::set({"x"}), "x", recordInto(answer));

    // Every call has returned and none of their work has run: the thread is still held.
    EXPECT_EQ(count("Action - ", false), 4u);
    for (auto fragment : {"push client started", "device token", "_p_msgid:77", "app not registed"}) {
        EXPECT_EQ(indexOf(fragment), -1) << fragment;
    }
    EXPECT_EQ(answer->calls, 0);

    gate->open();
    ASSERT_TRUE(PUSHService::waitUntilIdleForTesting());
    // The work ran afterwards, in call order; the token is logged as hex.
    std::vector<long> order{indexOf("push client started"), indexOf("device token:0aff10007f"),
                            indexOf("message _p_msgid:77 arrived"), indexOf("app not registed")};
    EXPECT_GE(order[0], 0);
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    EXPECT_EQ(count("device token:"), 1u);
    awaitAnswer(answer);
}

TEST_F(PushServiceTest, SetsUpOnlyOnceAndBuildsItsLoggers) {
    PUSHService::setupWithOption(Value(), kAppKey, "first", true);
    PUSHService::setupWithOption(Value::dictionary({{"k", 1}}), "0123456789abcdef01234567", "second", false);
    EXPECT_EQ(count("push client started"), 1u);
    EXPECT_EQ(count("channel:first apsForProduction:YES"), 1u);
    EXPECT_EQ(count("push client already set up, setupWithOption ignored"), 1u);

    auto loggers = PUSHLog::allLoggers();
    EXPECT_NE(std::find(loggers.begin(), loggers.end(), PUSHTTYLogger::sharedInstance()), loggers.end());
}

TEST_F(PushServiceTest, InvalidApplicationKeysAreRefused) {
    const std::vector<std::string> badKeys{
        "",
        "9be2407d13ac6f58d2e71a3",   // 23 characters
        "9be2407d13ac6f58d2e71a3g",  // not hexadecimal
        std::string("9be2407d13ac6f58\0d2e71a3", 24),
        "%@%@%@%@%@%@%@%@%@%@%@%@",  // format characters are only text
    };
    for (auto& key : badKeys) {
        SCOPED_TRACE(key);
        PUSHService::setupWithOption(Value(), key, "Publish channel", true);
        EXPECT_FALSE(PUSHService::isSetUp());
        auto refusals = logged("invalid appKey:");
        ASSERT_FALSE(refusals.empty());
        EXPECT_EQ(refusals.back()->message(),
                  "invalid appKey:" + key + ", expected 24 hexadecimal characters; push client not started");
        EXPECT_EQ(refusals.back()->flag(), PUSHLogFlagError);
    }
    EXPECT_EQ(count("invalid appKey:"), badKeys.size());
    EXPECT_EQ(count("push client started"), 0u);

    // A refused key does not use up the set-up: a valid one (either case) still starts the client.
    PUSHService::setupWithOption(Value(), "9BE2407D13AC6F58D2E71A3C", "Publish channel", true);
    EXPECT_TRUE(PUSHService::isSetUp());
    EXPECT_EQ(count("push client started"), 1u);
}

TEST_F(PushServiceTest, SetTagsGivesUpAndCallsTheCompletionOnceOnTheMainQueue) {
    // Before set-up the call is ignored, yet the completion still gets its one answer, so a caller
    // waiting for it is not left waiting.
    auto early = std::make_shared<TagsAnswer>();
    PUSHService::setTags(Value::set({"a"}), "a", recordInto(early));
    awaitAnswer(early);
    EXPECT_EQ(early->calls, 1);
    EXPECT_EQ(early->code, kPUSHTagsAliasResultNotRegistered);
    EXPECT_EQ(count("push client not set up, setTags:alias:fetchCompletionHandle: ignored"), 1u);
    EXPECT_EQ(count("app not registed"), 0u);

    PUSHService::setupWithOption(Value(), kAppKey, "Publish channel", true);
    const Value tags = Value::set({"13800000000"});
    const Value alias = "13800000000";
    auto answer = std::make_shared<TagsAnswer>();
    PUSHService::setTags(tags, alias, recordInto(answer));
    awaitAnswer(answer);
    EXPECT_EQ(answer->calls, 1);
    EXPECT_EQ(answer->code, kPUSHTagsAliasResultNotRegistered);
    EXPECT_EQ(answer->tags, tags);
    EXPECT_EQ(answer->alias, alias);
    EXPECT_TRUE(answer->onMainThread);

    auto givenUp = logged("app not registed");
    ASSERT_EQ(givenUp.size(), 1u);
    EXPECT_EQ(givenUp[0]->message(),
              NSString::format("app not registed, give up set tag:%@ alias:%@", {tags, alias}));

    PUSHService::setTags(Value(), Value(), nullptr);  // given up all the same, without a completion
    EXPECT_EQ(count("app not registed"), 2u);
}

}  // namespace
