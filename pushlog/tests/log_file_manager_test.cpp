#include "pushlog/tests/PushLogTestSupport.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/foundation/FileManager.h"
#include "pushlog/PUSHLogFileManager.h"

namespace {

const std::string& app() {
    return PUSHLogFileManagerDefault::applicationName();
}

std::string nameAt(const std::string& date, const std::string& clash = "") {
    return app() + " " + date + (clash.empty() ? "" : " " + clash) + ".log";
}

void writeFile(const std::string& path, size_t bytes) {
    foundation_test::writeFile(path, std::string(bytes, 'x'));
}

class LogFileManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Without birth times the names order the files, which the tests choose.
        NSFileManager::setFaultsForTesting({.noBirthTime = true});
        manager = PUSHLogFileManagerDefault::create(dir.file("PUSHLogs"));
        manager->logsDirectory();
    }
    void TearDown() override {
        PUSHLog::loggingQueue()->sync([] {});
        NSFileManager::setFaultsForTesting({});
    }
    // Files newest first: minute i is 2020-01-01 10-(59 - i).
    std::vector<std::string> makeFiles(const std::vector<size_t>& sizes) {
        std::vector<std::string> names;
        for (size_t i = 0; i < sizes.size(); ++i) {
            char date[32];
            std::snprintf(date, sizeof date, "2020-01-01 10-%02zu", 59 - i);
            names.push_back(nameAt(date));
            writeFile(manager->logsDirectory() + "/" + names.back(), sizes[i]);
        }
        return names;
    }

    void removeAll() {
        for (const auto& name : manager->sortedLogFileNames())
            ::unlink((manager->logsDirectory() + "/" + name).c_str());
    }

    TempDir dir;
    std::shared_ptr<PUSHLogFileManagerDefault> manager;
};

TEST_F(LogFileManagerTest, RecognisesOnlyItsOwnLogFileNames) {
    const std::pair<std::string, bool> cases[] = {
        {nameAt("2016-03-01 08-05"), true},         {nameAt("2016-03-01 08-05", "17"), true},
        {"other 2016-03-01 08-05.log", false},      {app() + " 2016-03-01 08-05.txt", false},
        {nameAt("2016-02-31 08-05"), false},        {nameAt("2016-03-01 24-05"), false},
        {nameAt("2016-13-01 08-05"), false},        {app() + " 2016-03-01 08-05", false},
        {app() + " 2016-03-01.log", false},          // two pieces
        {nameAt("2016-03-01 08-05", "2 3"), false},  // five pieces
        {app() + "x 2016-03-01 08-05.log", false},   // a longer application name
        {app() + "  2016-03-01 08-05.log", false},
    };
    for (const auto& [name, ours] : cases) EXPECT_EQ(manager->isLogFile(name), ours) << name;
}

TEST_F(LogFileManagerTest, NamesFilesByTheUtcMinuteAndNumbersClashes) {
    ManualClock clock(Date::fromUnixTime(1456819509));  // 2016-03-01 08:05:09 UTC
    EXPECT_EQ(manager->newLogFileName(), nameAt("2016-03-01 08-05"));
    // Another writer's file already holds the first name: it is neither taken over nor truncated.
    writeFile(manager->logsDirectory() + "/" + nameAt("2016-03-01 08-05"), 7);
    std::string second = manager->createNewLogFile();
    std::string third = manager->createNewLogFile();
    EXPECT_EQ(second, manager->logsDirectory() + "/" + nameAt("2016-03-01 08-05", "2"));
    EXPECT_EQ(third, manager->logsDirectory() + "/" + nameAt("2016-03-01 08-05", "3"));
    EXPECT_EQ(readFile(manager->logsDirectory() + "/" + nameAt("2016-03-01 08-05")), "xxxxxxx");
    EXPECT_EQ(readFile(second), "");
    // Within one minute the clash number orders them.
    EXPECT_EQ(manager->sortedLogFileNames(),
              (std::vector<std::string>{nameAt("2016-03-01 08-05", "3"), nameAt("2016-03-01 08-05", "2"),
                                        nameAt("2016-03-01 08-05")}));
    // Names freed by deletion are not taken again: the next number is above the highest of the minute.
    ::unlink((manager->logsDirectory() + "/" + nameAt("2016-03-01 08-05")).c_str());
    ::unlink(second.c_str());
    EXPECT_EQ(manager->createNewLogFile(), manager->logsDirectory() + "/" + nameAt("2016-03-01 08-05", "4"));
}

