// The entry point over HTTP: codes, sign-in, bad requests and scripted replies.
#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>
#include <regex>
#include <set>
#include <thread>

#include "devserver/DevServer.h"
#include "devserver/tests/TestClient.h"

namespace {

constexpr const char* kAccount = "13800000000";

class EntryTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto bound = server_.start("127.0.0.1", 0);
        ASSERT_TRUE(bound);
        port_ = *bound;
    }

    std::vector<std::string> consoleLines() const {
        std::lock_guard lock(*consoleMutex_);
        return *lines_;
    }

    // A code the account does not hold now.
    static std::string otherCode(const std::string& code) {
        char text[8];
        std::snprintf(text, sizeof text, "%06d", (std::stoi(code) + 1) % 1000000);
        return text;
    }

    std::shared_ptr<std::mutex> consoleMutex_ = std::make_shared<std::mutex>();
    std::shared_ptr<std::vector<std::string>> lines_ = std::make_shared<std::vector<std::string>>();
    DevServer server_{{QUORVANE_DEVSERVER_PAGES, [mutex = consoleMutex_, lines = lines_](const std::string& line) {
                           std::lock_guard lock(*mutex);
                           lines->push_back(line);
                       }}};
    int port_ = 0;
};

void expectError(const EntryResult& result, const std::string& info) {
    EXPECT_EQ(result.status, 200);
    EXPECT_EQ(result.contentType, "application/json;charset=UTF-8");
    ASSERT_TRUE(result.json.is_object()) << result.body;
    EXPECT_EQ(result.json.value("errCode", -1), 1) << result.body;
    EXPECT_EQ(result.json.value("errInfo", ""), info) << result.body;
    EXPECT_FALSE(result.json.contains("accessToken"));
}

TEST_F(EntryTest, IssuedCodeSignsInExactlyOnceAndWrongCodesLeaveIt) {
    EntryResult asked = askCode(port_, kAccount);
    EXPECT_EQ(asked.status, 200);
    EXPECT_EQ(asked.contentType, "application/json;charset=UTF-8");
    EXPECT_EQ(asked.json, (nlohmann::json{{"errCode", 0}, {"errInfo", "ok"}}));

    auto code = server_.liveCode(kAccount);
    ASSERT_TRUE(code);
    EXPECT_TRUE(std::regex_match(*code, std::regex("[0-9]{6}"))) << *code;
    EXPECT_EQ(consoleLines(), std::vector<std::string>{"SMS code for 13800000000: " + *code});

    expectError(signIn(port_, kAccount, otherCode(*code)), "wrong verification code");
    expectError(signIn(port_, kAccount, ""), "missing verification code");

    EntryResult signedIn = signIn(port_, kAccount, *code);
    ASSERT_TRUE(signedIn.json.is_object()) << signedIn.body;
    EXPECT_EQ(signedIn.json.value("errCode", -1), 0);
    EXPECT_EQ(signedIn.json.value("errInfo", ""), "ok");
    std::string token = signedIn.json.value("accessToken", "");
    EXPECT_TRUE(std::regex_match(token, std::regex("[0-9a-f]{32}"))) << token;
    EXPECT_EQ(server_.tokens(), (std::vector<IssuedToken>{{kAccount, token}}));
    EXPECT_FALSE(server_.liveCode(kAccount));

    expectError(signIn(port_, kAccount, *code), "wrong verification code");
    EXPECT_EQ(server_.tokens().size(), 1u);
}

TEST_F(EntryTest, NewerCodeReplacesOlderAndCodesArePerAccount) {
    expectError(signIn(port_, kAccount, "123456"), "wrong verification code");  // never asked

    askCode(port_, kAccount);
    std::string first = server_.liveCode(kAccount).value_or("");
    std::string second = first;
    for (int tries = 0; tries < 5 && second == first; ++tries) {
        askCode(port_, kAccount, "2");
        second = server_.liveCode(kAccount).value_or("");
    }
    ASSERT_NE(first, second);
    expectError(signIn(port_, kAccount, first), "wrong verification code");

    askCode(port_, "13900000000");
    std::string other = server_.liveCode("13900000000").value_or("");
    if (other != second) expectError(signIn(port_, kAccount, other), "wrong verification code");
    EXPECT_EQ(signIn(port_, kAccount, second).json.value("errCode", -1), 0);
}

