#include "pushlog/tests/PushLogTestSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <set>

#include "platform/foundation/FileManager.h"
#include "pushlog/PUSHFileLogger.h"

namespace {

// Returns a fixed text, or the record's own.
std::shared_ptr<PUSHLogFormatter> fixed(std::optional<std::string> text) {
    return std::make_shared<FunctionFormatter>([text](const PUSHLogMessage&) {
        return text ? PUSHLogFormatResult::text(*text) : PUSHLogFormatResult::original();
    });
}

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
    // Runs on the logger's queue as the registry would, after the settings queued before.
    void write(const std::shared_ptr<PUSHFileLogger>& logger, const std::string& text) {
        auto record = PUSHLogMessage::create(text, PUSHLogLevelVerbose, PUSHLogFlagInfo, 0, "f.m", "fn", 1);
        PUSHLog::loggingQueue()->sync([] {});
        logger->loggerQueue()->sync([&] { logger->logMessage(record); });
    }
    std::vector<std::string> files() { return manager->sortedLogFileNames(); }  // newest first
    std::string contents(const std::string& name) { return readFile(directory + "/" + name); }
    bool archived(const std::string& name) {
        return PUSHLogFileInfo::logFileWithPath(directory + "/" + name)->isArchived();
    }
    void removeFiles() {
        for (const auto& name : files()) ::unlink((directory + "/" + name).c_str());
    }

    TempDir home;
    ManualClock clock{Date::fromUnixTime(double(std::time(nullptr)))};
    std::shared_ptr<PUSHLogFileManagerDefault> manager;
    std::string directory;
};

TEST_F(FileLoggerTest, RollsBySizeExactlyAtTheLimitAndByAge) {
    auto logger = makeLogger();
    logger->setMaximumFileSize(90);
    const std::string line(29, 'a');  // 30 bytes with its newline: three lines meet the limit exactly
    for (int i = 0; i < 4; ++i) write(logger, line);
    auto names = files();
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[1], manager->newLogFileName());
    EXPECT_EQ(contents(names[1]), line + "\n" + line + "\n" + line + "\n");
    EXPECT_TRUE(archived(names[1]));
    EXPECT_EQ(contents(names[0]), line + "\n");
    EXPECT_FALSE(archived(names[0]));

    // Limit 0 never rolls; lowering it below what the file holds rolls at once.
    logger->setMaximumFileSize(0);
    for (int i = 0; i < 5; ++i) write(logger, line);
    EXPECT_EQ(files().size(), 2u);
    logger->setMaximumFileSize(100);
    PUSHLog::loggingQueue()->sync([] {});
    EXPECT_EQ(logger->currentLogFilePath(), std::nullopt);

    logger->setRollingFrequency(60);
    write(logger, "young");
    clock.advance(30);
    EXPECT_TRUE(logger->currentLogFilePath().has_value());
    clock.advance(31);
    EXPECT_EQ(logger->currentLogFilePath(), std::nullopt);
    EXPECT_TRUE(archived(files()[0]));
    EXPECT_EQ(contents(files()[0]), "young\n");
}

TEST_F(FileLoggerTest, ARestartContinuesTheNewestFileOnlyWhenItMay) {
    // Continued (see NoRecordIsGluedToOneCutShort) unless the logger may not reuse it.
    auto logger = makeLogger();
    write(logger, "a");
    logger = makeLogger(/*doNotReuse=*/true);
    write(logger, "c");
    ASSERT_EQ(files().size(), 2u);
    EXPECT_EQ(contents(files()[0]), "c\n");

    // Nor when too old, or too large.
    for (const auto& [advance, maximumFileSize] : {std::pair(86400 + 61, 1 << 20), std::pair(0, 2)}) {
        SCOPED_TRACE(advance);
        removeFiles();
        logger = makeLogger();
        write(logger, "old");
        logger.reset();
        clock.advance(advance);
        logger = makeLogger();
        logger->setMaximumFileSize(uint64_t(maximumFileSize));
        write(logger, "new");
        auto names = files();
        ASSERT_EQ(names.size(), 2u);
        EXPECT_TRUE(archived(names[1]));
        EXPECT_EQ(contents(names[0]), "new\n");
    }
}

