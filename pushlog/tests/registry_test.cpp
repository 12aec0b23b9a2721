#include "pushlog/tests/PushLogTestSupport.h"

#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/Process.h"
#include "pushlog/PUSHCustomFormatter.h"

namespace {

void logSync(uint32_t flag, const char* text = "x", int32_t context = 0) {
    PUSHLog::log(false, PUSHLogLevelVerbose, flag, context, "/src/PUSHService.m", "fn", 1, Value(), "%@",
                 {text});
}

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        PUSHLog::removeAllLoggers();
        ASSERT_TRUE(PUSHLog::allLoggers().empty());
    }
    void TearDown() override {
        PUSHLog::removeAllLoggers();
        PUSHLog::allLoggers();
        PUSHLog::setProcessorCount(4);
    }
};

// A child forked without exec logs through both roads, with its own thread id: the parent's logging worker
// and pool workers stay behind, so the child must not wait for them.
TEST_F(RegistryTest, AForkedChildLogsAsynchronouslyAndSynchronouslyWithItsOwnThreadId) {
    auto first = CapturingLogger::create("test.fork.first"),
         second = CapturingLogger::create("test.fork.second");
    PUSHLog::addLogger(first);
    // The parent has logged both ways: its ring worker and pool workers are running or parked.
    for (int i = 0; i < 20; ++i)
        PUSHLog::log(i % 2 == 0, "parent", 0, PUSHLogFlagInfo, 0, "f.m", "fn", 1, Value());
    PUSHLog::flushLog();
    for (const bool twoLoggers : {false, true}) {
        SCOPED_TRACE(twoLoggers ? "two loggers" : "one logger");
        if (twoLoggers) PUSHLog::addLogger(second);
        PUSHLog::allLoggers();
        const size_t firstBefore = first->count(), secondBefore = second->count();
        EXPECT_TRUE(foundation_test::passesInForkedChild([&] {
            char own[24];
            std::snprintf(own, sizeof own, "%llx", static_cast<unsigned long long>(ProcessInfo::threadId()));
            PUSHLog::log(false, "sync", 0, PUSHLogFlagInfo, 0, "f.m", "fn", 1, Value());
            for (int i = 0; i < 10; ++i)
                PUSHLog::log(true, "async", 0, PUSHLogFlagInfo, 0, "f.m", "fn", 1, Value());
            PUSHLog::flushLog();
            bool passed = first->count() == firstBefore + 11 && first->messages().back()->threadID() == own;
            if (twoLoggers) passed = passed && second->count() == secondBefore + 11;
            return passed;
        }));
    }
}

TEST_F(RegistryTest, LevelMasksChooseTheLoggers) {
    const std::vector<uint32_t> levels = {PUSHLogLevelOff, PUSHLogLevelInfo, PUSHLogLevelDebug,
                                          PUSHLogLevelVerbose, PUSHLogLevelAll};
    const std::vector<uint32_t> flags = {1, 2, 4, 8, 16, 3, 32};
    std::vector<std::shared_ptr<CapturingLogger>> loggers;
    for (uint32_t level : levels) {
        loggers.push_back(CapturingLogger::create());
        PUSHLog::addLogger(loggers.back(), level);
    }
    for (uint32_t flag : flags) logSync(flag, std::to_string(flag).c_str());
    // Synchronous calls have returned only after every matching logger took the record.
    for (size_t i = 0; i < levels.size(); ++i) {
        std::vector<std::string> expected;
        for (uint32_t flag : flags) {
            if (levels[i] & flag) expected.push_back(std::to_string(flag));
        }
        EXPECT_EQ(loggers[i]->texts(), expected) << "level " << levels[i];
    }
}

