#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <thread>

#include "platform/asl/ASL.h"
#include "platform/foundation/Sandbox.h"
#include "pushlog/PUSHASLLogger.h"
#include "pushlog/PUSHCustomFormatter.h"
#include "pushlog/PUSHLog.h"
#include "testsupport/LoggingTestLoggers.h"
#include "testsupport/TempDir.h"

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
        return PUSHLogMessage::create(text, 31, flag, 0, "/src/push/PUSHService.m", "fn", 1, Value(), 0, kWhen);
    }
};

TEST_F(FormatterTest, LineForEachFlagAndType) {
    struct Case {
        uint32_t type;
        uint32_t flag;
        const char* line;
    };
    const Case cases[] = {
        {0, 1, "2016-03-01 08:05:09.007 | PUSH | E - [PUSHService] x"},
        {0, 2, "2016-03-01 08:05:09.007 | PUSH | W - [PUSHService] x"},
        {0, 4, "2016-03-01 08:05:09.007 | PUSH | I - [PUSHService] x"},
        {0, 8, "2016-03-01 08:05:09.007 | PUSH | D - [PUSHService] x"},
        {0, 16, "2016-03-01 08:05:09.007 | PUSH | V - [PUSHService] x"},
        {0, 3, "2016-03-01 08:05:09.007 | PUSH | V - [PUSHService] x"},
        {0, 0, "2016-03-01 08:05:09.007 | PUSH | V - [PUSHService] x"},
        {1, 8, "2016-03-01 08:05:09.007 | JMessage | D - [PUSHService] x"},
    };
    for (const auto& c : cases) {
        auto formatter = PUSHCustomFormatter::initWithType(c.type);
        auto result = formatter->formatLogMessage(*record(c.flag));
        ASSERT_EQ(result.kind(), PUSHLogFormatResult::Kind::Text);
        EXPECT_EQ(result.textFor(*record(c.flag)), c.line) << "type " << c.type << " flag " << c.flag;
    }
    // Text is never taken as a format, and milliseconds are not rounded up.
    auto formatter = PUSHCustomFormatter::initWithType(0);
    auto late = PUSHLogMessage::create("100% %@ %s", 31, 4, 0, "a.m", "f", 1, Value(), 0, kWhen.addingTimeInterval(0.9925));
    EXPECT_EQ(formatter->formatLogMessage(*late).textFor(*late), "2016-03-01 08:05:09.999 | PUSH | I - [a] 100% %@ %s");
}

TEST_F(FormatterTest, SwitchesToPerThreadDateFormattersWhenShared) {
    auto formatter = PUSHCustomFormatter::initWithType(0);
    auto a = CapturingLogger::create();
    auto b = CapturingLogger::create();
    formatter->didAddToLogger(*a);
    bool usedThreadFormatter = true;
    std::thread([&] {
        formatter->formatLogMessage(*record(1));
        usedThreadFormatter = PUSHCustomFormatter::threadHasDateFormatter();
    }).join();
    EXPECT_FALSE(usedThreadFormatter);
    formatter->didAddToLogger(*b);
    std::thread([&] {
        formatter->formatLogMessage(*record(1));
        usedThreadFormatter = PUSHCustomFormatter::threadHasDateFormatter();
    }).join();
    EXPECT_TRUE(usedThreadFormatter);
    formatter->willRemoveFromLogger(*b);
    EXPECT_EQ(formatter->loggerCount(), 1);
}

TEST(ASLLoggerTest, SendsFormattedRecordsToTheSystemLog) {
    TempDir home;
    Sandbox::setHome(home.path());
    auto logger = PUSHASLLogger::sharedInstance();
    ASSERT_TRUE(logger);
    EXPECT_EQ(PUSHASLLogger::create(), nullptr);
    EXPECT_EQ(logger->loggerName(), "push.logging.aslLogger");
    EXPECT_EQ(logger->loggerQueue()->label(), "push.logging.aslLogger");

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
    const std::pair<const char*, const char*> expected[] = {{"2", "plain 1"}, {"4", "plain 4"}, {"5", "plain 8"}};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(found[i].get(ASL_KEY_LEVEL), expected[i].first);
        EXPECT_EQ(found[i].get(ASL_KEY_MSG), expected[i].second);
        EXPECT_EQ(found[i].get(ASL_KEY_READ_UID), std::to_string(geteuid()));
    }
    EXPECT_EQ(found[3].get(ASL_KEY_LEVEL), "3");
    EXPECT_NE(found[3].get(ASL_KEY_MSG)->find(" | PUSH | W - [PUSHService] formatted"), std::string::npos);
}

}  // namespace