TEST_F(FileLoggerTest, DeletingOrRenamingTheOpenFileRollsIt) {
    // Renamed or deleted, where extended attributes work or are refused.
    for (const auto& [rename, refused] :
         {std::pair(false, false), std::pair(true, false), std::pair(true, true)}) {
        SCOPED_TRACE(std::to_string(rename) + std::to_string(refused));
        NSFileManager::setFaultsForTesting({.extendedAttributesUnsupported = refused});
        auto logger = makeLogger();
        write(logger, "a");
        auto path = logger->currentLogFilePath();
        ASSERT_TRUE(path);
        const std::string moved = directory + "/moved-" + std::to_string(refused) + ".txt";
        ASSERT_EQ(rename ? std::rename(path->c_str(), moved.c_str()) : ::unlink(path->c_str()), 0);
        EXPECT_TRUE(eventually([&] { return !logger->currentLogFilePath().has_value(); }));
        EXPECT_TRUE(!rename || PUSHLogFileInfo::logFileWithPath(moved)->isArchived());
        write(logger, "b");
        ASSERT_EQ(files().size(), 1u);
        EXPECT_EQ(contents(files()[0]), "b\n");
        removeFiles();
    }
}

TEST_F(FileLoggerTest, RecordsAfterTheOpenFileIsDeletedGoToANewOneOnceTheDeletionIsHeard) {
    auto logger = makeLogger();
    PUSHLog::addLogger(logger, PUSHLogLevelVerbose);
    PUSHLog::log(false, "start", PUSHLogLevelVerbose, PUSHLogFlagInfo, 0, "f.m", "fn", 1, Value());
    auto path = logger->currentLogFilePath();
    ASSERT_TRUE(path);
    // A watch of our own on the file, made after the logger's: the watcher tells both of one event in
    // that order, so once ours has heard it the logger's has too.
    const int fd = ::open(path->c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    auto heard = std::make_shared<std::atomic<bool>>(false);
    auto watch =
        DispatchFileSource::create(fd, DispatchFileSource::Delete, DispatchQueue::serial("test.watch"));
    watch->setEventHandler([heard](unsigned) { *heard = true; });
    watch->resume();
    // Mid-stream, inside one visit of a batch of records to the logger's queue, the file is deleted.
    constexpr int kRecords = 400, kDeletedAt = 100;
    logger->setLogFormatter(std::make_shared<FunctionFormatter>([&](const PUSHLogMessage& record) {
        if (record.message() == std::to_string(kDeletedAt)) {
            ::unlink(path->c_str());
            EXPECT_TRUE(eventually([&] { return heard->load(); }, 10));
        }
        return PUSHLogFormatResult::original();
    }));
    auto gate = std::make_shared<std::atomic<bool>>(false);
    PUSHLog::asyncOnLoggingQueue([gate] { eventually([&] { return gate->load(); }, 30); });
    for (int i = 0; i < kRecords; ++i)
        PUSHLog::log(true, std::to_string(i), PUSHLogLevelVerbose, PUSHLogFlagInfo, 0, "f.m", "fn", 1,
                     Value());
    *gate = true;
    PUSHLog::flushLog();
    PUSHLog::removeLogger(logger);
    PUSHLog::loggingQueue()->sync([] {});
    logger->loggerQueue()->sync([] {});
    watch->cancel();
    ::close(fd);

    std::set<int> kept;
    for (const auto& name : files()) {
        std::istringstream in(contents(name));
        for (std::string line; std::getline(in, line);)
            if (line != "start") kept.insert(std::stoi(line));
    }
    // What was written before the deletion went with the file; what came after it must all be there.
    const int lost = kRecords - kDeletedAt -
                     int(std::count_if(kept.begin(), kept.end(), [](int n) { return n >= kDeletedAt; }));
    RecordProperty("recordsLostToADeletionMidStream", lost);
    std::printf("records logged after a deletion mid-stream and lost: %d of %d\n", lost,
                kRecords - kDeletedAt);
    EXPECT_EQ(lost, 0);
}

TEST_F(FileLoggerTest, NoRecordIsGluedToOneCutShort) {
    auto logger = makeLogger();
    write(logger, "whole");
    auto path = logger->currentLogFilePath();
    ASSERT_TRUE(path);
    logger.reset();  // destruction closes without archiving
    // A crash mid-write left half a record; the next run continues the file on a line of its own.
    std::ofstream(*path, std::ios::app) << "half";
    logger = makeLogger();
    write(logger, "next");
    EXPECT_EQ(readFile(*path), "whole\nhalf\nnext\n");

    // A write the file system stops part-way (here a file-size limit) is cut back out.
    const uint64_t failures = PUSHFileLogger::writeFailureCount();
    struct sigaction ignore = {}, previousAction = {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &previousAction), 0);
    struct rlimit previousLimit {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previousLimit), 0);
    struct rlimit limit = previousLimit;
    limit.rlim_cur = readFile(*path).size() + 4;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    write(logger, "longer than the four bytes left");
    ::setrlimit(RLIMIT_FSIZE, &previousLimit);
    ::sigaction(SIGXFSZ, &previousAction, nullptr);
    write(logger, "after");
    EXPECT_EQ(readFile(*path), "whole\nhalf\nnext\nafter\n");
    EXPECT_EQ(PUSHFileLogger::writeFailureCount(), failures + 1);
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
    // Each record fails twice (the directory, then the file): one report of each kind, not one per record.
    for (int i = 0; i < 50; ++i) write(logger, "lost " + std::to_string(i));
    EXPECT_EQ(reports(), 1u);
    EXPECT_EQ(console.lines().size(), 2u);
    clock.advance(30);
    write(logger, "lost in the same minute");
    EXPECT_EQ(console.lines().size(), 2u);
    clock.advance(31);
    write(logger, "lost a minute later");
    EXPECT_EQ(reports(), 2u);
    EXPECT_EQ(console.lines().size(), 4u);
    EXPECT_TRUE(console.contains("50 more failures since the last report"));
    ASSERT_TRUE(NSFileManager::defaultManager()->removeItemAtPath(directory));
    write(logger, "kept");
    ASSERT_EQ(files().size(), 1u);
    EXPECT_EQ(contents(files()[0]), "kept\n");
}

