#include "pushlog/tests/PushLogTestSupport.h"

#include "platform/asl/ASL.h"
#include "pushlog/PUSHASLLogger.h"
#include "pushlog/PUSHCustomFormatter.h"

namespace {

// 2016-03-01 08:05:09.007 in UTC+8 (no daylight saving there).
const Date kWhen = Date::fromUnixTime(1456790400.0 + 5 * 60 + 9.007);

class FormatterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TZ", "Asia/Shanghai", 1);
        tzset();
    }
    static PUSHLogMessagePtr record(uint32_t flag, const std::string& text = "x") {
        return PUSHLogMessage::create(text, 31, flag, 0, "/src/push/PUSHService.m", "fn", 1, Value(), 0,
                                      kWhen);
    }
};

TEST_F(FormatterTest, LineForEachFlagAndType) {
    // The type, the flag and the line's middle.
    const std::tuple<uint32_t, uint32_t, const char*> cases[] = {
        {0, 1, "PUSH | E"},  {0, 2, "PUSH | W"}, {0, 4, "PUSH | I"}, {0, 8, "PUSH | D"},
        {0, 16, "PUSH | V"}, {0, 3, "PUSH | V"}, {0, 0, "PUSH | V"}, {1, 8, "JMessage | D"},
    };
    for (const auto& [type, flag, middle] : cases) {
        auto result = PUSHCustomFormatter::initWithType(type)->formatLogMessage(*record(flag));
        ASSERT_EQ(result.kind(), PUSHLogFormatResult::Kind::Text);
        EXPECT_EQ(result.textFor(*record(flag)),
                  "2016-03-01 08:05:09.007 | " + std::string(middle) + " - [PUSHService] x");
    }
    // Text is never taken as a format, and milliseconds are not rounded up.
    auto formatter = PUSHCustomFormatter::initWithType(0);
    auto late = PUSHLogMessage::create("100% %@ %s", 31, 4, 0, "a.m", "f", 1, Value(), 0,
                                       kWhen.addingTimeInterval(0.9925));
    EXPECT_EQ(formatter->formatLogMessage(*late).textFor(*late),
              "2016-03-01 08:05:09.999 | PUSH | I - [a] 100% %@ %s");
}

TEST_F(FormatterTest, SwitchesToPerThreadDateFormattersWhenShared) {
    auto formatter = PUSHCustomFormatter::initWithType(0);
    auto a = CapturingLogger::create(), b = CapturingLogger::create();
    auto perThread = [&] {
        bool used = false;
        std::thread([&] {
            formatter->formatLogMessage(*record(1));
            used = PUSHCustomFormatter::threadHasDateFormatter();
        }).join();
        return used;
    };
    formatter->didAddToLogger(*a);
    EXPECT_FALSE(perThread());
    formatter->didAddToLogger(*b);
    EXPECT_TRUE(perThread());
}

TEST(ASLLoggerTest, SendsFormattedRecordsToTheSystemLog) {
    TempDir home;
    Sandbox::setHome(home.path());
    auto logger = PUSHASLLogger::sharedInstance();
    ASSERT_TRUE(logger);
    EXPECT_EQ(PUSHASLLogger::create(), nullptr);
    EXPECT_EQ(std::pair(logger->loggerName(), logger->loggerQueue()->label()),
              std::pair(std::string("push.logging.aslLogger"), std::string("push.logging.aslLogger")));

    PUSHLog::removeAllLoggers();
    logger->setLogFormatter(nullptr);  // the shared logger keeps a formatter another test may have given it
    PUSHLog::addLogger(logger);
    for (uint32_t flag : {1u, 4u, 8u}) {
        PUSHLog::log(false, 31, flag, 0, "/p/PUSHService.m", "f", 1, Value(), "plain %u", {flag});
    }
    PUSHLog::log(false, 31, 1, 0, "PUSHASLLogCapture", "f", 1, Value(), "captured", {});
    logger->setLogFormatter(PUSHCustomFormatter::initWithType(0));
    PUSHLog::log(false, 31, 2, 0, "/p/PUSHService.m", "f", 1, Value(), "formatted", {});
    PUSHLog::removeAllLoggers();
    PUSHLog::allLoggers();

    auto found = ASLStore::search("com.apple.console", ASLQuery());
    ASSERT_EQ(found.size(), 4u);
    const std::pair<const char*, const char*> expected[] = {
        {"2", "plain 1"}, {"4", "plain 4"}, {"5", "plain 8"}};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(found[i].get(ASL_KEY_LEVEL), expected[i].first);
        EXPECT_EQ(found[i].get(ASL_KEY_MSG), expected[i].second);
        EXPECT_EQ(found[i].get(ASL_KEY_READ_UID), std::to_string(geteuid()));
    }
    EXPECT_EQ(found[3].get(ASL_KEY_LEVEL), "3");
    EXPECT_NE(found[3].get(ASL_KEY_MSG)->find(" | PUSH | W - [PUSHService] formatted"), std::string::npos);
}

}  // namespace
