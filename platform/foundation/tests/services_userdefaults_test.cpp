#include "platform/foundation/UserDefaults.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "platform/foundation/Console.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/Sandbox.h"
#include "platform/foundation/tests/test_support.h"
#include "testsupport/TempDir.h"

namespace fs = std::filesystem;

namespace {

using foundation_test::readFile;
using foundation_test::writeFile;

std::vector<std::string> filesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Every case gets a fresh sandbox and a fresh standard store over it.
class UserDefaults : public ::testing::Test {
  protected:
    void SetUp() override {
        Sandbox::setHome(home_.path());
        NSUserDefaults::resetStandardUserDefaultsForTesting();
    }
    void TearDown() override { NSUserDefaults::resetStandardUserDefaultsForTesting(); }

    std::string preferences() const { return Sandbox::preferencesDirectory(); }
    std::string storePath() const { return preferences() + "/com.quorvane.app.plist"; }
    // Forgets the standard store (saving it) and opens it again from the file.
    std::shared_ptr<NSUserDefaults> reopen() {
        NSUserDefaults::resetStandardUserDefaultsForTesting();
        return NSUserDefaults::standardUserDefaults();
    }

    TempDir home_;
};

TEST_F(UserDefaults, ValuesSurviveANewInstanceInABinaryFile) {
    // Dots and at signs are plain characters in keys, not key paths.
    const std::pair<std::string, Value> entries[] = {
        {"AccessToken", "token-1"},
        {"nested", Value::dictionary({{"a", Value::array({1, "x"})}})},
        {"blob", Data::fromString("\x01\x02")},
        {"a.b", 1},
        {"@count", 2},
        {"x@y.z", 3.5},
        {"__PUSHLocalTime", "t"},
    };
    auto defaults = NSUserDefaults::standardUserDefaults();
    EXPECT_EQ(defaults->path(), storePath());
    for (const auto& [key, value] : entries) defaults->setObject(value, key);
    defaults->setInteger(42, "count");
    defaults->setBool(true, "flag");
    ASSERT_TRUE(defaults->synchronize());
    EXPECT_EQ(readFile(storePath()).substr(0, 8), "bplist00");

    auto again = reopen();
    EXPECT_NE(again, defaults);
    for (const auto& [key, value] : entries) EXPECT_EQ(again->objectForKey(key), value) << key;
    EXPECT_EQ(again->integerForKey("count"), 42);
    EXPECT_EQ(again->objectForKey("flag"), Value(true));
    EXPECT_EQ(again->dictionaryRepresentation().size(), std::size(entries) + 2);
    EXPECT_FALSE(again->objectForKey("b"));
}

// Changes are read back at once and saved shortly without synchronize; values a property list cannot hold
// are refused and leave the old value.
TEST_F(UserDefaults, ChangesAreSavedShortlyAndRefusedValuesLeaveTheOldOne) {
    auto defaults = NSUserDefaults::standardUserDefaults();
    defaults->setObject("v", "k");
    Console::Capture console;
    EXPECT_FALSE(defaults->setObject(Value::set({1}), "k"));
    EXPECT_FALSE(defaults->setObject(Value::array({1, Value()}), "k"));
    EXPECT_FALSE(defaults->setObject(Value::dictionary({{"o", Value(std::make_shared<Object>())}}), "k"));
    EXPECT_EQ(defaults->stringForKey("k"), "v");
    EXPECT_TRUE(console.contains("cannot store a set"));
    EXPECT_TRUE(foundation_test::eventually([&] {
        const Data bytes = Data::fromString(readFile(storePath()));
        auto saved = NSPropertyListSerialization::propertyListWithData(bytes, nullptr, nullptr);
        return saved && saved->find("k") && *saved->find("k") == Value("v");
    }));
}

TEST_F(UserDefaults, ConcurrentWritersLoseNothing) {
    auto defaults = NSUserDefaults::standardUserDefaults();
    constexpr int kThreads = 4, kKeys = 250;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([defaults, t] {
            for (int i = 0; i < kKeys; ++i) {
                const std::string key = "t" + std::to_string(t) + ".k" + std::to_string(i);
                defaults->setObject(t * kKeys + i, key);
                EXPECT_EQ(defaults->integerForKey(key), t * kKeys + i);
                if (i % 50 == 0) defaults->synchronize();
            }
        });
    }
    for (auto& writer : writers) writer.join();
    auto again = reopen();
    ASSERT_EQ(again->dictionaryRepresentation().size(), size_t(kThreads * kKeys));
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kKeys; ++i) {
            EXPECT_EQ(again->integerForKey("t" + std::to_string(t) + ".k" + std::to_string(i)),
                      t * kKeys + i);
        }
    }
}