TEST_F(FileLoggerTest, NewlinesFollowTheFormatterAndTheSwitch) {
    // The formatter's text (nothing: the record's own), the switch, the record and the bytes written.
    const std::tuple<std::optional<std::string>, bool, std::string, std::string> cases[] = {
        {std::nullopt, false, "own", "own\n"}, {std::nullopt, true, "own\n", "own\n"},
        {"new", true, "m", "new\n"},           {"new", false, "m", "new"},
        {"new\n", true, "m", "new\n"},
    };
    for (const auto& [formatted, appendNewline, message, expected] : cases) {
        auto logger = makeLogger(true);
        logger->setAutomaticallyAppendNewlineForCustomFormatters(appendNewline);
        logger->setLogFormatter(fixed(formatted));
        write(logger, message);
        EXPECT_EQ(contents(files()[0]), expected) << message << " " << appendNewline;
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
    ASSERT_EQ(files().size(), 1u);
    EXPECT_EQ(contents(files()[0]), "through the registry\n");
    EXPECT_TRUE(archived(files()[0]));
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

// The crash test's records: 64 KiB to 1 MiB each, so that kills land inside writes. A record names its
// length, so that a whole one can be told from one cut short.
constexpr size_t kCrashRecordMinimum = 64 << 10, kCrashRecordMaximum = 1 << 20;
constexpr uint64_t kCrashFileLimit = 5 << 19;    // rolls by size past 2.5 MiB ...
constexpr rlim_t kCrashFileSizeLimit = 3 << 20;  // ... and the file system refuses bytes past 3 MiB

// The writer of the crash test, in a child process: rolling files, four kept, records logged synchronously
// and asynchronously as fast as it can, until killed (or, `clean`, ten and a normal exit). Some writes
// pass the file-size limit and stop part-way, so the cut-back runs too.
[[noreturn]] void runCrashWriter(const std::string& directory, bool clean) {
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, nullptr);
    struct rlimit limit = {kCrashFileSizeLimit, kCrashFileSizeLimit};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    auto manager = PUSHLogFileManagerDefault::create(directory);
    manager->setMaximumNumberOfLogFiles(4);
    manager->setLogFilesDiskQuota(0);
    auto logger = PUSHFileLogger::create(manager);
    logger->setLogFormatter(nullptr);
    logger->setMaximumFileSize(kCrashFileLimit);
    PUSHLog::addLogger(logger, PUSHLogLevelVerbose);
    const std::string pid = std::to_string(::getpid());
    // Each run starts somewhere else in the sequence of lengths.
    const uint64_t first = uint64_t(::getpid()) % 1000;
    for (uint64_t n = first; !clean || n < first + 10; ++n) {
        const size_t length =
            kCrashRecordMinimum + (n * 2654435761u) % (kCrashRecordMaximum - kCrashRecordMinimum + 1);
        PUSHLog::log(n % 2 == 0,
                     pid + " " + std::to_string(n) + " " + std::to_string(length) + " " +
                         std::string(length, 'x') + " end",
                     PUSHLogLevelVerbose, PUSHLogFlagInfo, 0, "f.m", "fn", 1, Value());
    }
    PUSHLog::removeLogger(logger);
    PUSHLog::flushLog();
    logger->loggerQueue()->sync([] {});
    ::_exit(0);
}

pid_t spawnCrashWriter(const std::string& directory, bool clean) {
    std::string self = std::filesystem::read_symlink("/proc/self/exe");
    std::string filter = "--gtest_filter=FileLoggerCrashTest.*", env = "PUSHLOG_CRASH_WRITER=" + directory,
                cleanEnv = "PUSHLOG_CRASH_WRITER_CLEAN=1";
    std::vector<char*> argv = {self.data(), filter.data(), nullptr}, envp = {env.data()};
    if (clean) envp.push_back(cleanEnv.data());
    for (char** e = environ; *e; ++e) {
        if (::strncmp(*e, "PUSHLOG_CRASH_WRITER", 20) != 0) envp.push_back(*e);
    }
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, self.c_str(), &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

std::set<std::string> namesIn(const std::string& directory) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(directory, ec)) names.insert(entry.path());
    return names;
}