TEST_F(RegistryTest, DuplicateAndRemovedRegistrations) {
    auto logger = CapturingLogger::create();
    PUSHLog::addLogger(nullptr);
    PUSHLog::removeLogger(nullptr);
    PUSHLog::addLogger(logger, 7);
    PUSHLog::addLogger(logger, 7);
    EXPECT_EQ(PUSHLog::allLoggers().size(), 2u);
    logSync(1);
    EXPECT_EQ(logger->count(), 2u);

    PUSHLog::removeLogger(logger);
    logSync(1);
    EXPECT_EQ(logger->count(), 3u);

    // Remove, then add with a new level: registered once, with the new level.
    PUSHLog::removeLogger(logger);
    PUSHLog::addLogger(logger, 15);
    EXPECT_EQ(PUSHLog::allLoggers(), std::vector<PUSHLoggerPtr>{logger});
    logSync(8);
    EXPECT_EQ(logger->count(), 4u);

    PUSHLog::removeLogger(CapturingLogger::create());  // not registered: nothing happens
    EXPECT_EQ(PUSHLog::allLoggers().size(), 1u);
    // A class takes part in per-class levels only once registered.
    EXPECT_EQ(PUSHLog::levelForClass("PUSHService"), PUSHLogLevelAll);
    std::atomic<uint32_t> level{7};
    PUSHLog::registerClass(
        "TestClass", [&] { return level.load(); }, [&](uint32_t l) { level = l; });
    EXPECT_TRUE(PUSHLog::isRegisteredClass("TestClass") && !PUSHLog::isRegisteredClass("PUSHService"));
    EXPECT_EQ(PUSHLog::registeredClassNames(), std::vector<std::string>{"TestClass"});
    PUSHLog::setLevel(15, "TestClass");
    EXPECT_EQ(PUSHLog::levelForClass("TestClass"), 15u);

    // A nil format makes no record.
    PUSHLog::log(false, 31, 1, 0, "f", "fn", 1, Value(), nullptr, {});
    EXPECT_EQ(logger->count(), 4u);
    EXPECT_EQ(PUSHLog::admissionStats().inFlight, 0u);
}

// A thread that logged synchronously to a logger does not keep it once it is removed, and its next call
// sees the loggers registered since.
TEST_F(RegistryTest, ALoggerRemovedAfterSynchronousCallsIsReleasedAndItsSuccessorTakesTheNext) {
    auto first = CapturingLogger::create();
    PUSHLog::addLogger(first, PUSHLogLevelAll);
    logSync(1, "to first");
    EXPECT_EQ(first->texts(), std::vector<std::string>{"to first"});
    std::weak_ptr<CapturingLogger> released = first;
    auto queue = first->loggerQueue();
    PUSHLog::removeLogger(first);
    auto second = CapturingLogger::create();
    PUSHLog::addLogger(second, PUSHLogLevelAll);
    PUSHLog::allLoggers();
    queue->sync([] {});  // the removal notice has run
    first.reset();
    EXPECT_TRUE(released.expired());
    logSync(1, "to second");
    EXPECT_EQ(second->texts(), std::vector<std::string>{"to second"});
}

TEST_F(RegistryTest, SynchronousCallWaitsForASlowLogger) {
    auto slow = CapturingLogger::create("slow");
    auto fast = CapturingLogger::create("fast");
    PUSHLog::addLogger(slow, 31);
    PUSHLog::addLogger(fast, 31);
    slow->hold();
    std::atomic<bool> returned{false};
    std::thread caller([&] {
        logSync(1);
        returned = true;
    });
    ASSERT_TRUE(slow->waitForEntered(1));
    EXPECT_FALSE(returned.load());  // the slow logger is still inside logMessage
    slow->release();
    caller.join();
    EXPECT_TRUE(returned.load());
    EXPECT_EQ(slow->count(), 1u);
    EXPECT_EQ(fast->count(), 1u);
}

TEST_F(RegistryTest, RecordsReachEachLoggerInAdmissionOrderAndBeforeLaterSteps) {
    for (unsigned processors : {4u, 1u}) {  // with one, loggers strictly one after the other
        PUSHLog::setProcessorCount(processors);
        std::mutex mutex;
        std::vector<std::string> order, expected;
        auto a = CapturingLogger::create("a"), b = CapturingLogger::create("b");
        for (auto& logger : {a, b}) {
            logger->setOnMessage([&](CapturingLogger& self, const PUSHLogMessagePtr& m) {
                std::lock_guard lock(mutex);
                order.push_back(self.loggerName() + m->message());
            });
            PUSHLog::addLogger(logger);
        }
        for (int i = 0; i < 50; ++i) PUSHLog::log(true, 31, 1, 0, "f", "fn", 1, Value(), "%d", {i});
        // A removal queued after them comes after them: nothing admitted before is lost to it.
        PUSHLog::removeLogger(b);
        PUSHLog::removeLogger(a);
        ASSERT_TRUE(a->waitForCount(50) && b->waitForCount(50));
        for (int i = 0; i < 50; ++i) expected.push_back(std::to_string(i));
        EXPECT_EQ(a->texts(), expected);
        EXPECT_EQ(b->texts(), expected);
        std::lock_guard lock(mutex);
        for (int i = 0; processors == 1 && i < 50; ++i)
            EXPECT_EQ(order[2 * i] + order[2 * i + 1], "a" + expected[i] + "b" + expected[i]);
    }
}

