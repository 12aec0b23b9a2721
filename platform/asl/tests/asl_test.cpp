#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "platform/asl/ASL.h"
#include "platform/foundation/Console.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/Sandbox.h"
#include "platform/foundation/tests/test_support.h"
#include "testsupport/TempDir.h"

namespace {

using foundation_test::eventually;

class ASLTest : public ::testing::Test {
  protected:
    void SetUp() override { Sandbox::setHome(home_.path()); }

    static ASLMessage message(const std::string& level, const std::string& text) {
        ASLMessage m;
        EXPECT_TRUE(m.set(ASL_KEY_LEVEL, level));
        EXPECT_TRUE(m.set(ASL_KEY_MSG, text));
        return m;
    }
    static std::vector<std::string> texts(const std::vector<ASLMessage>& found) {
        std::vector<std::string> out;
        for (const auto& m : found) out.push_back(m.get(ASL_KEY_MSG).value_or("?"));
        return out;
    }

    TempDir home_;
};

TEST_F(ASLTest, StoresRecordsWithStandardKeysAndSearchesThem) {
    auto client = ASLClient::open("", "com.apple.console");
    EXPECT_FALSE(ASLMessage().set("", "x"));
    ASSERT_TRUE(client->send(message("2", "first")));
    ASSERT_TRUE(client->send(message("5", "second \"quoted\"\nnew line \x01")));
    ASSERT_TRUE(client->send(message("4", "third")));
    EXPECT_TRUE(std::filesystem::exists(home_.path() + "/Library/Logs/asl/com.apple.console.log"));

    auto all = ASLStore::search("com.apple.console", ASLQuery());
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(texts(all), (std::vector<std::string>{"first", "second \"quoted\"\nnew line \x01", "third"}));
    EXPECT_EQ(all[0].get(ASL_KEY_MSG_ID), "1");
    EXPECT_EQ(all[2].get(ASL_KEY_MSG_ID), "3");
    EXPECT_EQ(all[0].get(ASL_KEY_PID), std::to_string(getpid()));
    EXPECT_EQ(all[0].get(ASL_KEY_FACILITY), "com.apple.console");
    EXPECT_TRUE(all[0].get(ASL_KEY_TIME).has_value());

    ASLQuery afterFirst;
    afterFirst.add(ASL_KEY_MSG_ID, "1", ASLQuery::Op::Greater, ASLQuery::Compare::Numeric);
    EXPECT_EQ(texts(ASLStore::search("com.apple.console", afterFirst)).size(), 2u);

    ASLQuery severe;
    severe.add(ASL_KEY_LEVEL, "4", ASLQuery::Op::LessEqual, ASLQuery::Compare::Numeric);
    EXPECT_EQ(texts(ASLStore::search("com.apple.console", severe)),
              (std::vector<std::string>{"first", "third"}));

    ASLQuery since;
    since.add(ASL_KEY_TIME, *all[0].get(ASL_KEY_TIME), ASLQuery::Op::GreaterEqual,
              ASLQuery::Compare::Numeric);
    EXPECT_EQ(ASLStore::search("com.apple.console", since).size(), 3u);
    ASLQuery future;
    future.add(ASL_KEY_TIME, "99999999999", ASLQuery::Op::GreaterEqual, ASLQuery::Compare::Numeric);
    EXPECT_TRUE(ASLStore::search("com.apple.console", future).empty());

    // Facilities are separate stores.
    ASSERT_TRUE(ASLClient::open("tool", "other")->send(message("1", "elsewhere")));
    EXPECT_EQ(ASLStore::search("other", ASLQuery())[0].get(ASL_KEY_MSG_ID), "1");
    EXPECT_EQ(ASLStore::search("other", ASLQuery())[0].get(ASL_KEY_SENDER), "tool");
}

TEST_F(ASLTest, ContinuesAfterRecordsOfOtherWritersAndSkipsDamagedLines) {
    const std::string path = ASLStore::pathForFacility("fac");
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    {
        std::ofstream out(path);
        out << R"({"ASLMessageID":"41","Message":"from another process","Level":"5"})"
            << "\n";
        out << "not a record\n";
        out << R"({"ASLMessageID":"42","Message":"cut off)";  // a writer that died mid-line
    }
    auto client = ASLClient::open("", "fac");
    ASSERT_TRUE(client->send(message("5", "ours")));
    // Someone else appends behind our back; the next id must still be above theirs.
    {
        std::ofstream out(path, std::ios::app);
        out << R"({"ASLMessageID":"77","Message":"theirs"})"
            << "\n";
    }
    ASSERT_TRUE(client->send(message("5", "ours again")));

    size_t skipped = 0;
    auto found = ASLStore::search("fac", ASLQuery(), &skipped);
    EXPECT_EQ(skipped, 2u);
    ASSERT_EQ(found.size(), 4u);
    EXPECT_EQ(texts(found),
              (std::vector<std::string>{"from another process", "ours", "theirs", "ours again"}));
    EXPECT_EQ(found[1].get(ASL_KEY_MSG_ID), "42");
    EXPECT_EQ(found[3].get(ASL_KEY_MSG_ID), "78");
}

TEST_F(ASLTest, HostileFacilityNamesStayInsideTheStore) {
    auto client = ASLClient::open("", "../../escape");
    ASSERT_TRUE(client->send(message("5", "x")));
    EXPECT_FALSE(std::filesystem::exists(home_.path() + "/Library/escape.log"));
    EXPECT_EQ(ASLStore::search("../../escape", ASLQuery()).size(), 1u);
}