TEST_F(LogFileManagerTest, DeletionKeepsTheNewestFilesWithinCountAndQuota) {
    struct Case {
        std::vector<size_t> sizes;  // newest first
        uint32_t count;
        uint64_t quota;
        bool newestArchived;
        size_t kept;  // the newest `kept` files remain
    };
    const Case cases[] = {{{1, 1, 1, 1, 1, 1}, 5, 20 << 20, false, 5},
                          {{5, 5, 1}, 0, 10, false, 2},
                          {{1, 1, 1, 1}, 2, 3, false, 2},
                          {{9, 9, 9}, 0, 0, false, 3},
                          {{50, 1, 1}, 0, 10, false, 1},
                          {{50, 1, 1}, 0, 10, true, 0},
                          {{50, 1, 1}, 5, 10, false, 1}};  // the quota cuts below the count
    for (const auto& c : cases) {
        removeAll();
        // Each setter starts a deletion of its own: let them run before the files exist, so that none
        // works with one limit changed and the other not yet.
        manager->setMaximumNumberOfLogFiles(c.count);
        manager->setLogFilesDiskQuota(c.quota);
        PUSHLog::loggingQueue()->sync([] {});
        auto names = makeFiles(c.sizes);
        if (c.newestArchived)
            PUSHLogFileInfo::logFileWithPath(manager->logsDirectory() + "/" + names[0])->setIsArchived(true);
        manager->deleteOldLogFiles();
        EXPECT_EQ(manager->sortedLogFileNames(), std::vector(names.begin(), names.begin() + long(c.kept)))
            << c.sizes.size() << " files, count " << c.count << ", quota " << c.quota;
    }
}

TEST_F(LogFileManagerTest, ANewFileNeverTakesTheDirectoryOverTheLimitEvenForAMoment) {
    // A process killed at any point of a creation leaves what the directory held at that point: follow
    // its creations and deletions in order and count the files after each.
    manager->setMaximumNumberOfLogFiles(3);
    PUSHLog::loggingQueue()->sync([] {});
    const auto names = makeFiles({1, 1, 1});
    for (const auto& name : names)
        PUSHLogFileInfo::logFileWithPath(manager->logsDirectory() + "/" + name)->setIsArchived(true);
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, manager->logsDirectory().c_str(), IN_CREATE | IN_DELETE), 0);
    ASSERT_NE(manager->createNewLogFile(), "");
    alignas(inotify_event) char buffer[4096];
    const ssize_t n = ::read(watch, buffer, sizeof buffer);
    ::close(watch);
    ASSERT_GT(n, 0);
    size_t count = names.size(), most = count;
    for (ssize_t offset = 0; offset < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
        offset += ssize_t(sizeof(inotify_event) + event->len);
        count += (event->mask & IN_CREATE) ? 1 : (event->mask & IN_DELETE) ? size_t(-1) : 0;
        most = std::max(most, count);
    }
    EXPECT_EQ(most, 3u);
    EXPECT_EQ(manager->sortedLogFileNames().size(), 3u);
}

TEST_F(LogFileManagerTest, DeletionSparesTheFileInUseANewFileAndWhatIsNoRegularFile) {
    auto names = makeFiles({1, 1, 1});
    const std::string directory = manager->logsDirectory(), oldest = directory + "/" + names[2];
    const std::string directoryNamedLikeALog = directory + "/" + nameAt("2019-01-01 00-00");
    ASSERT_TRUE(NSFileManager::defaultManager()->createDirectoryAtPath(directoryNamedLikeALog,
                                                                       NSFileManager::Intermediates::No));
    writeFile(directoryNamedLikeALog + "/keep", 1);
    writeFile(directory + "/notes.txt", 1);
    auto identity = PUSHLogFileIdentity::ofPath(oldest);
    ASSERT_TRUE(identity);
    manager->beginUsingLogFile(*identity);
    manager->setMaximumNumberOfLogFiles(1);
    PUSHLog::loggingQueue()->sync([] {});
    EXPECT_EQ(manager->sortedLogFileNames(), (std::vector<std::string>{names[0], names[2]}));
    EXPECT_TRUE(NSFileManager::defaultManager()->fileExistsAtPath(directoryNamedLikeALog + "/keep"));
    manager->endUsingLogFile(*identity);
    manager->deleteOldLogFiles();
    EXPECT_EQ(manager->sortedLogFileNames(), (std::vector<std::string>{names[0]}));
}

