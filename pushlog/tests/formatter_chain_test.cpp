#include "pushlog/tests/PushLogTestSupport.h"

#include "platform/foundation/Process.h"
#include "pushlog/PUSHDispatchQueueLogFormatter.h"
#include "pushlog/PUSHMultiFormatter.h"

namespace {

const Date kWhen = Date::fromUnixTime(1456790400.0 + 5 * 60 + 9.007);  // 2016-03-01 08:05:09.007 in UTC+8

// Appends its suffix ("" keeps the text, "-" drops the record) and keeps the last record it was given.
class StepFormatter : public PUSHLogFormatter {
  public:
    explicit StepFormatter(std::string suffix) : suffix_(std::move(suffix)) {}
    PUSHLogFormatResult formatLogMessage(const PUSHLogMessage& message) override {
        last = message.copy();
        if (suffix_ == "-") return PUSHLogFormatResult::drop();
        if (suffix_.empty()) return PUSHLogFormatResult::original();
        return PUSHLogFormatResult::text(message.message() + suffix_);
    }
    PUSHLogMessagePtr last;

  private:
    std::string suffix_;
};

// A record made on a thread of that name, inside `queue` when one is given.
PUSHLogMessagePtr recordFrom(const DispatchQueuePtr& queue, const std::string& threadName) {
    PUSHLogMessagePtr record;
    std::thread([&] {
        ProcessInfo::setThreadName(threadName);
        auto make = [&] {
            record = PUSHLogMessage::create("x", 31, 4, 0, "/a/PUSHService.m", "", 7, Value("t"), 3, kWhen);
        };
        queue ? queue->sync(make) : make();
    }).join();
    return record;
}

std::string textOf(const PUSHLogFormatResult& result, const PUSHLogMessage& message) {
    return result.kind() == PUSHLogFormatResult::Kind::Drop ? "<dropped>" : result.textFor(message);
}

TEST(FormatterChainTest, MembersFormatInTurn) {
    using Kind = PUSHLogFormatResult::Kind;
    // The members' suffixes, the result, its text, and whether the last member was asked.
    const std::tuple<std::vector<std::string>, Kind, std::string, bool> cases[] = {
        {{}, Kind::Original, "x", false},
        {{"1", "2"}, Kind::Text, "x12", true},
        {{"", ""}, Kind::Original, "x", true},
        {{"1", ""}, Kind::Text, "x1", true},
        {{"-", "2"}, Kind::Drop, "<dropped>", false}};
    auto record = recordFrom(nullptr, "");
    for (const auto& [suffixes, kind, text, lastAsked] : cases) {
        auto chain = PUSHMultiFormatter::create();
        std::shared_ptr<StepFormatter> last;
        for (const auto& suffix : suffixes)
            chain->addFormatter(last = std::make_shared<StepFormatter>(suffix));
        auto result = chain->formatLogMessage(*record);
        EXPECT_EQ(std::tuple(result.kind(), textOf(result, *record), last && last->last),
                  std::tuple(kind, text, lastAsked));
    }
}

TEST(FormatterChainTest, ListChangesKeepTheirOrderAndMembersSeeTheCallersRecord) {
    auto chain = PUSHMultiFormatter::create();
    auto twice = std::make_shared<StepFormatter>("!");
    chain->addFormatter(twice);
    EXPECT_TRUE(chain->isFormattingWithFormatter(twice));
    chain->addFormatter(twice);
    auto snapshot = chain->formatters();
    auto record = recordFrom(DispatchQueue::serial("com.example.worker"), "writer");
    EXPECT_EQ(chain->formatLogMessage(*record).textFor(*record), "x!!");
    const auto& seen = *twice->last;  // the second pass
    // The writer's thread and queue, not the formatting thread's.
    EXPECT_EQ(std::tuple(seen.message(), seen.timestamp(), seen.tag(), seen.queueLabel(), seen.threadName(),
                         seen.threadID()),
              std::tuple(std::string("x!"), kWhen, Value("t"), std::string("com.example.worker"),
                         std::string("writer"), record->threadID()));
    EXPECT_EQ(ProcessInfo::threadName(), "");  // the formatting thread keeps its own name

    chain->removeFormatter(twice);
    EXPECT_FALSE(chain->isFormattingWithFormatter(twice));
    EXPECT_EQ(snapshot.size(), 2u);  // a copy: later changes leave it alone
}

class QueueFormatterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TZ", "Asia/Shanghai", 1);
        tzset();
    }
};