enum class CrashLine { Whole, CutShort, Broken };

// "<pid> <n> <length> <length x's> end", or a beginning of one.
CrashLine classifyCrashLine(const std::string& line) {
    size_t at = 0, length = 0;
    auto number = [&](size_t* value) {
        const size_t start = at;
        for (; at < line.size() && std::isdigit(static_cast<unsigned char>(line[at])); ++at)
            if (value) *value = *value * 10 + size_t(line[at] - '0');
        return at > start;
    };
    for (size_t* value : {static_cast<size_t*>(nullptr), static_cast<size_t*>(nullptr), &length}) {
        if (!number(value) && at < line.size()) return CrashLine::Broken;
        if (at == line.size()) return CrashLine::CutShort;
        if (line[at++] != ' ') return CrashLine::Broken;
    }
    const size_t xs = line.find_first_not_of('x', at);
    if (xs == std::string::npos) return line.size() - at <= length ? CrashLine::CutShort : CrashLine::Broken;
    const std::string rest = line.substr(xs), end = " end";
    if (xs - at != length || end.compare(0, rest.size(), rest) != 0) return CrashLine::Broken;
    return rest == end ? CrashLine::Whole : CrashLine::CutShort;
}

TEST(FileLoggerCrashTest, EveryLineStaysWholeAcrossKillsDuringRollingLogging) {
    if (const char* directory = std::getenv("PUSHLOG_CRASH_WRITER"))
        runCrashWriter(directory, std::getenv("PUSHLOG_CRASH_WRITER_CLEAN") != nullptr);
    TempDir dir;
    const std::string logs = dir.file("PUSHLogs");
    // After every run: a line is a whole record, or the start of one that a kill cut short (while the
    // file it cut is still there), never two records in one.
    size_t whole = 0, cut = 0;
    auto checkFiles = [&] {
        for (const auto& path : namesIn(logs)) {
            const std::string text = readFile(path);
            EXPECT_LE(text.size(), kCrashFileSizeLimit) << path;
            // A write the size limit stopped part-way is cut back out, so the file never stays at the
            // limit with half a record at its end.
            EXPECT_TRUE(text.size() < kCrashFileSizeLimit || text.ends_with(" end\n")) << path;
            std::istringstream in(text);
            for (std::string line; std::getline(in, line);) {
                const CrashLine kind = classifyCrashLine(line);
                EXPECT_NE(kind, CrashLine::Broken)
                    << path << ": a line of " << line.size() << " bytes: \"" << line.substr(0, 40)
                    << "\" ... \"" << line.substr(line.size() > 40 ? line.size() - 40 : 0) << "\"";
                (kind == CrashLine::Whole ? whole : cut) += 1;
            }
        }
        EXPECT_LE(namesIn(logs).size(), 4u);
    };
    for (int kill = 0; kill < 20; ++kill) {
        const auto before = namesIn(logs);
        pid_t pid = spawnCrashWriter(logs, false);
        ASSERT_GT(pid, 0);
        // Killed once it has rolled twice, at a point that differs from run to run.
        EXPECT_TRUE(eventually(
            [&] {
                auto now = namesIn(logs);
                return std::count_if(now.begin(), now.end(), [&](auto& n) { return !before.count(n); }) >= 2;
            },
            60));
        std::this_thread::sleep_for(std::chrono::microseconds(kill * 150));
        ::kill(pid, SIGKILL);
        ASSERT_EQ(::waitpid(pid, nullptr, 0), pid);
        checkFiles();
    }
    pid_t pid = spawnCrashWriter(logs, true);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    checkFiles();
    // Lines are counted once per look, so a record may count more than once.
    std::printf("crash test: %zu whole lines seen, %zu cut short by a kill\n", whole, cut);
    EXPECT_GT(whole, 0u);
}

}  // namespace
