#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/foundation/Clock.h"
#include "platform/foundation/Console.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Sandbox.h"
#include "pushlog/PUSHFileLogger.h"
#include "pushlog/PUSHLog.h"
#include "pushlog/tests/PushLogTestSupport.h"
#include "testsupport/TempDir.h"

namespace {

// Returns a fixed text, or its input unchanged.
class FixedFormatter : public PUSHLogFormatter {
  public:
    explicit FixedFormatter(std::optional<std::string> text) : text_(std::move(text)) {}
    PUSHLogFormatResult formatLogMessage(const PUSHLogMessage&) override {
        return text_ ? PUSHLogFormatResult::text(*text_) : PUSHLogFormatResult::original();
    }

  private:
    std::optional<std::string> text_;
};

class FileLoggerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Sandbox::setHome(home.path());
        manager = PUSHLogFileManagerDefault::create();
        directory = manager->logsDirectory();
    }
    void TearDown() override {
        PUSHLog::loggingQueue()->sync([] {});
        NSFileManager::setFaultsForTesting({});
        Sandbox::resetHome();
    }

    // A logger writing bare lines (no formatter), outside the registry unless a test adds it.
    std::shared_ptr<PUSHFileLogger> makeLogger(bool doNotReuse = false) {
        auto logger = PUSHFileLogger::create(manager);
        logger->setDoNotReuseLogFiles(doNotReuse);
        logger->setLogFormatter(nullptr);
        return logger;
    }
    // Runs on the logger's queue as the registry would.
    void write(const std::shared_ptr<PUSHFileLogger>& logger, const std::string& text) {
        auto record = PUSHLogMessage::create(text, PUSHLogLevelVerbose, PUSHLogFlagInfo, 0, "f.m", "fn", 1);
        PUSHLog::loggingQueue()->sync([] {});  // settings queued before this record apply to it
        logger->loggerQueue()->sync([&] { logger->logMessage(record); });
    }
    std::vector<std::string> files() { return manager->sortedLogFileNames(); }  // newest first
    std::string contents(const std::string& name) { return readFile(directory + "/" + name); }
    bool archived(const std::string& name) {
        return PUSHLogFileInfo::logFileWithPath(directory + "/" + name)->isArchived();
    }

    TempDir home;
    ManualClock clock{Date::fromUnixTime(double(std::time(nullptr)))};
    std::shared_ptr<PUSHLogFileManagerDefault> manager;
    std::string directory;
};

TEST_F(FileLoggerTest, RollsAfterTheWriteThatReachesTheSizeLimit) {
    auto logger = makeLogger();
    logger->setMaximumFileSize(100);
    EXPECT_EQ(logger->maximumFileSize(), 100u);
    const std::string line(29, 'a');  // 30 bytes with its newline
    for (int i = 0; i < 5; ++i) write(logger, line);
    auto names = files();
    ASSERT_EQ(names.size(), 2u);
    // Same minute: the second file takes the next name.
    EXPECT_EQ(names[1], manager->newLogFileName());
    const std::string fourLines = line + "\n" + line + "\n" + line + "\n" + line + "\n";
    EXPECT_EQ(contents(names[1]), fourLines);
    EXPECT_TRUE(archived(names[1]));
    EXPECT_EQ(contents(names[0]), line + "\n");
    EXPECT_FALSE(archived(names[0]));
    EXPECT_NE(names[0].find(" 2.log"), std::string::npos) << names[0];
}

TEST_F(FileLoggerTest, SizeLimitZeroNeverRollsAndLoweringTheLimitRollsAtOnce) {
    auto logger = makeLogger();
    logger->setMaximumFileSize(0);
    for (int i = 0; i < 50; ++i) write(logger, std::string(99, 'b'));
    EXPECT_EQ(files().size(), 1u);
    logger->setMaximumFileSize(1000);
    PUSHLog::loggingQueue()->sync([] {});
    EXPECT_EQ(logger->currentLogFilePath(), std::nullopt);
    EXPECT_TRUE(archived(files()[0]));
}

TEST_F(FileLoggerTest, RollsWhenTheFileReachesTheRollingAge) {
    auto logger = makeLogger();
    logger->setRollingFrequency(60);
    write(logger, "first");
    auto first = files();
    ASSERT_EQ(first.size(), 1u);
    clock.advance(30);
    EXPECT_TRUE(logger->currentLogFilePath().has_value());
    clock.advance(31);
    EXPECT_EQ(logger->currentLogFilePath(), std::nullopt);
    EXPECT_TRUE(archived(first[0]));
    write(logger, "second");
    auto names = files();
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(contents(names[0]), "second\n");
}