TEST_F(QueueFormatterTest, LabelForEachOrigin) {
    // The queue (main: made on the test's main thread; null: on no queue), the thread's name, the least and
    // most length, and the label ("<id>": the record's thread id).
    using Case = std::tuple<DispatchQueuePtr, std::string, size_t, size_t, std::string>;
    const auto main = DispatchQueue::main();
    // clang-format off
    const Case cases[] = {
        {main, "", 0, 0, "main"}, {main, "", 8, 0, "main    "}, {main, "", 0, 3, "mai"}, {main, "", 8, 3, "mai"},
        {DispatchQueue::serial("com.example.work"), "t", 0, 0, "com.example.work"},
        {DispatchQueue::serial("com.example.short"), "", 0, 0, "short"},
        {DispatchQueue::global(), "worker", 0, 0, "worker"},
        {DispatchQueue::global(DispatchQueue::Priority::High), "", 0, 0, "<id>"},
        {nullptr, "plain", 0, 0, "plain"}, {nullptr, "", 0, 0, "<id>"},
        {DispatchQueue::serial("ab\xF0\x9F\x98\x80" "cd"), "", 0, 3, "ab"},  // a pair is not cut in half
        {DispatchQueue::serial("\xC3\xA9"), "", 3, 0, "\xC3\xA9  "},         // UTF-16 units are counted
    };
    // clang-format on
    for (const auto& [queue, threadName, minLength, maxLength, label] : cases) {
        auto formatter = PUSHDispatchQueueLogFormatter::create();
        formatter->setReplacementString("short", "com.example.short");
        formatter->setMinQueueLength(minLength);
        formatter->setMaxQueueLength(maxLength);
        auto record =
            queue == main ? PUSHLogMessage::create("x", 31, 4, 0, "f", "", 0) : recordFrom(queue, threadName);
        EXPECT_EQ(formatter->queueThreadLabelForLogMessage(*record),
                  label == "<id>" ? record->threadID() : label)
            << label;
    }
}

TEST_F(QueueFormatterTest, LineAndDateFormatterChoice) {
    auto formatter = PUSHDispatchQueueLogFormatter::create();
    formatter->setReplacementString(std::nullopt, "com.apple.main-thread");
    EXPECT_EQ(formatter->replacementStringForQueueLabel("com.apple.main-thread"), std::nullopt);
    formatter->setReplacementString("M", "com.apple.main-thread");
    auto first = CapturingLogger::create(), second = CapturingLogger::create();
    auto record =
        PUSHLogMessage::create("text", 31, 4, 0, "f", "", 0, Value(), 0, kWhen);  // on the main queue
    std::string line;
    std::pair<bool, bool> perThread;  // with one logger, with two
    std::thread([&] {
        formatter->didAddToLogger(*first);
        line = formatter->formatLogMessage(*record).textFor(*record);
        perThread.first = PUSHDispatchQueueLogFormatter::threadHasDateFormatter();
        formatter->didAddToLogger(*second);
        formatter->formatLogMessage(*record);
        perThread.second = PUSHDispatchQueueLogFormatter::threadHasDateFormatter();
    }).join();
    EXPECT_EQ(line, "2016-03-01 08:05:09:007 [M] text");
    EXPECT_EQ(perThread, std::pair(false, true));
}

TEST(ContextFilterTest, WhitelistAndBlacklistFollowTheirSet) {
    auto white = PUSHContextWhitelistFilterLogFormatter::create();
    auto black = PUSHContextBlacklistFilterLogFormatter::create();
    // Steps: +n adds n to both sets, -n removes it, 0 leaves them; then a record of `context` and whether it
    // is in the sets.
    const std::tuple<int, int32_t, bool> steps[] = {
        {0, 0, false}, {+1, 1, true}, {+2, 2, true},
        {0, 0, false}, {+2, 2, true}, {-2, 2, false},  // twice, once
        {+5, 5, true}, {0, 1, true},  {0, -1, false}};
    using Kind = PUSHLogFormatResult::Kind;
    for (const auto& [change, context, inSet] : steps) {
        if (change > 0) white->addToWhitelist(uint32_t(change)), black->addToBlacklist(uint32_t(change));
        if (change < 0)
            white->removeFromWhitelist(uint32_t(-change)), black->removeFromBlacklist(uint32_t(-change));
        auto record = PUSHLogMessage::create("x", 31, 4, context, "f", "", 0);
        EXPECT_EQ(white->formatLogMessage(*record).kind(), inSet ? Kind::Original : Kind::Drop) << context;
        EXPECT_EQ(black->formatLogMessage(*record).kind(), inSet ? Kind::Drop : Kind::Original) << context;
    }
    // A negative context is the unsigned number of the same bits.
    white->addToWhitelist(0xFFFFFFFFu);
    EXPECT_EQ(white->formatLogMessage(*PUSHLogMessage::create("x", 31, 4, -1, "f", "", 0)).kind(),
              Kind::Original);
    auto list = white->whitelist();
    std::sort(list.begin(), list.end());
    EXPECT_EQ(list, (std::vector<uint32_t>{1, 5, 0xFFFFFFFFu}));
    EXPECT_EQ(black->blacklist().size(), 2u);
}

}  // namespace