TEST_F(LogFileManagerTest, CreationDateIsTheBirthTimeElseTheNameNeverTheModificationTime) {
    auto names = makeFiles({1, 1});
    const std::string older = manager->logsDirectory() + "/" + names[1];
    // Appending to the older file later does not make it newer.
    NSFileManager::defaultManager()->setAttributes({.modificationDate = Date::fromUnixTime(4000000000.0)},
                                                   older);
    EXPECT_EQ(manager->sortedLogFileNames(), names);
    auto info = PUSHLogFileInfo::logFileWithPath(older);
    EXPECT_EQ(info->creationDate(), PUSHLogFileManagerDefault::logFileDateFromString("2020-01-01 10-58"));

    NSFileManager::setFaultsForTesting({});
    auto attributes = NSFileManager::defaultManager()->attributesOfItemAtPath(older);
    ASSERT_TRUE(attributes);
    if (!attributes->hasBirthTime) GTEST_SKIP() << "this file system records no birth time";
    EXPECT_EQ(PUSHLogFileInfo::logFileWithPath(older)->creationDate(), attributes->creationDate);
}

TEST_F(LogFileManagerTest, ArchivedMarkFallsBackToTheWriteBitWhereAttributesAreRefused) {
    for (bool refused : {false, true}) {
        SCOPED_TRACE(refused ? "attributes refused" : "attributes supported");
        NSFileManager::setFaultsForTesting({.extendedAttributesUnsupported = refused, .noBirthTime = true});
        const std::string path =
            manager->logsDirectory() + "/" + nameAt(refused ? "2020-02-02 02-02" : "2020-01-01 01-01");
        writeFile(path, 3);
        auto info = PUSHLogFileInfo::logFileWithPath(path);
        Console::Capture console;
        info->removeExtendedAttributeWithName("push.log.archived");  // absent: quietly nothing
        EXPECT_FALSE(info->isArchived());
        info->setIsArchived(true);
        EXPECT_TRUE(info->isArchived());
        auto attributes = NSFileManager::defaultManager()->attributesOfItemAtPath(path);
        ASSERT_TRUE(attributes);
        EXPECT_EQ((attributes->permissions & S_IWUSR) == 0, refused);
        // The mark travels with the file.
        info->renameFile(nameAt("2020-03-03 03-03", refused ? "2" : ""));
        EXPECT_TRUE(PUSHLogFileInfo::logFileWithPath(info->filePath())->isArchived());
        info->setIsArchived(false);
        EXPECT_FALSE(PUSHLogFileInfo::logFileWithPath(info->filePath())->isArchived());
        EXPECT_TRUE(console.lines().empty());
    }
}

TEST_F(LogFileManagerTest, ALogsDirectoryThatCannotBeMadeGivesAClearErrorAndAnEmptyList) {
    const std::string blocked = dir.file("blocked");
    writeFile(blocked, 1);
    auto other = PUSHLogFileManagerDefault::create(blocked + "/PUSHLogs");
    Console::Capture console;
    EXPECT_TRUE(other->sortedLogFileInfos().empty());
    EXPECT_TRUE(console.contains("PUSHFileLogManagerDefault: Error creating logsDirectory:"));
    NSErrorPtr error;
    EXPECT_EQ(other->createNewLogFile(&error), "");
    ASSERT_TRUE(error);
    EXPECT_NE(error->localizedDescription().find(blocked), std::string::npos)
        << error->localizedDescription();
}

}  // namespace
