#include "pushlog/tests/PushLogTestSupport.h"

#include "platform/asl/ASL.h"
#include "platform/foundation/RuntimeInternal.h"
#include "pushlog/PUSHASLLogCapture.h"
#include "pushlog/PUSHASLLogger.h"

namespace {

constexpr double kStart = 1456790400.5;

class ASLCaptureTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Sandbox::setHome(home_.path());
        PUSHLog::removeAllLoggers();
        PUSHLog::addLogger(logger_);
        PUSHASLLogCapture::setCaptureLevel(PUSHLogLevelVerbose);
    }
    void TearDown() override {
        if (PUSHASLLogCapture::isCapturing()) {  // a run ends at its next notification
            PUSHASLLogCapture::stop();
            send("6", "end of test");
            EXPECT_TRUE(eventually([] { return !PUSHASLLogCapture::isCapturing(); }));
        }
        PUSHLog::removeAllLoggers();
        PUSHLog::flushLog();
    }

    static ASLMessage message(const std::string& level, const std::string& text) {
        ASLMessage m;
        m.set(ASL_KEY_LEVEL, level);
        m.set(ASL_KEY_MSG, text);
        return m;
    }
    void send(const std::string& level, const std::string& text) {
        ASSERT_TRUE(client_->send(message(level, text)));
    }
    void startAndListen() {
        PUSHASLLogCapture::start();
        ASSERT_TRUE(eventually([] { return PUSHASLLogCapture::isCapturing(); }));
    }
    size_t occurrences(const std::string& text) const {
        auto texts = logger_->texts();
        return size_t(std::count(texts.begin(), texts.end(), text));
    }
    // Then every record stored before `text` has been handled too.
    bool captured(const std::string& text) const {
        return eventually([&] { return occurrences(text) > 0; });
    }

    TempDir home_;
    ManualClock clock_{Date::fromUnixTime(kStart)};
    std::shared_ptr<CapturingLogger> logger_ = CapturingLogger::create();
    std::shared_ptr<ASLClient> client_ = ASLClient::open("", "com.apple.console");
};

TEST_F(ASLCaptureTest, ReadsFromTheStartSecondOnThenOnlyWhatIsNewFromEveryWriter) {
    send("5", "before");
    clock_.advance(1);
    send("5", "early");  // in the start second, before the start
    startAndListen();
    PUSHASLLogCapture::start();  // running already: no second run
    send("6", "after");
    // Another process's record in a store of its own: nothing in this process sends it.
    std::ofstream(ASLStore::directory() + "/com.other.tool.log", std::ios::app)
        << R"({"ASLMessageID":"1","Level":"4","Message":"from elsewhere","Time":")" << long(kStart) + 2
        << R"(","TimeNanoSec":"0"})"
        << "\n";
    ASSERT_TRUE(captured("from elsewhere"));
    send("2", "later");
    ASSERT_TRUE(captured("later"));
    EXPECT_EQ(logger_->texts(), (std::vector<std::string>{"early", "after", "from elsewhere", "later"}));
    auto records = logger_->messages();
    EXPECT_EQ(records[3]->fileName(), "PUSHASLLogCapture");
    EXPECT_EQ(records[3]->flag(), PUSHLogFlagError);
    EXPECT_DOUBLE_EQ(records[0]->timestamp().unixTime(), kStart + 1);
}

TEST_F(ASLCaptureTest, StopAndRestart) {
    startAndListen();
    PUSHASLLogCapture::stop();
    send("5", "final");  // the run still passes what its last notification finds
    ASSERT_TRUE(captured("final"));
    send("5", "unseen");
    clock_.advance(1);
    startAndListen();
    PUSHASLLogCapture::stop();
    startAndListen();  // before the old run has ended: it ends quietly
    send("5", "once");
    send("5", "marker");
    ASSERT_TRUE(captured("marker"));
    EXPECT_EQ(occurrences("unseen"), 0u);
    EXPECT_EQ(occurrences("once"), 1u);
}