TEST_F(FileLoggerTest, ARestartContinuesTheNewestFileUnlessToldNotTo) {
    auto logger = makeLogger();
    write(logger, "a");
    logger.reset();  // destruction closes without archiving
    ASSERT_EQ(files().size(), 1u);
    EXPECT_FALSE(archived(files()[0]));

    logger = makeLogger();
    write(logger, "b");
    ASSERT_EQ(files().size(), 1u);
    EXPECT_EQ(contents(files()[0]), "a\nb\n");
    logger.reset();

    logger = makeLogger(/*doNotReuse=*/true);
    write(logger, "c");
    auto names = files();
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(contents(names[0]), "c\n");
    EXPECT_EQ(contents(names[1]), "a\nb\n");
}

TEST_F(FileLoggerTest, ANewestFileTooOldOrTooLargeAtStartIsArchived) {
    struct Case {
        const char* title;
        double advance;
        uint64_t maximumFileSize;
    };
    for (const Case& c : {Case{"too old", 86400 + 61, 1 << 20}, Case{"too large", 0, 2}}) {
        SCOPED_TRACE(c.title);
        for (const auto& name : files()) ::unlink((directory + "/" + name).c_str());
        auto logger = makeLogger();
        write(logger, "old");
        logger.reset();
        clock.advance(c.advance);
        logger = makeLogger();
        logger->setMaximumFileSize(c.maximumFileSize);
        write(logger, "new");
        auto names = files();
        ASSERT_EQ(names.size(), 2u);
        EXPECT_EQ(contents(names[1]), "old\n");
        EXPECT_TRUE(archived(names[1]));
        EXPECT_EQ(contents(names[0]), "new\n");
    }
}

TEST_F(FileLoggerTest, ARecordAfterTheFileWasDeletedGoesToANewFile) {
    auto logger = makeLogger();
    write(logger, "a");
    auto path = logger->currentLogFilePath();
    ASSERT_TRUE(path);
    ASSERT_EQ(::unlink(path->c_str()), 0);
    write(logger, "b");  // at once, before the file watch may have reported anything
    auto names = files();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(contents(names[0]), "b\n");
}

TEST_F(FileLoggerTest, RenamingTheOpenFileRollsAndMarksTheRenamedFile) {
    for (bool refused : {false, true}) {
        SCOPED_TRACE(refused ? "attributes refused" : "attributes supported");
        NSFileManager::setFaultsForTesting({.extendedAttributesUnsupported = refused});
        auto logger = makeLogger();
        write(logger, "a");
        auto path = logger->currentLogFilePath();
        ASSERT_TRUE(path);
        const std::string moved = directory + (refused ? "/moved-2.txt" : "/moved-1.txt");
        ASSERT_EQ(std::rename(path->c_str(), moved.c_str()), 0);
        EXPECT_TRUE(eventually([&] { return !logger->currentLogFilePath().has_value(); }));
        EXPECT_TRUE(PUSHLogFileInfo::logFileWithPath(moved)->isArchived());
        write(logger, "b");
        auto names = files();
        ASSERT_EQ(names.size(), 1u);
        EXPECT_EQ(contents(names[0]), "b\n");
        ::unlink((directory + "/" + names[0]).c_str());
    }
}

TEST_F(FileLoggerTest, ArchivedByTheWriteBitWhereAttributesAreRefused) {
    NSFileManager::setFaultsForTesting({.extendedAttributesUnsupported = true});
    Console::Capture console;
    auto logger = makeLogger();
    logger->setMaximumFileSize(4);
    write(logger, "full");
    auto names = files();
    ASSERT_EQ(names.size(), 1u);
    auto attributes = NSFileManager::defaultManager()->attributesOfItemAtPath(directory + "/" + names[0]);
    ASSERT_TRUE(attributes);
    EXPECT_EQ(attributes->permissions & S_IWUSR, 0u);
    EXPECT_TRUE(archived(names[0]));
    // A restart does not continue the archived file.
    logger = makeLogger();
    write(logger, "next");
    EXPECT_EQ(files().size(), 2u);
    EXPECT_EQ(contents(files()[0]), "next\n");
    EXPECT_TRUE(console.lines().empty()) << console.lines().front();
}