TEST_F(UserDefaults, AnInterruptedWriteLeavesTheOldFileIntact) {
    auto defaults = NSUserDefaults::standardUserDefaults();
    defaults->setObject("before", "k");
    ASSERT_TRUE(defaults->synchronize());
    const std::string saved = readFile(storePath());
    // A crash between creating the temporary file and renaming it leaves a partial file beside the store.
    writeFile(storePath() + ".tmp-Ab12Cd", saved.substr(0, saved.size() / 2));
    NSUserDefaults::resetStandardUserDefaultsForTesting();

    auto again = NSUserDefaults::standardUserDefaults();
    EXPECT_EQ(readFile(storePath()), saved);
    EXPECT_EQ(again->stringForKey("k"), "before");
    // The next save replaces the file as a whole: a reader holding the old file still sees it complete.
    fs::create_hard_link(storePath(), home_.file("old-store"));
    again->setObject("after", "k");
    ASSERT_TRUE(again->synchronize());
    EXPECT_EQ(readFile(home_.file("old-store")), saved);
    EXPECT_EQ(reopen()->stringForKey("k"), "after");
}

TEST_F(UserDefaults, ACorruptFileIsKeptAsideAndTheStoreStartsEmpty) {
    const std::string garbage = "bplist00 this is not a property list \x01\x02\x03";
    writeFile(storePath(), garbage);
    Console::Capture console;
    auto defaults = NSUserDefaults::standardUserDefaults();
    EXPECT_TRUE(defaults->dictionaryRepresentation().empty());
    EXPECT_TRUE(console.contains("could not be read"));

    const auto names = filesIn(preferences());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].rfind("com.quorvane.app.plist.corrupt-", 0), 0u) << names[0];
    EXPECT_EQ(readFile(preferences() + "/" + names[0]), garbage);

    defaults->setObject("fresh", "k");
    ASSERT_TRUE(defaults->synchronize());
    EXPECT_EQ(reopen()->stringForKey("k"), "fresh");
    EXPECT_EQ(filesIn(preferences()).size(), 2u);  // the new store and the kept corrupt one
}

TEST_F(UserDefaults, AFailedSaveKeepsTheChangesAndSucceedsLater) {
    auto defaults = NSUserDefaults::standardUserDefaults();
    defaults->setObject("v", "k");
    ASSERT_TRUE(defaults->synchronize());
    // A folder in the store's place makes the final rename fail (whatever the permissions of the user).
    fs::remove(storePath());
    writeFile(storePath() + "/blocker", "x");
    defaults->setObject("w", "k");
    Console::Capture console;
    EXPECT_FALSE(defaults->synchronize());
    EXPECT_TRUE(console.contains("could not save"));
    EXPECT_EQ(defaults->stringForKey("k"), "w");
    EXPECT_EQ(filesIn(preferences()), (std::vector<std::string>{"com.quorvane.app.plist"}));  // no temp left
    fs::remove_all(storePath());
    EXPECT_TRUE(defaults->synchronize());
    EXPECT_EQ(reopen()->stringForKey("k"), "w");
}

// The termination notification ends the process, so it and the exit handlers run in a child process, at a
// normal exit and on SIGTERM: it is posted once, changes made then are saved, and the process exits cleanly.
// The child finds the parent's sandbox through the environment, since it runs the test body again.
class UserDefaultsAtExit : public ::testing::TestWithParam<std::tuple<bool, bool>> {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_P(UserDefaultsAtExit, ChangesMadeWhileTerminatingAreSaved) {
    const auto [defaultsFirst, bySignal] = GetParam();
    TempDir home;
    setenv("QUORVANE_TEST_EXIT_HOME", home.path().c_str(), 0);
    const std::string sandbox = std::getenv("QUORVANE_TEST_EXIT_HOME");
    EXPECT_EXIT(
        {
            Sandbox::setHome(sandbox);
            NSUserDefaults::resetStandardUserDefaultsForTesting();
            // Either hook may be installed first; the exit handlers must save in both orders.
            if (defaultsFirst) NSUserDefaults::standardUserDefaults()->setObject("set early", "early");
            installTerminationNotification();
            installTerminationNotification();  // idempotent
            if (!defaultsFirst) NSUserDefaults::standardUserDefaults()->setObject("set early", "early");
            NSNotificationCenter::defaultCenter().addObserver(
                UIApplicationWillTerminateNotification, nullptr, nullptr, [](const NSNotification& note) {
                    static int count = 0;
                    std::fprintf(stderr, "posted %s #%d\n", note.name.c_str(), ++count);
                    NSUserDefaults::standardUserDefaults()->setObject("set while terminating", "late");
                });
            if (bySignal) {
                std::raise(SIGTERM);
                for (int i = 0; i < 6000; ++i) usleep(10000);  // 60 s at most for the watcher thread
                _exit(3);
            }
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "posted UIApplicationWillTerminateNotification #1\n[^#]*$");
    auto saved = NSUserDefaults::create(sandbox + "/Library/Preferences/com.quorvane.app.plist");
    EXPECT_EQ(saved->stringForKey("early"), "set early");
    EXPECT_EQ(saved->stringForKey("late"), "set while terminating");
    unsetenv("QUORVANE_TEST_EXIT_HOME");
}

INSTANTIATE_TEST_SUITE_P(Orders, UserDefaultsAtExit,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()));

}  // namespace