TEST_F(ASLTest, AFullDiskIsReportedAndLeavesNoHalfRecord) {
    const std::string path = ASLStore::pathForFacility("full");
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::filesystem::create_symlink("/dev/full", path);
    Console::Capture console;
    EXPECT_FALSE(ASLClient::open("", "full")->send(message("5", "lost?")));
    EXPECT_TRUE(console.contains("ASLClient: cannot write to"));
}

TEST_F(ASLTest, AnUnusableDirectoryIsReported) {
    // A file where the directory should be: the directory cannot be created.
    std::filesystem::create_directories(home_.path() + "/Library/Logs");
    std::ofstream(home_.path() + "/Library/Logs/asl") << "in the way";
    Console::Capture console;
    EXPECT_FALSE(ASLClient::open("", "x")->send(message("5", "x")));
    EXPECT_TRUE(console.contains("ASLClient"));
}

TEST_F(ASLTest, ConcurrentSendersGetDistinctDenseIdsAndObserversHearOfEveryWriter) {
    auto queue = DispatchQueue::serial("asl.test.observer");
    std::atomic<int> notified{0};
    auto token = ASLStore::notifyRegister(queue, [&] { notified++; });

    constexpr int kThreads = 4, kEach = 50;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            auto client = ASLClient::open("", "busy");
            for (int i = 0; i < kEach; ++i)
                client->send(message("5", std::to_string(t) + ":" + std::to_string(i)));
        });
    }
    for (auto& thread : threads) thread.join();
    auto found = ASLStore::search("busy", ASLQuery());
    ASSERT_EQ(found.size(), size_t(kThreads * kEach));
    std::set<std::string> distinct;
    for (size_t i = 0; i < found.size(); ++i) {
        EXPECT_EQ(found[i].get(ASL_KEY_MSG_ID), std::to_string(i + 1));
        distinct.insert(*found[i].get(ASL_KEY_MSG));
    }
    EXPECT_EQ(distinct.size(), found.size());
    ASSERT_TRUE(eventually([&] { return notified.load() > 0; }));

    // A record another process appends is heard of too.
    queue->sync([] {});
    notified = 0;
    std::ofstream(ASLStore::pathForFacility("busy"), std::ios::app) << R"({"ASLMessageID":"201"})"
                                                                    << "\n";
    EXPECT_TRUE(eventually([&] { return notified.load() > 0; }));
    ASLStore::notifyCancel(token);
}

TEST_F(ASLTest, TheStoreRotatesIdsGoOnAndStartAgainOnlyWhenTheyRunOut) {
    auto client = ASLClient::open("", "big");
    const std::string path = ASLStore::pathForFacility("big");
    const std::string mebibyte(1 << 20, 'm');
    for (int i = 0; i < 9; ++i) ASSERT_TRUE(client->send(message("5", mebibyte)));
    EXPECT_LE(std::filesystem::file_size(path), kASLStoreMaximumBytes);
    EXPECT_LE(std::filesystem::file_size(path + ".1"), kASLStoreMaximumBytes);
    auto kept = ASLStore::search("big", ASLQuery());
    ASSERT_FALSE(kept.empty());
    EXPECT_LT(kept.size(), 9u);  // the oldest generation is gone
    for (size_t i = 0; i < kept.size(); ++i)
        EXPECT_EQ(kept[i].get(ASL_KEY_MSG_ID), std::to_string(10 - kept.size() + i));

    // The store replaced under us (by another writer's rotation, or deleted): the next record goes there.
    std::filesystem::remove(path);
    ASSERT_TRUE(client->send(message("5", "after removal")));
    EXPECT_EQ(ASLStore::search("big", ASLQuery()).back().get(ASL_KEY_MSG), "after removal");

    // Ids at their end start a new generation, reported once: every record is kept, no id is stored twice.
    Console::Capture console;
    for (const char* last : {"18446744073709551615", "99999999999999999999999"}) {
        SCOPED_TRACE(last);
        const std::string full = ASLStore::pathForFacility("full ids");
        std::filesystem::remove(full + ".1");
        std::ofstream(full, std::ios::trunc) << R"({"ASLMessageID":")" << last << R"(","Message":"last"})"
                                             << "\n";
        auto writer = ASLClient::open("", "full ids");
        for (int i = 0; i < 3; ++i) EXPECT_TRUE(writer->send(message("5", "after " + std::to_string(i))));
        // The second time round the process remembers the earlier store's ids: the file's own ids count.
        EXPECT_TRUE(ASLClient::open("", "full ids")->send(message("5", "another")));
        auto found = ASLStore::search("full ids", ASLQuery());
        EXPECT_EQ(texts(found),
                  (std::vector<std::string>{"last", "after 0", "after 1", "after 2", "another"}));
        std::set<std::string> ids;
        for (const auto& record : found) ids.insert(record.get(ASL_KEY_MSG_ID).value_or(""));
        EXPECT_EQ(ids.size(), found.size());
        EXPECT_EQ(found[1].get(ASL_KEY_MSG_ID), "1");
    }
    size_t reports = 0;
    for (const auto& line : console.lines()) reports += line.find("ran out") != std::string::npos;
    EXPECT_EQ(reports, 2u);  // one for each store whose ids ran out, not one per record
}

}  // namespace
