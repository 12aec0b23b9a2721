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

    // A running server that keeps its sign-ins in `dir`; what it said about them goes to `problem`
    // (expected to be nothing when not asked for).
    std::unique_ptr<DevServer> keeping(const std::filesystem::path& dir, std::string* problem = nullptr) {
        auto server = std::make_unique<DevServer>(DevServer::Config{pages, collect()});
        std::string said = server->keepSignInsIn(dir);
        if (problem)
            *problem = said;
        else
            EXPECT_EQ(said, "");
        EXPECT_TRUE(server->start("127.0.0.1", 0));
        return server;
    }
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
    std::string first = signInOn(*keeping(data), kAccount);
    ASSERT_FALSE(first.empty());
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    std::string second;
    {
        auto server = keeping(data);
        EXPECT_EQ(accountOf(*server, first), kAccount);  // what the app holds still works
        second = signInOn(*server, "13900000000");
    }
    EXPECT_EQ(keeping(data)->tokens(),
              (std::vector<IssuedToken>{{kAccount, first}, {"13900000000", second}}));
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
        std::string problem;
        auto server = keeping(data, &problem);
        EXPECT_EQ(problem.rfind(file.string() + " " + c.reason, 0), 0u) << problem;
        EXPECT_TRUE(problem.ends_with("; moved to " + file.string() + ".bad, starting with no sign-ins"))
            << problem;
        EXPECT_TRUE(server->tokens().empty());
        EXPECT_EQ(contents(file.string() + ".bad"), c.text);  // kept for a person to look at
        std::string token = signInOn(*server, kAccount);
        EXPECT_EQ(readSignInFile(file).tokens, (std::vector<IssuedToken>{{kAccount, token}}));
    }

    // A directory where the file should be is moved aside just the same.
    std::filesystem::remove_all(data);
    std::filesystem::create_directories(file);
    std::string problem;
    keeping(data, &problem);
    EXPECT_TRUE(std::filesystem::is_directory(file.string() + ".bad"));
    EXPECT_TRUE(problem.starts_with(file.string() + " is not a file; moved to ")) << problem;
}

TEST_F(SignInFileTest, ASignInThatCannotBeKeptStillHoldsAndTheConsoleSaysWhy) {
    // A data directory below a plain file cannot be made.
    const std::filesystem::path blocked = root / "secret.txt" / "data";
    std::string problem;
    auto inMemory = keeping(blocked, &problem);
    EXPECT_EQ(problem, "cannot keep sign-ins in " + blocked.string() + ": " + std::strerror(ENOTDIR) +
                           "; they last until the back end stops");
    std::string token = signInOn(*inMemory, kAccount);
    EXPECT_EQ(accountOf(*inMemory, token), kAccount);
    EXPECT_EQ(troubles(), std::vector<std::string>{});  // nothing to write, nothing more to say

    // The directory vanishes while the server runs: the write fails, the sign-in holds and the console says
    // so; the next sign-in writes again.
    auto server = keeping(data);
    std::filesystem::remove_all(data);
    token = signInOn(*server, kAccount);
    EXPECT_EQ(accountOf(*server, token), kAccount);
    EXPECT_EQ(troubles(), std::vector<std::string>{"devserver: cannot write " + file.string() + ": " +
                                                   std::strerror(ENOENT) + "; the sign-in of " + kAccount +
                                                   " lasts until the back end stops"});
    std::filesystem::create_directories(data);
    std::string later = signInOn(*server, "13900000000");
    EXPECT_EQ(readSignInFile(file).tokens,
              (std::vector<IssuedToken>{{kAccount, token}, {"13900000000", later}}));
}

}  // namespace
