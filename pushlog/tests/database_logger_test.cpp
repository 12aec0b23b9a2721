#include "pushlog/tests/PushLogTestSupport.h"

#include <cmath>

#include "platform/foundation/NotificationCenter.h"
#include "pushlog/PUSHAbstractDatabaseLogger.h"

namespace {

// Counts what the base asks of its store.
class CountingDatabaseLogger : public PUSHAbstractDatabaseLogger {
  public:
    explicit CountingDatabaseLogger(bool takes)
        : PUSHAbstractDatabaseLogger("test.database"), takes_(takes) {}
    static std::shared_ptr<CountingDatabaseLogger> create(bool takes = true) {
        return std::make_shared<CountingDatabaseLogger>(takes);
    }
    bool db_log(const PUSHLogMessagePtr&) override { return takes_ && ++pending; }
    void db_save() override { saved += (++saves, pending.exchange(0)); }
    void db_delete() override { ++deletes; }
    void db_saveAndDelete() override { saved += (++saveAndDeletes, pending.exchange(0)); }

    std::atomic<int> pending{0}, saved{0}, saves{0}, deletes{0}, saveAndDeletes{0};

  private:
    bool takes_;
};

class DatabaseLoggerTest : public ::testing::Test {
  protected:
    void SetUp() override { add(logger_); }
    void TearDown() override {
        PUSHLog::removeAllLoggers();
        settle(logger_);
    }
    void add(const std::shared_ptr<CountingDatabaseLogger>& logger) {
        PUSHLog::addLogger(logger);
        settle(logger);
    }
    // Everything queued through the logging queue and then the logger queue has run.
    static void settle(const std::shared_ptr<CountingDatabaseLogger>& logger) {
        PUSHLog::loggingQueue()->sync([] {});
        logger->loggerQueue()->sync([] {});
    }
    static void log(int count) {
        for (int i = 0; i < count; ++i) PUSHLog::log(false, 31, 4, 0, "f.m", "fn", 1, Value(), "%d", {i});
    }
    void advance(double seconds, const std::shared_ptr<CountingDatabaseLogger>& logger = nullptr) {
        settle(logger ? logger : logger_);  // settings made before are in place first
        clock_.advance(seconds);
        settle(logger ? logger : logger_);
    }

    ManualClock clock_;
    std::shared_ptr<CountingDatabaseLogger> logger_ = CountingDatabaseLogger::create();
};

TEST_F(DatabaseLoggerTest, DefaultsCommitByCountAndByTime) {
    log(1);
    advance(30);
    log(1);
    advance(29.9);
    EXPECT_EQ(logger_->saves, 0);
    advance(0.2);  // 60 seconds after the first of the batch
    EXPECT_EQ(logger_->saved, 2);
    advance(120);  // suspended while nothing is pending
    EXPECT_EQ(logger_->saves, 1);
    log(499);
    EXPECT_EQ(logger_->saves, 1);
    log(1);
    EXPECT_EQ(logger_->saved, 502);
}

TEST_F(DatabaseLoggerTest, ThresholdAndIntervalSettings) {
    // Threshold, interval, records logged, seconds waited, and the saves.
    const std::tuple<unsigned, double, int, double, int> cases[] = {
        {0, 60, 1000, 59, 0}, {0, 60, 1000, 60, 1}, {5, 0, 4, 1000, 0},
        {5, -1, 4, 1000, 0},  {5, 0, 10, 0, 2},     {5, NAN, 3, 60, 1}};
    for (const auto& [threshold, interval, records, wait, saves] : cases) {
        PUSHLog::removeAllLoggers();
        auto logger = CountingDatabaseLogger::create();
        logger->setSaveThreshold(threshold);
        logger->setSaveInterval(interval);
        add(logger);
        log(records);
        advance(wait, logger);
        EXPECT_EQ(logger->saves, saves) << threshold << " " << interval << " " << wait;
    }
}

TEST_F(DatabaseLoggerTest, FlushTerminationRemovalAndSaveAndDelete) {
    logger_->setSaveThreshold(0);
    logger_->setSaveInterval(0);
    PUSHLog::flushLog();
    EXPECT_EQ(logger_->saves, 0);  // nothing pending
    log(3);
    PUSHLog::flushLog();
    EXPECT_EQ(logger_->saved, 3);
    log(2);
    NSNotificationCenter::defaultCenter().post(UIApplicationWillTerminateNotification);
    EXPECT_EQ(logger_->saved, 5);
    log(4);
    logger_->setSaveThreshold(3);  // below what is pending: commits at once
    settle(logger_);
    EXPECT_EQ(logger_->saved, 9);

    logger_->setDeleteOnEverySave(true);
    log(3);
    EXPECT_EQ(logger_->saveAndDeletes, 1);
    logger_->setMaxAge(0);  // deletion off: a save deletes nothing either
    log(3);
    EXPECT_EQ(logger_->saveAndDeletes, 1);
    EXPECT_EQ(logger_->saved, 15);

    log(1);
    PUSHLog::removeLogger(logger_);
    settle(logger_);
    EXPECT_EQ(logger_->saved, 16);

    auto refusing = CountingDatabaseLogger::create(false);
    refusing->setSaveThreshold(1);
    add(refusing);
    log(3);
    PUSHLog::flushLog();
    EXPECT_EQ(refusing->saves + refusing->saveAndDeletes, 0);
}

TEST_F(DatabaseLoggerTest, DeleteTimerFollowsMaxAgeAndInterval) {
    const std::function<void()> noChange = [] {};
    struct Step {
        std::function<void()> change;
        double wait;
        int deletes;
    };
    const Step steps[] = {
        {noChange, 300, 1},
        {noChange, 100, 1},
        {[&] { logger_->setMaxAge(3600); }, 0, 2},  // smaller: deletes now, next one 300 seconds from now
        {noChange, 200, 2},                         // the old schedule passes without a call
        {noChange, 100, 3},
        {[&] { logger_->setMaxAge(604800); }, 1, 3},  // larger: no call, the timer goes on
        {[&] { logger_->setMaxAge(0); }, 3000, 3},
        {[&] { logger_->setMaxAge(10); }, 0, 4},  // on again: deletes now and starts the timer
        {noChange, 300, 5},
        {[&] { logger_->setDeleteInterval(0); }, 3000, 5},
        {[&] { logger_->setDeleteInterval(INFINITY); }, 3000, 5},  // never due, and harmless
        {[&] { logger_->deleteOldLogEntries(); }, 0, 6},
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        steps[i].change();
        advance(steps[i].wait);
        EXPECT_EQ(logger_->deletes, steps[i].deletes) << "step " << i;
    }
    PUSHLog::removeLogger(logger_);
    advance(3600);  // removal destroyed the timers
    EXPECT_EQ(logger_->deletes, 6);
}

}  // namespace
