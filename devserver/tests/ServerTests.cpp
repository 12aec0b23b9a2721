// The development back end: codes and sign-in at the entry point, bad requests, scripted replies, the pages
// and the JSON the front end reads, the server's life and threads.
#include <cerrno>
#include <cstring>
#include <regex>
#include <set>
#include <thread>

#include "devserver/PageFiles.h"
#include "devserver/tests/TestClient.h"

namespace {

constexpr const char* kAccount = "13800000000";
using ServerTest = DevServerTest;

void expectJson(const Reply& reply, const nlohmann::json& json) {
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.header("Content-Type"), "application/json;charset=UTF-8");
    EXPECT_EQ(reply.json(), json) << reply.body;
}
void expectError(const Reply& reply, const std::string& info) {
    expectJson(reply, {{"errCode", 1}, {"errInfo", info}});
}

TEST_F(ServerTest, ACodeSignsInOnceANewerOneReplacesItAndCodesArePerAccount) {
    expectError(signIn(port_, kAccount, "123456"), "wrong verification code");  // never asked
    expectJson(askCode(port_, kAccount), {{"errCode", 0}, {"errInfo", "ok"}});
    std::string first = server_.liveCode(kAccount).value_or(""), code = first;
    EXPECT_TRUE(std::regex_match(first, std::regex("[0-9]{6}"))) << first;
    EXPECT_EQ(consoleLines(), std::vector<std::string>{"SMS code for 13800000000: " + first});
    for (int tries = 0; tries < 5 && code == first; ++tries) {
        askCode(port_, kAccount, "2");
        code = server_.liveCode(kAccount).value_or("");
    }
    ASSERT_NE(code, first);
    askCode(port_, "13900000000");
    for (const std::string& wrong : {first, std::string(code == "000000" ? "000001" : "000000"),
                                     server_.liveCode("13900000000").value_or(first)}) {
        if (wrong != code) expectError(signIn(port_, kAccount, wrong), "wrong verification code");
    }
    expectError(signIn(port_, kAccount, ""), "missing verification code");

    nlohmann::json signedIn = signIn(port_, kAccount, code).json();  // wrong tries left the code
    EXPECT_EQ(signedIn.value("errCode", -1), 0) << signedIn;
    std::string token = signedIn.value("accessToken", "");
    EXPECT_EQ(server_.tokens(), (std::vector<IssuedToken>{{kAccount, token}}));
    expectError(signIn(port_, kAccount, code), "wrong verification code");  // used up
}

TEST_F(ServerTest, BadAndMalformedRequestsGetAJsonErrorAndMakeNoCode) {
    const std::string kBadAccount = "account must be an 11-digit phone number",
                      kBadType = "type must be \"1\" or \"2\"";
    const struct {
        std::string body, info, query = "method=init";
    } cases[] = {
        {R"({"type":"1","account":"1380000000","mtype":"1"})", kBadAccount},    // 10 digits
        {R"({"type":"1","account":"138000000001","mtype":"1"})", kBadAccount},  // 12 digits
        {R"({"type":"1","account":"1380000000a"})", kBadAccount},
        {R"({"type":"1","account":["13800000000"]})", "missing account"},
        {R"({"type":"1","account":"13800000000","mtype":"3"})", "mtype must be \"1\" or \"2\""},
        {" \r\n", "empty request body"},
        {"{\"type\":\"\xff\xfe\"}", "request body is not valid JSON"},
        {"[1,2]", "request body must be a JSON object"},
        {"{}", "missing type"},
        {R"({"type":true,"account":"13800000000"})", kBadType},
        {R"({"type":"3","account":"13800000000"})", kBadType},
        {R"({"type":"1","account":"13800000000"})", "unknown method", "method=INIT"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body + " ?" + c.query);
        expectError(postEntry(port_, c.body, c.query), c.info);
    }
    EXPECT_FALSE(server_.liveCode(kAccount));
    EXPECT_TRUE(consoleLines().empty());
}

TEST_F(ServerTest, ScriptedRepliesReplaceTheAnswerExactlyAndChangeNothing) {
    for (const EntryReply& script : {EntryReply::json(R"({"errCode":1})", 500), EntryReply{200, "", ""}}) {
        server_.scriptReply("1", script);
        Reply reply = askCode(port_, kAccount);
        EXPECT_EQ(reply.status, script.status);
        EXPECT_EQ(reply.header("Content-Type"), script.contentType);
        EXPECT_EQ(reply.body, script.body);
    }
    expectError(signIn(port_, kAccount, "123456"), "wrong verification code");  // type 2 still answers
    server_.clearScriptedReply("1");
    server_.scriptReply("2", EntryReply::json(R"({"errCode":2})"));
    askCode(port_, kAccount);
    std::string code = server_.liveCode(kAccount).value_or("");
    EXPECT_EQ(signIn(port_, kAccount, code).body, R"({"errCode":2})");
    server_.clearScriptedReplies();
    EXPECT_EQ(signIn(port_, kAccount, code).json().value("errCode", -1), 0);  // the code was left
    EXPECT_EQ(consoleLines().size(), 1u);  // the scripted requests made none
}

