#include "platform/foundation/Clock.h"
#include "platform/foundation/Console.h"
#include "platform/foundation/Process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <regex>
#include <thread>

#include "platform/foundation/tests/test_support.h"

namespace {

// What `body` wrote to standard error.
std::string logged(const std::function<void()>& body) {
    testing::internal::CaptureStderr();
    body();
    return testing::internal::GetCapturedStderr();
}

TEST(ConsoleLine, HasLocalTimeFromTheClockProcessThreadAndText) {
    std::string out = logged([] { NSLog("DeviceToken \u83b7\u53d6\u5931\u8d25 x"); });
    std::regex shape(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} foundation_services_tests\[(\d+):(\d+)\] )"
                     "DeviceToken \u83b7\u53d6\u5931\u8d25 x\n$");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(out, m, shape)) << out;
    EXPECT_EQ(m[1].str(), std::to_string(ProcessInfo::processIdentifier()));
    EXPECT_EQ(m[2].str(), std::to_string(ProcessInfo::threadId()));

    // The time comes from the clock, in local time.
    ManualClock clock(Date::fromUnixTime(1609459200.25));  // 2021-01-01 00:00:00.250 UTC
    for (auto [tz, stamp] : {std::pair{"UTC0", "2021-01-01 00:00:00.250"},
                             {"CST-8", "2021-01-01 08:00:00.250"},
                             {"EST5", "2020-12-31 19:00:00.250"}}) {
        foundation_test::ScopedEnv zone;
        zone.set("TZ", tz);
        ::tzset();
        std::string line = logged([] { NSLog("tick"); });
        EXPECT_EQ(line.substr(0, 23), stamp) << tz;
        EXPECT_EQ(line.substr(line.size() - 6), " tick\n");
    }
    ::tzset();  // back to the zone the environment now names again
}

TEST(ConsoleLine, ATextOfSeveralLinesIsWrittenOnOne) {
    const std::pair<std::string, std::string> rows[] = {
        {"====Error Domain=D Code=1 \"x\" UserInfo={\n    a = 1;\n    b = {\n        c = 2;\n    };\n}",
         "====Error Domain=D Code=1 \"x\" UserInfo={ a = 1; b = { c = 2; }; }"},
        {"a\r\n\r\nb\n", "a b"},
        {"\nlead", " lead"},
        {"tabs\tstay  as  they are", "tabs\tstay  as  they are"},
    };
    for (const auto& [text, written] : rows) {
        std::string out = logged([&] { NSLog(text); });
        EXPECT_EQ(out.substr(out.find("] ") + 2), written + "\n") << text;
        Console::Capture capture;
        NSLog(text);
        EXPECT_EQ(capture.lines(), std::vector<std::string>{text});  // captured as logged
    }
}

TEST(ConsoleLine, ThreadsNeverShareALine) {
    std::string out = logged([] {
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([t] {
                for (int i = 0; i < 50; ++i)
                    NSLog("thread " + std::to_string(t) + " line " + std::to_string(i));
            });
        for (auto& th : threads) th.join();
    });
    std::regex line(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \S+\[\d+:\d+\] thread \d line \d+$)");
    size_t count = 0, start = 0;
    for (size_t nl; (nl = out.find('\n', start)) != std::string::npos; start = nl + 1, ++count)
        EXPECT_TRUE(std::regex_match(out.substr(start, nl - start), line)) << out.substr(start, nl - start);
    EXPECT_EQ(count, 200u);
    EXPECT_EQ(start, out.size());
}

TEST(ConsoleCapture, InnermostCaptureWinsCollectsEveryThreadAndNothingReachesStandardError) {
    std::string out = logged([] {
        Console::Capture outer;
        NSLog("first");
        {
            Console::Capture inner;
            NSLog("second");
            EXPECT_EQ(inner.lines(), std::vector<std::string>{"second"});
            EXPECT_TRUE(inner.contains("eco"));
            EXPECT_FALSE(inner.contains("first"));
        }
        NSLog("third");
        EXPECT_EQ(outer.lines(), (std::vector<std::string>{"first", "third"}));
    });
    EXPECT_EQ(out, "");
    out = logged([] { NSLog("after"); });
    EXPECT_NE(out.find("] after\n"), std::string::npos);

    // A capture collects every line from many threads.
    Console::Capture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 100; ++i) NSLog("x");
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(capture.lines().size(), 400u);
}

}  // namespace