TEST_F(ASLCaptureTest, ABurstOfNotificationsWhileTheReaderIsBusyHoldsNoThreads) {
    auto busyWorkers = [] {
        auto pool = runtime_internal::workerPoolStatistics();
        return pool.live - pool.idle;
    };
    const size_t before = busyWorkers();
    startAndListen();
    // The reader stops inside the hand-over of an error record, which waits for the held logger.
    logger_->hold();
    send("2", "blocker");
    ASSERT_TRUE(logger_->waitForEntered(1));
    // Our own listener is queued behind the capture's for every notification: when it has heard one, the
    // capture's handler for it has started.
    auto heard = std::make_shared<std::atomic<int>>(0);
    auto token =
        ASLStore::notifyRegister(DispatchQueue::global(DispatchQueue::Priority::High), [heard] { ++*heard; });
    constexpr int kNotifications = 30;
    for (int i = 0; i < kNotifications; ++i) {
        const int seen = heard->load();
        send("6", "burst " + std::to_string(i));
        ASSERT_TRUE(eventually([&] { return heard->load() > seen; }));
    }
    ASLStore::notifyCancel(token);
    EXPECT_LE(busyWorkers(), before + 6) << "threads waiting for the reader";
    logger_->release();
    EXPECT_TRUE(captured("burst " + std::to_string(kNotifications - 1)));
    for (int i = 0; i < kNotifications; ++i) EXPECT_EQ(occurrences("burst " + std::to_string(i)), 1u) << i;
}

TEST_F(ASLCaptureTest, TheSystemLogLoggerDoesNotWriteCapturedRecordsBack) {
    PUSHLog::addLogger(PUSHASLLogger::sharedInstance());
    startAndListen();
    PUSHLog::log(false, PUSHLogLevelVerbose, PUSHLogFlagError, 0, "/src/Caller.m", "fn", 1, Value(), "%@",
                 {"loop"});
    ASSERT_TRUE(eventually([&] {
        auto records = logger_->messages();
        return std::any_of(records.begin(), records.end(), [](const auto& m) {
            return m->fileName() == "PUSHASLLogCapture" && m->message().ends_with("loop");
        });
    }));
    send("5", "marker");
    ASSERT_TRUE(captured("marker"));
    size_t stored = 0;
    for (const auto& m : ASLStore::search("com.apple.console", ASLQuery())) {
        stored += m.get(ASL_KEY_MSG).value_or("").ends_with("loop");
    }
    EXPECT_EQ(stored, 1u);
}

TEST_F(ASLCaptureTest, LevelsBecomeFlagsAndTheCaptureLevelFilters) {
    auto record = [](const std::string& level, const std::string& text) {
        ASLMessage m = message(level, text);
        m.set(ASL_KEY_TIME, "1456790400");
        m.set(ASL_KEY_TIME_NSEC, "500000000");
        return m;
    };
    const std::pair<const char*, uint32_t> cases[] = {{"0", 1},   {"1", 1},    {"2", 1},  {"3", 2},
                                                      {"4", 4},   {"5", 8},    {"6", 16}, {"7", 16},
                                                      {"-1", 16}, {"junk", 16}};
    for (const auto& [level, flag] : cases) {
        const size_t before = logger_->count();
        if (flag == PUSHLogFlagError) {
            PUSHASLLogCapture::aslMessageRecieved(record(level, level));
            EXPECT_EQ(logger_->count(), before + 1) << level;  // taken before the call returned
        } else {
            logger_->hold();
            PUSHASLLogCapture::aslMessageRecieved(record(level, level));  // returns while the logger is held
            ASSERT_TRUE(logger_->waitForEntered(before + 1));
            logger_->release();
            ASSERT_TRUE(logger_->waitForCount(before + 1)) << level;
        }
        EXPECT_EQ(logger_->messages().back()->flag(), flag) << level;
    }
    PUSHASLLogCapture::setCaptureLevel(PUSHLogLevelInfo);
    for (const char* level : {"5", "6", "7", "3"})
        PUSHASLLogCapture::aslMessageRecieved(record(level, "info"));
    PUSHASLLogCapture::aslMessageRecieved(message("1", "info"));  // no time
    PUSHLog::flushLog();
    EXPECT_EQ(occurrences("info"), 1u);
    EXPECT_EQ(logger_->messages().back()->flag(), PUSHLogFlagWarning);
}

}  // namespace