TEST_F(ServerTest, ATakenPortOrASecondStartIsRefusedAndStopStartsAgain) {
    DevServer::Config quiet{pages, [](const std::string&) {}};
    DevServer second(quiet);
    std::string error;
    EXPECT_FALSE(second.start("127.0.0.1", port_, &error));
    EXPECT_EQ(error,
              "cannot listen on 127.0.0.1:" + std::to_string(port_) + ": " + std::strerror(EADDRINUSE));
    EXPECT_FALSE(second.start("192.0.2.1", 0, &error));  // an address of no interface here
    EXPECT_EQ(error, std::string("cannot listen on 192.0.2.1:0: ") + std::strerror(EADDRNOTAVAIL));
    EXPECT_FALSE(server_.start("127.0.0.1", 0, &error));
    EXPECT_EQ(error, "already running");
    EXPECT_FALSE(second.isRunning());
    EXPECT_EQ(request(port_, "/vqd_web/").status, 200);  // unharmed
    server_.stop();
    EXPECT_EQ(request(port_, "/vqd_web/").status, 0);
    server_.stop();
    EXPECT_EQ(request(server_.start("127.0.0.1", 0).value_or(0), "/vqd_web/").status, 200);
    for (int round = 0; round < 20; ++round) {  // stopped right after starting
        ASSERT_TRUE(DevServer(quiet).start("127.0.0.1", 0));
    }
}

TEST_F(ServerTest, ConcurrentSignInsGetTheirOwnTokensAndEveryRequestIsCountedByPath) {
    constexpr size_t kThreads = 6, kRounds = 8, kAll = kThreads * kRounds;
    std::vector<std::thread> threads;
    for (size_t t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            std::string account = "1370000000" + std::to_string(t);
            for (size_t round = 0; round < kRounds; ++round) {
                askCode(port_, account);
                signIn(port_, account, server_.liveCode(account).value_or(""));
                EXPECT_EQ(request(port_, "/vqd_web/app.js?round=" + std::to_string(round)).status, 200);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    std::set<std::string> distinct;
    for (const auto& issued : server_.tokens()) distinct.insert(issued.token);
    EXPECT_EQ(distinct.size(), kAll);
    EXPECT_EQ(consoleLines().size(), kAll);
    request(port_, "/vqd_web/missing.html");
    postEntry(port_, "{", "method=other");
    EXPECT_EQ(server_.allHits(), (std::map<std::string, size_t>{{"/vqd_web/app.js", kAll},
                                                                {"/vqd_web/missing.html", 1},
                                                                {"/viziDO/entry/appWeb.do", 2 * kAll + 1}}));
    EXPECT_EQ(server_.hits("/vqd_web/app.js"), kAll);
}

TEST_F(ServerTest, ServesPagesAndJsonByTypeAndNothingOutsideThePages) {
    askCode(port_, "13800000000");
    std::string token = signIn(port_, "13800000000", server_.liveCode("13800000000").value_or(""))
                            .json()
                            .value("accessToken", "");
    const std::string kHtml = "text/html;charset=UTF-8", kJson = "application/json;charset=UTF-8",
                      kBearer = "Authorization: Bearer " + token + "\r\n";
    const struct {
        std::string target;
        int status;
        std::string body, type = "", headers = "";  // body: what it holds
    } cases[] = {
        {"/vqd_web/", 200, "<title>home</title>", kHtml},
        {"/vqd_web/?from=app", 200, "<title>home</title>", kHtml},
        {"/vqd_web/outside/pages/index.html", 200, "<title>home</title>", kHtml},  // a link back inside
        {"/vqd_web/%61pp.js", 200, "var x = 1;", "text/javascript;charset=UTF-8"},
        {"/vqd_web", 302, ""},
        {"/", 302, ""},
        {"/vqd_web/missing.html", 404, "no such page"},
        {"/elsewhere/index.html", 404, "not found"},
        {"/vqd_web/../secret.txt", 400, "refused: the path leaves the pages directory"},
        {"/vqd_web/%2E%2E%2Fsecret.txt", 400, ""},
        {"/vqd_web/%252e%252e/secret.txt", 404, ""},  // decoded only once
        {"/vqd_web/..%5csecret.txt", 400, ""},
        {"/vqd_web/secret.txt%00.html", 400, ""},
        {"/vqd_web/escape.txt", 400, ""},  // links that lead out
        {"/vqd_web/outside/secret.txt", 400, ""},
        {"/api/notices", 200, R"({"id":2,"title":"Maintenance tonight","summary":)", kJson},
        {"/api/notices/2", 200, R"("title":"Maintenance tonight","summary":)", kJson},
        {"/api/notices/1", 200, R"("text":"Sign in with your phone number)", kJson},
        {"/api/notices/4", 404, R"({"errCode":1,"errInfo":"no such notice"})", kJson},
        {"/api/notices/2x", 404, "no such notice", kJson},
        {"/api/account", 200, R"({"errCode":0,"errInfo":"ok","account":"13800000000"})", kJson, kBearer},
        {"/api/account", 401, R"({"errCode":1,"errInfo":"not signed in"})", kJson},
        {"/api/account", 401, "not signed in", kJson, "Authorization: Bearer " + token + "0\r\n"},
        {"/api/account", 401, "not signed in", kJson, "Authorization: " + token + "\r\n"},
        {"/api/elsewhere", 404, "no such call", kJson},
        {"/viziDO/entry/appWeb.do?method=init", 405, R"("errCode":1)", kJson},
    };
    for (const auto& c : cases) {
        Reply reply = request(port_, c.target, c.headers);
        EXPECT_EQ(reply.status, c.status) << c.target;
        EXPECT_EQ(reply.body.find(kSecret), std::string::npos) << c.target;
        EXPECT_NE(reply.body.find(c.body), std::string::npos) << c.target << ": " << reply.body;
        EXPECT_TRUE(c.type.empty() || reply.header("Content-Type") == c.type) << c.target;
        EXPECT_EQ(reply.header("Location"), c.status == 302 ? "/vqd_web/" : "") << c.target;
    }
    EXPECT_EQ(findPage(pages / "nowhere", "index.html").result, PageLookup::Result::NotFound);
}

}  // namespace