TEST_F(EntryTest, BadAndMalformedRequestsGetAJsonErrorAndMakeNoCode) {
    const std::string kBadAccount = "account must be an 11-digit phone number",
                      kBadType = "type must be \"1\" or \"2\"";
    const struct { std::string body, info, query = "method=init"; } cases[] = {
        {R"({"type":"1","account":"1380000000","mtype":"1"})", kBadAccount},    // 10 digits
        {R"({"type":"1","account":"138000000001","mtype":"1"})", kBadAccount},  // 12 digits
        {R"({"type":"1","account":["13800000000"]})", "missing account"},
        {R"({"type":"1","account":"13800000000","mtype":"3"})", "mtype must be \"1\" or \"2\""},
        {" \r\n", "empty request body"},
        {"{\"type\":\"\xff\xfe\"}", "request body is not valid JSON"},
        {"[1,2]", "request body must be a JSON object"},
        {"{}", "missing type"},
        {R"({"type":true,"account":"13800000000"})", kBadType},
        {R"({"type":"1","account":"13800000000"})", "unknown method", "method=INIT"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body + " ?" + c.query);
        expectError(postEntry(port_, c.body, c.query), c.info);
    }
    EXPECT_FALSE(server_.liveCode(kAccount));
    EXPECT_TRUE(consoleLines().empty());

    RawReply get = rawGet(port_, "/viziDO/entry/appWeb.do?method=init");
    EXPECT_EQ(get.status, 405);
    EXPECT_NE(get.body.find("\"errCode\":1"), std::string::npos) << get.body;
}

TEST_F(EntryTest, ScriptedRepliesReplaceTheAnswerExactly) {
    const EntryReply scripts[] = {
        EntryReply::json(R"({"errCode":1,"errInfo":"server exploded"})", 500),
        EntryReply::text("maintenance"),
        EntryReply{200, "", ""},  // neither body nor content type
    };
    for (const auto& script : scripts) {
        SCOPED_TRACE(script.body);
        server_.scriptReply("1", script);
        EntryResult result = askCode(port_, kAccount);
        EXPECT_EQ(result.status, script.status);
        EXPECT_EQ(result.contentType, script.contentType);
        EXPECT_EQ(result.body, script.body);
    }
    // Scripted requests made no code, and the other type still gets real answers.
    EXPECT_FALSE(server_.liveCode(kAccount));
    EXPECT_TRUE(consoleLines().empty());
    expectError(signIn(port_, kAccount, "123456"), "wrong verification code");

    server_.clearScriptedReply("1");
    EXPECT_EQ(askCode(port_, kAccount).json.value("errCode", -1), 0);
    std::string code = server_.liveCode(kAccount).value_or("");

    // A scripted sign-in leaves the code for the real one.
    server_.scriptReply("2", EntryReply::json(R"({"errCode":0})"));
    EXPECT_EQ(signIn(port_, kAccount, code).body, R"({"errCode":0})");
    server_.clearScriptedReplies();
    EXPECT_EQ(signIn(port_, kAccount, code).json.value("errCode", -1), 0);
}

TEST_F(EntryTest, ConcurrentSignInsEachGetTheirOwnToken) {
    constexpr int kThreads = 6, kRounds = 8;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::string account = "1370000000" + std::to_string(t);
            for (int round = 0; round < kRounds; ++round) {
                askCode(port_, account);
                std::string code = server_.liveCode(account).value_or("");
                signIn(port_, account, code);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    std::set<std::string> distinct;
    for (const auto& issued : server_.tokens()) distinct.insert(issued.token);
    EXPECT_EQ(distinct.size(), static_cast<size_t>(kThreads * kRounds));
    EXPECT_EQ(consoleLines().size(), static_cast<size_t>(kThreads * kRounds));
}

}  // namespace