TEST_F(RegistryTest, AdmissionIsBoundedTheNextCallerWaitsAndALoggerMayStillLogFromItsOwnQueue) {
    auto logger = CapturingLogger::create();
    std::atomic<int> answered{0};
    logger->setOnMessage([&](CapturingLogger&, const PUSHLogMessagePtr& m) {
        if (m->message() != "outer") return;
        // Each of these would wait for a queue that waits for us; the inner call needs no permit.
        PUSHLog::log(false, 31, 1, 0, "f", "fn", 1, Value(), "inner", {});
        answered += !PUSHLog::allLoggers().empty();
        PUSHLog::flushLog();
        answered += logger->logFormatter() == nullptr;
    });
    PUSHLog::addLogger(logger);
    logger->hold();
    for (int i = 0; i < PUSHLog::kMaxAdmittedRecords - 1; ++i)
        PUSHLog::log(true, 31, 4, 0, "f", "fn", 1, Value(), "a", {});
    PUSHLog::log(true, 31, 4, 0, "f", "fn", 1, Value(), "outer", {});
    ASSERT_TRUE(logger->waitForEntered(1));
    EXPECT_EQ(PUSHLog::admissionStats().inFlight, size_t(PUSHLog::kMaxAdmittedRecords));

    const uint64_t blockedBefore = PUSHLog::admissionStats().blockedCalls;
    std::atomic<bool> returned{false};
    std::thread caller([&] {
        PUSHLog::log(true, 31, 4, 0, "f", "fn", 1, Value(), "the 1001st", {});
        returned = true;
    });
    ASSERT_TRUE(eventually([] { return PUSHLog::admissionStats().waitingCallers == 1; }));
    EXPECT_FALSE(returned.load());
    EXPECT_EQ(PUSHLog::admissionStats().blockedCalls, blockedBefore + 1);

    logger->release();
    caller.join();
    ASSERT_TRUE(logger->waitForCount(size_t(PUSHLog::kMaxAdmittedRecords) + 2, 30));
    EXPECT_EQ(answered.load(), 2);
    auto texts = logger->texts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "inner") +
                  std::count(texts.begin(), texts.end(), "the 1001st"),
              2);
    PUSHLog::flushLog();
    EXPECT_TRUE(eventually([] { return PUSHLog::admissionStats().inFlight == 0; }));
}

TEST_F(RegistryTest, ThrowingLoggersAndFormattersCostOnlyTheirOwnRecord) {
    Console::Capture console;
    auto throwing = ThrowingLogger::create();
    auto formatted = CapturingLogger::create("formatted");
    formatted->setLogFormatter(std::make_shared<ThrowingFormatter>());
    auto healthy = CapturingLogger::create("healthy");
    PUSHLog::addLogger(throwing);
    PUSHLog::addLogger(formatted);
    PUSHLog::addLogger(healthy);
    for (int i = 0; i < 3; ++i) logSync(1);
    PUSHLog::flushLog();
    EXPECT_EQ(healthy->count(), 3u);
    EXPECT_EQ(formatted->count(), 0u);
    EXPECT_EQ(PUSHLog::admissionStats().inFlight, 0u);
    EXPECT_TRUE(console.contains("PUSHLog: logger \"test.throwing\" threw from logMessage: logger failed"));
    EXPECT_TRUE(console.contains("PUSHLog: logger \"formatted\" threw from logMessage: formatter failed"));
    EXPECT_TRUE(console.contains("PUSHLog: logger \"test.throwing\" threw from flush"));
}

TEST_F(RegistryTest, FormatterChangesKeepTheirPlaceAmongRecords) {
    auto logger = CapturingLogger::create();
    PUSHLog::addLogger(logger);
    auto formatter = PUSHCustomFormatter::initWithType(1);
    logSync(4, "before");
    logger->setLogFormatter(formatter);
    logSync(4, "after");
    ASSERT_EQ(logger->texts().size(), 2u);
    EXPECT_EQ(logger->texts()[0], "before");
    EXPECT_NE(logger->texts()[1].find(" | JMessage | I - [PUSHService] after"), std::string::npos);
    logger->setLogFormatter(formatter);            // the same one: no second notice
    EXPECT_EQ(logger->logFormatter(), formatter);  // read through the queue: the change is in place
    EXPECT_EQ(formatter->loggerCount(), 1);
    logger->setLogFormatter(nullptr);
    EXPECT_EQ(logger->logFormatter(), nullptr);
    EXPECT_EQ(formatter->loggerCount(), 0);
}

}  // namespace