TEST_F(FileLoggerTest, AFailedCreationIsRetriedWithTheNextRecordAndReportedSparingly) {
    // A file where the logs directory should be: nothing can be created (root ignores permission bits).
    NSFileManager::defaultManager()->removeItemAtPath(directory);
    ASSERT_TRUE(
        NSFileManager::defaultManager()->createFileAtPath(directory, Data(), NSFileManager::Atomically::No));
    Console::Capture console;
    auto logger = makeLogger();
    auto reports = [&] {
        size_t n = 0;
        for (const auto& line : console.lines())
            n += line.rfind("PUSHFileLogger: Cannot open a log file", 0) == 0;
        return n;
    };
    write(logger, "lost 1");
    write(logger, "lost 2");
    EXPECT_EQ(reports(), 1u);
    clock.advance(61);
    write(logger, "lost 3");
    EXPECT_EQ(reports(), 2u);
    EXPECT_TRUE(console.contains("1 more failures since the last report"));

    ASSERT_TRUE(NSFileManager::defaultManager()->removeItemAtPath(directory));
    write(logger, "kept");
    auto names = files();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(contents(names[0]), "kept\n");
}

TEST_F(FileLoggerTest, NewlinesFollowTheFormatterAndTheSwitch) {
    struct Case {
        std::optional<std::string> formatted;  // nothing: the formatter returns the record's own text
        bool appendNewline;
        std::string message;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {std::nullopt, false, "own", "own\n"}, {std::nullopt, true, "own\n", "own\n"},
        {"new", true, "m", "new\n"},           {"new", false, "m", "new"},
        {"new\n", true, "m", "new\n"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        auto logger = makeLogger(true);
        logger->setAutomaticallyAppendNewlineForCustomFormatters(c.appendNewline);
        logger->setLogFormatter(std::make_shared<FixedFormatter>(c.formatted));
        write(logger, c.message);
        EXPECT_EQ(contents(files()[0]), c.expected) << "case " << i;
        logger->rollLogFile();
    }
}

TEST_F(FileLoggerTest, RemovalFromTheRegistryArchivesTheFile) {
    auto logger = makeLogger();
    PUSHLog::addLogger(logger, PUSHLogLevelDebug);
    PUSHLog::log(false, "through the registry", PUSHLogLevelVerbose, PUSHLogFlagDebug, 0, "f.m", "fn", 1,
                 Value());
    PUSHLog::log(false, "verbose is filtered", PUSHLogLevelVerbose, PUSHLogFlagVerbose, 0, "f.m", "fn", 1,
                 Value());
    PUSHLog::removeLogger(logger);
    PUSHLog::allLoggers();
    logger->loggerQueue()->sync([] {});
    auto names = files();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(contents(names[0]), "through the registry\n");
    EXPECT_TRUE(archived(names[0]));
}

TEST_F(FileLoggerTest, TheFileBeingWrittenSurvivesDeletionWhenCreationTimesDisagree) {
    // Without birth times, archived files named in the future sort before the one being written.
    NSFileManager::setFaultsForTesting({.noBirthTime = true});
    for (const char* minute : {"2099-01-01 00-00", "2099-01-01 00-01"}) {
        std::string path =
            directory + "/" + PUSHLogFileManagerDefault::applicationName() + " " + minute + ".log";
        ASSERT_TRUE(
            NSFileManager::defaultManager()->createFileAtPath(path, Data(), NSFileManager::Atomically::No));
        PUSHLogFileInfo::logFileWithPath(path)->setIsArchived(true);
    }
    manager->setMaximumNumberOfLogFiles(1);
    auto logger = makeLogger();
    write(logger, "a");
    auto path = logger->currentLogFilePath();
    ASSERT_TRUE(path);
    manager->setLogFilesDiskQuota(1);
    write(logger, "b");
    PUSHLog::loggingQueue()->sync([] {});
    EXPECT_EQ(readFile(*path), "a\nb\n");
    EXPECT_EQ(logger->currentLogFilePath(), path);
}

TEST_F(FileLoggerTest, TwoLoggersOnOneFileNeverOverwriteEachOther) {
    auto one = makeLogger();
    auto two = makeLogger();
    std::thread a([&] {
        for (int i = 0; i < 200; ++i) write(one, "one");
    });
    std::thread b([&] {
        for (int i = 0; i < 200; ++i) write(two, "two");
    });
    a.join();
    b.join();
    one.reset();
    two.reset();
    std::string all;
    for (const auto& name : files()) all += contents(name);
    size_t ones = 0, twos = 0;
    std::istringstream lines(all);
    for (std::string line; std::getline(lines, line);) {
        ones += line == "one";
        twos += line == "two";
    }
    EXPECT_EQ(ones, 200u);
    EXPECT_EQ(twos, 200u);
}

}  // namespace
