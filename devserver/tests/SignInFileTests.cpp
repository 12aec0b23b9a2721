// The back end's sign-ins outlive it in its data directory; a damaged file or a directory it cannot write
// costs the sign-ins of that file at most, never the server or the file's contents.
#include <sys/stat.h>

#include "devserver/SignInFile.h"
#include "devserver/tests/TestClient.h"

namespace {

constexpr const char* kAccount = "13800000000";

std::string contents(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

struct SignInFileTest : DevServerTest {
    const std::filesystem::path data = root / "data";
    const std::filesystem::path file = data / "signins.json";

    // Asks a code and signs in with it; the token, "" when that failed.
    std::string signInOn(DevServer& server, const std::string& account) {
        int port = server.port();
        askCode(port, account);
        return signIn(port, account, server.liveCode(account).value_or("")).json().value("accessToken", "");
    }
    std::string accountOf(DevServer& server, const std::string& token) {
        Reply reply = request(server.port(), "/api/account", "Authorization: Bearer " + token + "\r\n");
        return reply.status == 200 ? reply.json().value("account", "") : "";
    }
    std::vector<std::string> troubles() {
        std::vector<std::string> found;
        for (auto& line : consoleLines())
            if (line.starts_with("devserver: ")) found.push_back(line);
        return found;
    }
};

TEST_F(SignInFileTest, SignInsOutliveTheServerAndOnlyItsOwnerCanReadThem) {
    std::string first, second;
    {
        DevServer server({pages, collect(), data});
        ASSERT_TRUE(server.start("127.0.0.1", 0));
        first = signInOn(server, kAccount);
        ASSERT_FALSE(first.empty());
    }
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    {
        DevServer server({pages, collect(), data});
        ASSERT_TRUE(server.start("127.0.0.1", 0));
        EXPECT_EQ(accountOf(server, first), kAccount);  // what the app holds still works
        second = signInOn(server, "13900000000");
    }
    DevServer third({pages, collect(), data});
    EXPECT_EQ(third.tokens(), (std::vector<IssuedToken>{{kAccount, first}, {"13900000000", second}}));
    EXPECT_EQ(troubles(), std::vector<std::string>{});
    for (auto& entry : std::filesystem::directory_iterator(data))  // no temporary file left behind
        EXPECT_EQ(entry.path(), file);
}

TEST_F(SignInFileTest, AnUnreadableFileIsMovedAsideAndTheServerStartsWithNone) {
    const std::string kGood = R"({"signIns":[{"account":"13800000000","token":"abc"}]})";
    const struct {
        std::string text, reason;
    } cases[] = {
        {"", "is damaged: not JSON"},
        {kGood.substr(0, 40), "is damaged: not JSON"},  // cut short
        {"[]", "is damaged: no \"signIns\" list"},
        {R"({"signIns":{}})", "is damaged: no \"signIns\" list"},
        {R"({"signIns":[1]})", "is damaged: a sign-in without account or token: 1"},
        {R"({"signIns":[{"account":"13800000000"}]})", "is damaged: a sign-in without account or token"},
        {R"({"signIns":[{"account":"","token":"abc"}]})", "is damaged: a sign-in without account or token"},
        {R"({"signIns":[{"account":138,"token":"abc"}]})", "is damaged: a sign-in without account or token"},
        {std::string(kSignInFileLimit + 1, ' '), "is too large (4194305 bytes)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 60));
        std::filesystem::remove_all(data);
        std::filesystem::create_directories(data);
        std::ofstream(file, std::ios::binary) << c.text;
        {
            std::lock_guard lock(mutex_);
            lines_.clear();
        }
        DevServer server({pages, collect(), data});
        ASSERT_EQ(troubles().size(), 1u);
        EXPECT_EQ(troubles()[0].rfind("devserver: " + file.string() + " " + c.reason, 0), 0u)
            << troubles()[0];
        EXPECT_NE(troubles()[0].find("moved to " + file.string() + ".bad, starting with no sign-ins"),
                  std::string::npos);
        EXPECT_TRUE(server.tokens().empty());
        EXPECT_EQ(contents(file.string() + ".bad"), c.text);  // kept for a person to look at
        ASSERT_TRUE(server.start("127.0.0.1", 0));
        std::string token = signInOn(server, kAccount);
        EXPECT_EQ(readSignInFile(file).tokens, (std::vector<IssuedToken>{{kAccount, token}}));
    }

    // A directory where the file should be is moved aside just the same.
    std::filesystem::remove_all(data);
    std::filesystem::create_directories(file);
    DevServer server({pages, collect(), data});
    EXPECT_TRUE(std::filesystem::is_directory(file.string() + ".bad"));
    EXPECT_NE(troubles().back().find(file.string() + " is not a file"), std::string::npos);
}

TEST_F(SignInFileTest, ASignInThatCannotBeKeptStillHoldsAndTheConsoleSaysWhy) {
    // A data directory below a plain file cannot be made.
    const std::filesystem::path blocked = root / "secret.txt" / "data";
    DevServer inMemory({pages, collect(), blocked});
    ASSERT_EQ(troubles().size(), 1u);
    EXPECT_EQ(troubles()[0], "devserver: cannot keep sign-ins in " + blocked.string() + ": " +
                                 std::strerror(ENOTDIR) + "; they last until the back end stops");
    ASSERT_TRUE(inMemory.start("127.0.0.1", 0));
    std::string token = signInOn(inMemory, kAccount);
    EXPECT_EQ(accountOf(inMemory, token), kAccount);
    EXPECT_EQ(troubles().size(), 1u);  // nothing to write, nothing more to say

    // The directory vanishes while the server runs: the write fails, the sign-in holds and the console says
    // so; the next sign-in writes again.
    DevServer server({pages, collect(), data});
    ASSERT_TRUE(server.start("127.0.0.1", 0));
    std::filesystem::remove_all(data);
    token = signInOn(server, kAccount);
    EXPECT_EQ(accountOf(server, token), kAccount);
    EXPECT_EQ(troubles().back(), "devserver: cannot write " + file.string() + ": " + std::strerror(ENOENT) +
                                     "; the sign-in of " + kAccount + " lasts until the back end stops");
    std::filesystem::create_directories(data);
    std::string later = signInOn(server, "13900000000");
    EXPECT_EQ(readSignInFile(file).tokens,
              (std::vector<IssuedToken>{{kAccount, token}, {"13900000000", later}}));
}

}  // namespace
